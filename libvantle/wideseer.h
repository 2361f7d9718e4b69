// Fully-associative OPT simulator: the priority stack, its tree and groups,
// the unknown-priority table and the late next-use handler.
#ifndef VANTLE_LIBVANTLE_WIDESEER_H_
#define VANTLE_LIBVANTLE_WIDESEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Allocates the histogram and the path array; the stack is built by the
// first block.
void init_wideseer(void);
// Block callback of the look-ahead window: processes positions
// [start, end); returns 1 when it stopped early past T, else 0.
int stack_proc_fa(int start, int end);
// Late next-use callback: the line addr referenced at cur_time.
void inf_handler_fa(md_addr_t addr, int cur_time);
// Prints the miss ratio of every cache size to fd.
void outpr_wideseer(FILE *fd);
// vantle_results for this family.
int results_wideseer(vantle_result *rows, int capacity);

#endif  // VANTLE_LIBVANTLE_WIDESEER_H_
