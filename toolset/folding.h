// The loader's side of the folding map (transport/fold_map.h): the folding
// of a reference's address (ld_fold_address, loader.h), what -d says of
// each region placed, and the message when the map is full.
#ifndef VANTLE_TOOLSET_FOLDING_H_
#define VANTLE_TOOLSET_FOLDING_H_

#include <stddef.h>
#include <stdint.h>

// Notes that region took place (both shifted by the region size), for
// the sites' addresses, and says so under -d.
void note_region_placed(uint64_t region, uint64_t place);

// Writes into out why the input named name stops at address: its regions
// fill the whole 32-bit space. where says where in the input ("", or
// ", line 12").
void say_fold_map_full(char *out, size_t size, const char *name,
                       const char *where, uint64_t address);

#endif  // VANTLE_TOOLSET_FOLDING_H_
