// Fully-associative OPT simulator: the priority stack, its tree and groups,
// the unknown-priority table and the late next-use handler. Calls of the
// front end and the window, and, for tests, the unit's internal operations.
#ifndef VANTLE_LIBVANTLE_WIDESEER_H_
#define VANTLE_LIBVANTLE_WIDESEER_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// One priority group: a run of stack entries whose priorities fall strictly
// from first to last.
struct group_desc {
  tree_node *first;  // shallowest entry, highest priority
  tree_node *last;   // deepest entry, lowest priority
  int32_t grpno;     // carried by every entry of the group
  int32_t wt;        // number of entries
  group_desc *nxt;   // next deeper group, or null
};

// Allocates the histogram and the path array; the stack is built by the
// first block. Ends through _fatal when memory is out.
void init_wideseer(void);
// Block callback of the look-ahead window: processes positions
// [start, end) and clears them; returns 1 when it stopped early past T,
// else 0.
int stack_proc_fa(int start, int end);
// Late next-use callback: the line addr, referenced at cur_time, gets its
// known priority and the stack is repaired.
void inf_handler_fa(md_addr_t addr, int cur_time);
// Prints the miss ratio of every cache size to fd.
void outpr_wideseer(FILE *fd);
// vantle_results for this family.
int results_wideseer(vantle_result *rows, int capacity);

// Priority of window position i: 2147483647 minus the next-use time, or the
// next unused negative number when the next use is unknown.
int Priority_fa(int i);
// Moves line addr with the given priority to the top of the stack and
// counts its hit position; returns 0 on a hit, 1 when the line was absent.
int process_groups(md_addr_t addr, int priority);

// Priority tree, keyed by (grpno, prty) in stack order. The first node
// inserted into an empty tree becomes its root (the top entry).
// Node just below entry's key in the stack, or null.
tree_node *Lookup_next(tree_node *entry);
// Node just above entry's key in the stack, or null.
tree_node *Lookup_prev(tree_node *entry);
// Inserts a node not in the tree, alternating the two variants below. A key
// already present is reported and the node is left out.
void Insert(tree_node *ins_node);
// Plain binary-tree insertion.
void Insert_no_Balance(tree_node *ins_node);
// Insertion that lifts a node landing deeper than log_tot_addrs to the top
// of the subtree below the root.
void Insert_and_Balance(tree_node *ins_node);
// Removes the node with entry's key and returns it (null when absent);
// *prev_entry gets the node just above it in the stack.
tree_node *Delete(tree_node *entry, tree_node **prev_entry);
// Gives the node with del_entry's key ins_entry's group, priority and line
// in place and lifts it below the root; returns it (null on error).
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
// Highest negative priority in the tree, or -2147483642 when there is none.
int Get_max_prty_unknown(void);

// Late resolution: the node to displace in group grpno (the entry with key
// (grpno, search_prty), else the group's lowest entry above that key when
// its priority is below del_prty), or null.
tree_node *Get_first_unknown_wobacking(int grpno, int search_prty,
                                       int del_prty);
// The same search by walking up the stack from entry's key with p_stack.
tree_node *Get_first_unknown(tree_node *entry, int search_prty, int del_prty);

#endif  // VANTLE_LIBVANTLE_WIDESEER_H_
