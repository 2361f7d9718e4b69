// Fully-associative OPT simulator: the priority stack (groups held as sorted
// runs), the unknown-priority table and the late next-use handler. Calls of
// the front end and the window, and, for tests, the unit's internal
// operations.
#ifndef VANTLE_LIBVANTLE_WIDESEER_H_
#define VANTLE_LIBVANTLE_WIDESEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"
// The tree operations over the same stack, which tests drive it through.
#include "libvantle/wideseer_tree.h"

// Allocates the histogram and the group table; the stack is built by the
// first block. Ends through _fatal when memory is out.
void init_wideseer(void);
// Bytes init_wideseer allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_wideseer(void);
// Block callback of the look-ahead window: processes positions
// [start, end) and clears them; returns 1 when it stopped early past T,
// else 0.
int stack_proc_fa(int start, int end);
// Late next-use callback: the line addr, referenced at cur_time, gets its
// known priority and the stack is repaired.
void inf_handler_fa(md_addr_t addr, int64_t cur_time);
// Prints the miss ratio of every cache size to fd.
void outpr_wideseer(FILE *fd);
// vantle_results for this family.
int results_wideseer(vantle_result *rows, int capacity);

// Priority of window position i: 2147483647 minus the next-use time (counted
// from the priority clock's epoch), or the next unused negative number when
// the next use is unknown.
int Priority_fa(int i);
// Moves line addr with the given priority to the top of the stack and
// counts its hit position; returns 0 on a hit, 1 when the line was absent.
int process_groups(md_addr_t addr, int priority);

// Unknown-priority table, keyed by line address.
// Appends a record (reporting earlier records of the same line).
void unk_hash_add_fa(md_addr_t addr, int grpno, int prty);
// Removes the line's oldest record: returns its group number and stores its
// priority in *prty_ptr; returns 0 (and leaves *prty_ptr) when there is none.
int unk_hash_del_fa(md_addr_t addr, int *prty_ptr);
// Removes every record whose priority is above the tree's highest negative
// priority: their entries have left the stack.
void hash_clean_fa(void);
// Highest negative priority in the stack, or -2147483642 when there is none.
int Get_max_prty_unknown(void);

// Numbers the groups afresh, in the same order, from 2147483646 down, two
// apart, and every record of the unknown-priority table with them: a
// record keeps its place before, at or after each group. Called when the
// numbers run low.
void renumber_groups(void);

// For tests only: the reference count starts at count rather than 0, as
// though that many references had gone by before the first, each a hit at
// the top, and had left the stack empty; for count > 0, group numbers and
// unknown priorities start so low, and the priority clock's epoch so far
// behind, that within the first few blocks they are numbered afresh and
// the epoch moves. Called after init_wideseer and before the first block.
void test_start_wideseer_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_WIDESEER_H_
