// Direct-mapped simulator of one cache size for every line size 2^A..2^B:
// the calls of the front end.
#ifndef VANTLE_LIBVANTLE_LINESWEEP_H_
#define VANTLE_LIBVANTLE_LINESWEEP_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Derives the sizes from A, B, C and allocates and fills the tables. Ends
// through _fatal when memory is out.
void init_linesweep(void);
// Bytes init_linesweep allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_linesweep(void);
// Simulates one reference to the byte address addr.
void linesweep(md_addr_t addr);
// Prints the miss ratio of every line size to fd.
void outpr_linesweep(FILE *fd);
// vantle_results for this family: one row per line size, smallest first.
int results_linesweep(vantle_result *rows, int capacity);

// For tests only: the run starts as though count references had gone by,
// each a hit under every line size, and had left the cache empty. Called
// after init_linesweep and before the first reference.
void test_start_linesweep_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_LINESWEEP_H_
