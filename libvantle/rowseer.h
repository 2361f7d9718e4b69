// Set-associative OPT simulator: one priority list per set of every set
// count, the unknown next-use table and the late next-use correction.
#ifndef VANTLE_LIBVANTLE_ROWSEER_H_
#define VANTLE_LIBVANTLE_ROWSEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Computes the sizes and allocates and fills every table.
void init_rowseer(void);
// Block callback of the look-ahead window: processes positions
// [start, end); returns 1 when it stopped early past T, else 0.
int stack_proc_sa(int start, int end);
// Late next-use callback: the line addr referenced at cur_time.
void inf_handler_sa(md_addr_t addr, int cur_time);
// Prints the miss-ratio table to fd.
void outpr_rowseer(FILE *fd);
// vantle_results for this family.
int results_rowseer(vantle_result *rows, int capacity);

#endif  // VANTLE_LIBVANTLE_ROWSEER_H_
