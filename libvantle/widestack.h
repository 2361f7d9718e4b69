// Fully-associative LRU simulator: calls of the front end and, for tests,
// the unit's internal operations.
#ifndef VANTLE_LIBVANTLE_WIDESTACK_H_
#define VANTLE_LIBVANTLE_WIDESTACK_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Allocates the tables and plants the sentinel. Ends through _fatal when
// memory is out.
void init_widestack(void);
// Simulates one reference to the byte address addr.
void ptc(md_addr_t addr);
// Prints the miss ratio of every cache size to fd.
void outpr_widestack(FILE *fd);
// vantle_results for this family.
int results_widestack(vantle_result *rows, int capacity);

#endif  // VANTLE_LIBVANTLE_WIDESTACK_H_
