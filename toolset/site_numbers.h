// The code sites of a run with -sites: every instruction address that
// issued a reference, in one program image, gets a small dense number,
// first seen first (the library's vantle_access_at counts by it). A data
// reference's site is the instruction fetch just before it in its
// thread's records (QEMU's plugin and lackey both record an instruction's
// fetch before its accesses; din traces are taken to do the same); a
// fetch's site is its own address. A process's image ends where its
// plugin reports its code mappings (at an exec or its end): the next
// image of that process, an exec'd program, may place other code at the
// same addresses. Addresses are kept folded and unfolded at the end; each
// image's modules (file mappings) come from the maps QEMU's plugins
// report, or from /proc/<pid>/maps of a live process under valgrind, read
// when a site falls outside every module known. (vantle-sim reads no map
// of QEMU's process: its guest's addresses need not be the host's, which
// the plugin checks.)
#ifndef VANTLE_TOOLSET_SITE_NUMBERS_H_
#define VANTLE_TOOLSET_SITE_NUMBERS_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "machine.h"
#include "toolset/site_names.h"

// The site of a data reference that no fetch of its thread came before:
// address 0 stands for code not known.
enum { SN_UNKNOWN_ADDRESS = 0 };

// Turns numbering on (off until called) and forgets every site.
void sn_start(void);
bool sn_on(void);

// Notes that the folding map placed region at place (both shifted by the
// map's region size), so that folded fetch addresses unfold.
void sn_note_region(uint64_t region, uint64_t place);

// The sites of the n records of a batch (addrs folded, kinds by
// md_ref_kind), the references of one thread of process pid (0: none
// known), whose /proc/<pid>/maps names its code when maps_readable; valid
// until the next call. Null when kinds is null (the format records no
// fetches).
const uint32_t *sn_number(const md_addr_t *addrs, const unsigned char *kinds,
                          size_t n, unsigned thread, int pid,
                          bool maps_readable);

// Whether any fetch has been seen, hence whether the sites mean anything.
bool sn_any_fetch(void);

// The sites so far.
uint32_t sn_count(void);

// Adds the file mappings of a /proc/<pid>/maps text (n bytes, not
// terminated) to the image process pid runs, which ends there: the
// process's plugin reports them as the image ends.
void sn_add_maps(const char *text, size_t n, int pid);

// Names the first count sites, each against its image's modules
// (name_sites, site_names.h); result i names site i.
std::vector<site_name> sn_names(uint32_t count, bool lines);

#endif  // VANTLE_TOOLSET_SITE_NUMBERS_H_
