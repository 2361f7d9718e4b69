// Set-associative LRU simulator: every set count 2^A..2^B and associativity
// 1..2^N with lines of 2^L bytes, in one pass.
#ifndef VANTLE_LIBVANTLE_SACLRU_H_
#define VANTLE_LIBVANTLE_SACLRU_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Allocates the lists of every set count and the hit table sac_hits. Ends
// through _fatal when memory is out.
void init_saclru(void);
// Bytes init_saclru allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_saclru(void);
// Simulates one reference to the byte address addr in every configuration;
// a hit at list position j is counted in sac_hits[set count - A][j].
void sacnmul_woarr(md_addr_t addr);
// Prints the miss-ratio table (one row per set count, one column per
// associativity) to fd.
void outpr_saclru(FILE *fd);
// vantle_results for this family.
int results_saclru(vantle_result *rows, int capacity);

#endif  // VANTLE_LIBVANTLE_SACLRU_H_
