// The priority-tree operations of the fully-associative OPT stack, over
// the group table: they keep the operations of the tree that the groups
// replaced, by name and contract, so that tests can drive the stack entry
// by entry. The simulator does not call them. Owns only the records it
// hands back and which insertion variant comes next; the stack is the
// group table opt_stack.
#include "libvantle/wideseer_tree.h"

#include <stdio.h>

#include "libvantle/group_table.h"

// Index of group grpno, or kNone.
static uint32_t find_group(int32_t grpno) {
  uint32_t at = group_place(grpno);
  return at < opt_stack.ng && opt_stack.grp[at].grpno == grpno ? at : kNone;
}

// Index of the entry with priority prty in g, or g.hi.
static uint32_t find_entry(const group_run &g, int32_t prty) {
  uint32_t p = first_at_or_below(g.buf, g.lo, g.hi, prty);
  return p < g.hi && g.buf[p].prty == prty ? p : g.hi;
}

// Sets every group's count of entries above it, after a change of sizes
// that the stack processing does not keep up itself.
static void recount_above() {
  uint32_t above = 0;
  for (uint32_t at = opt_stack.ng; at-- > 0;) {
    opt_stack.grp[at].above = above;
    above += size_of(opt_stack.grp[at]);
  }
}

// The records handed back, one or two per operation.
static tree_node next_node, prev_node, deleted_node, above_deleted_node,
    replaced_node, unknown_node;

static tree_node *describe(tree_node *n, stack_entry e, int32_t grpno) {
  *n = tree_node{};
  n->addr = e.addr;
  n->grpno = grpno;
  n->prty = e.prty;
  return n;
}

static tree_node *describe_first(tree_node *n, const group_run &g) {
  return describe(n, g.buf[g.lo], g.grpno);
}

static tree_node *describe_last(tree_node *n, const group_run &g) {
  return describe(n, g.buf[g.hi - 1], g.grpno);
}

tree_node *Lookup_next(tree_node *entry) {
  int32_t grpno = entry->grpno, prty = entry->prty;
  uint32_t at = group_place(grpno);
  if (at < opt_stack.ng && opt_stack.grp[at].grpno == grpno) {
    const group_run &g = opt_stack.grp[at];
    uint32_t p = first_below(g.buf, g.lo, g.hi, prty);
    if (p < g.hi) return describe(&next_node, g.buf[p], grpno);
  }
  return at > 0 ? describe_first(&next_node, opt_stack.grp[at - 1]) : nullptr;
}

tree_node *Lookup_prev(tree_node *entry) {
  int32_t grpno = entry->grpno, prty = entry->prty;
  uint32_t at = group_place(grpno);
  if (at < opt_stack.ng && opt_stack.grp[at].grpno == grpno) {
    const group_run &g = opt_stack.grp[at];
    uint32_t p = first_at_or_below(g.buf, g.lo, g.hi, prty);
    if (p > g.lo) return describe(&prev_node, g.buf[p - 1], grpno);
    at++;
  }
  if (at >= opt_stack.ng) return nullptr;
  return describe_last(&prev_node, opt_stack.grp[at]);
}

// Puts n's entry into the stack; a key already present prints dup_message.
static void insert_entry(tree_node *n, const char *dup_message) {
  n->lft = n->rt = nullptr;
  uint32_t at = group_place(n->grpno);
  if (at == opt_stack.ng || opt_stack.grp[at].grpno != n->grpno)
    open_group(at, n->grpno, "Insert", __LINE__);
  const group_run &g = opt_stack.grp[at];
  uint32_t p = first_at_or_below(g.buf, g.lo, g.hi, n->prty);
  if (p < g.hi && g.buf[p].prty == n->prty) {
    fprintf(stderr, "%s", dup_message);
    return;
  }
  insert_at(at, p, stack_entry{n->prty, n->addr}, "Insert", __LINE__);
  recount_above();
}

static short insert_flag;  // which insertion variant comes next

void Insert(tree_node *ins_node) {
  if (insert_flag == 0)
    Insert_no_Balance(ins_node);
  else
    Insert_and_Balance(ins_node);
  insert_flag = insert_flag == 1 ? 0 : 1;
}

