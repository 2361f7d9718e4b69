// Fully-associative OPT simulator: the priority stack (groups held as sorted
// runs, seen through the priority-tree operations), the
// unknown-priority table and the late next-use handler. Calls of the front
// end and the window, and, for tests, the unit's internal operations.
#ifndef VANTLE_LIBVANTLE_WIDESEER_H_
#define VANTLE_LIBVANTLE_WIDESEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

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

// The ordered stack, keyed by (grpno, prty): an entry lies deeper than
// another when its group number is larger, or when the groups are equal and
// its priority is lower. It is held as a table of groups, each a sorted run
// of (priority, line) pairs; the operations below see it as one priority
// tree keyed by (grpno, prty). Nodes are records that describe one entry:
// callers hand entries in by a node, which the stack copies, and get entries
// back as nodes that belong to the unit, each operation with its own
// record(s), valid until that operation runs again. Only grpno, prty and addr
// of a node are read or set. The simulator itself does not call them; tests
// drive the stack entry by entry through them.
// Entry just below entry's key in the stack, or null.
tree_node *Lookup_next(tree_node *entry);
// Entry just above entry's key in the stack, or null.
tree_node *Lookup_prev(tree_node *entry);
// Puts an entry into the stack at the place of its key, alternating the two
// variants below. A key already present is reported and the entry left out.
void Insert(tree_node *ins_node);
// The two variants differ only in the message for a key already present
// ("error in insert" and "error in Insert").
void Insert_no_Balance(tree_node *ins_node);
void Insert_and_Balance(tree_node *ins_node);
// Removes the entry with entry's key and returns it (null when absent);
// *prev_entry gets the entry just above it in the stack (null at the top).
tree_node *Delete(tree_node *entry, tree_node **prev_entry);
// Replaces the entry with del_entry's key by ins_entry's group, priority and
// line, which the caller guarantees sort at the same place; returns the new
// entry (null when del_entry is in the top entry's group, the root's, or
// absent).
tree_node *Lookup_Delete_Insert(tree_node *del_entry, tree_node *ins_entry);

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

// Late resolution: the node to displace in group grpno (the entry with key
// (grpno, search_prty), else the group's lowest entry above that key when
// its priority is below del_prty), or null.
tree_node *Get_first_unknown_wobacking(int grpno, int search_prty,
                                       int del_prty);
// The same search by walking up the stack from entry's key.
tree_node *Get_first_unknown(tree_node *entry, int search_prty, int del_prty);

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
