// Direct-mapped simulator of one cache size for every line size 2^A..2^B.
#ifndef VANTLE_LIBVANTLE_LINESWEEP_H_
#define VANTLE_LIBVANTLE_LINESWEEP_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Derives the sizes and allocates and fills the tables.
void init_linesweep(void);
// Simulates one reference to the byte address addr.
void linesweep(md_addr_t addr);
// Prints the miss ratio of every line size to fd.
void outpr_linesweep(FILE *fd);
// vantle_results for this family.
int results_linesweep(vantle_result *rows, int capacity);

#endif  // VANTLE_LIBVANTLE_LINESWEEP_H_
