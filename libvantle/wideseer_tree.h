// The fully-associative OPT stack of wideseer seen as one priority tree,
// keyed by (grpno, prty): an entry lies deeper than another when its group
// number is larger, or when the groups are equal and its priority is lower.
// The stack is held as a table of groups, each a sorted run of (priority,
// line) pairs (group_table.h); these operations keep the tree's names and
// contracts over it. Nodes are records that describe one entry: callers
// hand entries in by a node, which the stack copies, and get entries back
// as nodes that belong to the unit, each operation with its own record(s),
// valid until that operation runs again. Only grpno, prty and addr of a
// node are read or set. The simulator itself does not call them; tests
// drive the stack entry by entry through them.
#ifndef VANTLE_LIBVANTLE_WIDESEER_TREE_H_
#define VANTLE_LIBVANTLE_WIDESEER_TREE_H_

#include "libvantle/util.h"

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

// Late resolution: the node to displace in group grpno (the entry with key
// (grpno, search_prty), else the group's lowest entry above that key when
// its priority is below del_prty), or null.
tree_node *Get_first_unknown_wobacking(int grpno, int search_prty,
                                       int del_prty);
// The same search by walking up the stack from entry's key.
tree_node *Get_first_unknown(tree_node *entry, int search_prty, int del_prty);

#endif  // VANTLE_LIBVANTLE_WIDESEER_TREE_H_
