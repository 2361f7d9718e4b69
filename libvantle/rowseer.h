// Set-associative OPT simulator: one priority list per set of every set
// count, the unknown next-use table and the late next-use correction.
#ifndef VANTLE_LIBVANTLE_ROWSEER_H_
#define VANTLE_LIBVANTLE_ROWSEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Computes the sizes and allocates and fills every table; ends the process
// through _fatal when memory is out.
void init_rowseer(void);
// Bytes init_rowseer allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_rowseer(void);
// Block callback of the look-ahead window: processes positions
// [start, end); returns 1 when it stopped early past T, else 0.
int stack_proc_sa(int start, int end);
// Late next-use callback: the line addr referenced at cur_time, which may
// hold an unknown priority, gets its known one in every list.
void inf_handler_sa(md_addr_t addr, int64_t cur_time);
// Prints the miss-ratio table to fd, first folding the shortcut hits in.
void outpr_rowseer(FILE *fd);
// vantle_results for this family; changes no state.
int results_rowseer(vantle_result *rows, int capacity);
// The counts of a site's row (sa_site_width), and the hits of rows[0 ..
// count-1], in the order of results_rowseer, from a site's counts.
uint32_t site_width_rowseer(void);
void site_hits_rowseer(const uint64_t *counts, vantle_result *rows,
                       int count);

// Internal operations, declared for tests.

// Priority of window position i: 2147483647 - next use (counted from the
// priority clock's epoch), or a fresh unknown (negative, decreasing)
// priority when the next use is not known.
int Priority_sa(int i);
// Applies one reference of line addr with its new priority to every list.
void gfsoptls(md_addr_t addr, int priority);
// Records that line addr received the unknown priority prty.
void unk_hash_add_sa(md_addr_t addr, int prty);
// Removes line addr's first record and returns its priority; 0 when none.
int unk_hash_del_sa(md_addr_t addr);
// Removes every record of addr's set at 2^B sets whose priority exceeds
// max_prty.
void hash_clean_sa(md_addr_t addr, int max_prty);

// For tests only.
// The reference count starts at count rather than 0, as though that many
// references had gone by before the first, each a hit at position 0 of
// every list, and had left the lists empty; for count > 0, unknown
// priorities start so low, and the priority clock's epoch so far behind,
// that within the first few blocks they are numbered afresh and the epoch
// moves. Called after init_rowseer and before the first block.
void test_start_rowseer_at(uint64_t count);
// Reads entry j of the list of line addr's set at 2^i sets.
void test_rowseer_entry(int i, md_addr_t addr, int j, md_addr_t *tag,
                        int *prty);
// Overwrites entry j of the list of line addr's set at 2^i sets.
void test_rowseer_set_entry(int i, md_addr_t addr, int j, md_addr_t tag,
                            int prty);
// The shortcut flag of line addr's base set.
int test_rowseer_all_hit_flag(md_addr_t addr);
// Hits counted at list position j at 2^i sets (shortcut hits excluded).
uint64_t test_rowseer_hits(int i, int j);
// Shortcut hits not yet folded into the report.
uint64_t test_rowseer_hit0(void);

#endif  // VANTLE_LIBVANTLE_ROWSEER_H_