void Insert_no_Balance(tree_node *ins_node) {
  insert_entry(ins_node, "libvantle: error in insert\n");
}

void Insert_and_Balance(tree_node *ins_node) {
  insert_entry(ins_node, "libvantle: error in Insert\n");
}

// Removes the entry at index p of the group at index at, closing the group
// when it empties.
static stack_entry take_entry(uint32_t at, uint32_t p) {
  stack_entry gone;
  if (size_of(opt_stack.grp[at]) == 1) {
    gone = opt_stack.grp[at].buf[p];
    close_group(at);
  } else {
    gone = remove_at(at, p);
  }
  recount_above();
  return gone;
}

tree_node *Delete(tree_node *entry, tree_node **prev_entry) {
  uint32_t at = find_group(entry->grpno);
  uint32_t p = at == kNone ? 0 : find_entry(opt_stack.grp[at], entry->prty);
  if (at == kNone || p == opt_stack.grp[at].hi) {
    fprintf(stderr, "libvantle: error in delete\n");
    return nullptr;
  }
  const group_run &g = opt_stack.grp[at];
  if (p > g.lo)
    *prev_entry = describe(&above_deleted_node, g.buf[p - 1], g.grpno);
  else if (at + 1 < opt_stack.ng)
    *prev_entry = describe_last(&above_deleted_node, opt_stack.grp[at + 1]);
  else
    *prev_entry = nullptr;
  int32_t grpno = g.grpno;
  return describe(&deleted_node, take_entry(at, p), grpno);
}

tree_node *Lookup_Delete_Insert(tree_node *del_entry, tree_node *ins_entry) {
  uint32_t top = opt_stack.ng - 1;  // the root's group is the top entry's
  if (opt_stack.ng > 0 && del_entry->grpno == opt_stack.grp[top].grpno) {
    fprintf(stderr, "libvantle: hit at root\n");
    return nullptr;
  }
  uint32_t at = find_group(del_entry->grpno);
  uint32_t p = at == kNone ? 0 : find_entry(opt_stack.grp[at], del_entry->prty);
  if (at == kNone || p == opt_stack.grp[at].hi) {
    fprintf(stderr, "libvantle: error in Lookup_Delete_Insert\n");
    return nullptr;
  }
  take_entry(at, p);
  tree_node n = *ins_entry;
  insert_entry(&n, "libvantle: error in Lookup_Delete_Insert\n");
  return describe(&replaced_node, stack_entry{n.prty, n.addr}, n.grpno);
}

tree_node *Get_first_unknown_wobacking(int grpno, int search_prty,
                                       int del_prty) {
  uint32_t at = find_group(grpno);
  if (at == kNone) return nullptr;
  const group_run &g = opt_stack.grp[at];
  uint32_t p = first_at_or_below(g.buf, g.lo, g.hi, search_prty);
  if (p < g.hi && g.buf[p].prty == search_prty)
    return describe(&unknown_node, g.buf[p], grpno);
  if (p > g.lo && g.buf[p - 1].prty < del_prty)
    return describe(&unknown_node, g.buf[p - 1], grpno);
  return nullptr;
}

tree_node *Get_first_unknown(tree_node *entry, int search_prty,
                             int del_prty) {
  uint32_t at = find_group(entry->grpno);
  if (at == kNone) return nullptr;
  const group_run &g = opt_stack.grp[at];
  // From the entry's place (or the entry just above it) up to the group's
  // first entry; the entry above that belongs to another group.
  int64_t p = first_at_or_below(g.buf, g.lo, g.hi, entry->prty);
  if (p == g.hi || g.buf[p].prty != entry->prty) p--;
  for (; p >= static_cast<int64_t>(g.lo); p--) {
    stack_entry e = g.buf[p];
    if (e.prty > 0) return nullptr;
    if (e.prty == search_prty || (e.prty > search_prty && e.prty < del_prty))
      return describe(&unknown_node, e, g.grpno);
  }
  return nullptr;
}
