// Fully-associative OPT simulator: every cache of 1 to MAX_LINES lines under
// optimal replacement in one pass. The stack of lines is ordered so that the
// top k entries are an optimal k-line cache; the position of a referenced
// line is its stack distance, and a histogram of positions gives every miss
// ratio. Below the top entry the stack is cut into groups of strictly
// falling priority, all held in a binary tree keyed by (group, priority),
// so that a reference compares the carried entry only with each group's
// first and last entry.
//
// Owns: the stack (headgrp, the groups, the tree with p_stack), the hit
// histogram out_stack, the unknown-priority table (unknowns) and the
// two carried entries. Reads L, T, MAX_LINES, MISS_RATIO_INTERVAL,
// SAVE_INTERVAL and P_INTERVAL; reads and clears the look-ahead window
// inside stack_proc_fa.
#include "libvantle/wideseer.h"

#include <stdlib.h>

#include "libvantle/lookahead.h"

namespace {

constexpr int32_t kMaxPriority = 2147483647;  // priority of "next use at 0"
constexpr int32_t kFirstGroup = 2147483647;   // group numbers count down
constexpr int32_t kNoUnknown = -2147483642;   // below every unknown priority

}  // namespace

// The stack.
static group_desc headgrp;  // stands for the top entry; nxt is the first group
static tree_node *root;     // the top entry's node; every other node is left
static tree_node **p_stack; // path array of the tree operations
static short insert_flag;   // which insertion variant comes next
static int32_t grp_ct = kFirstGroup;
static int32_t inf_count;   // last unknown priority handed out

// Counts.
static uint32_t *out_stack;  // out_stack[d]: hits at stack position d
static int32_t t_entries;    // references processed
static int32_t tot_addrs;    // entries that entered the stack
static short size_exceeded;  // the stack stopped growing at MAX_LINES + 1
static int32_t log_tot_addrs;
static uint32_t next_two_pwr;
static int32_t next_save_time;
static int32_t CLEAN_INTERVAL;
static int32_t next_clean_time;

// Carried entries: one for process_groups, one for inf_handler_fa.
static tree_node dummy_for_del_line;
static tree_node *del_line = &dummy_for_del_line;
static tree_node dummy_for_inf_del_line;
static tree_node *inf_del_line = &dummy_for_inf_del_line;

// Unknown-priority table: field a is the recorded group number, b the
// unknown priority.
static line_table unknowns;

// ---------------------------------------------------------------------------
// Priority tree

// True when key (g1, p1) lies deeper in the stack than key (g2, p2).
static bool deeper(int32_t g1, int32_t p1, int32_t g2, int32_t p2) {
  return g1 > g2 || (g1 == g2 && p1 < p2);
}

static bool deeper_than_node(const tree_node *key, const tree_node *n) {
  return deeper(key->grpno, key->prty, n->grpno, n->prty);
}

static bool same_key(const tree_node *a, const tree_node *b) {
  return a->grpno == b->grpno && a->prty == b->prty;
}

tree_node *Lookup_next(tree_node *entry) {
  tree_node *below = nullptr;
  tree_node *n = root;
  while (n && !same_key(entry, n)) {
    if (deeper_than_node(entry, n)) {
      n = n->lft;
    } else {
      below = n;
      n = n->rt;
    }
  }
  if (n && n->lft) {
    tree_node *m = n->lft;
    while (m->rt) m = m->rt;
    return m;
  }
  return below;
}

tree_node *Lookup_prev(tree_node *entry) {
  tree_node *above = nullptr;
  tree_node *n = root;
  while (n && !same_key(entry, n)) {
    if (deeper_than_node(entry, n)) {
      above = n;
      n = n->lft;
    } else {
      n = n->rt;
    }
  }
  if (n && n->rt) {
    tree_node *m = n->rt;
    while (m->lft) m = m->lft;
    return m;
  }
  return above;
}

void Insert(tree_node *ins_node) {
  if (insert_flag == 0)
    Insert_no_Balance(ins_node);
  else
    Insert_and_Balance(ins_node);
  insert_flag = insert_flag == 1 ? 0 : 1;
}

void Insert_no_Balance(tree_node *ins_node) {
  ins_node->lft = ins_node->rt = nullptr;
  if (!root) {
    root = ins_node;
    return;
  }
  tree_node *n = root;
  for (;;) {
    if (same_key(ins_node, n)) {
      // The node stays out: the tree keeps one node per key.
      fprintf(stderr, "libvantle: error in insert\n");
      return;
    }
    tree_node **link = deeper_than_node(ins_node, n) ? &n->lft : &n->rt;
    if (!*link) {
      *link = ins_node;
      return;
    }
    n = *link;
  }
}

// Lifts p_stack[at] to the top of the subtree below the root.
static void splay_to_top(int at) {
  for (; at > 1; at -= 2) splay(at, p_stack);
  root->lft = p_stack[1];
}

void Insert_and_Balance(tree_node *ins_node) {
  ins_node->lft = ins_node->rt = nullptr;
  if (!root) {
    root = ins_node;
    return;
  }
  if (!root->lft) {
    root->lft = ins_node;
    return;
  }
  int top = 0;
  tree_node *n = root->lft;
  for (;;) {
    if (same_key(ins_node, n)) {
      fprintf(stderr, "libvantle: error in Insert\n");
      return;
    }
    p_stack[++top] = n;
    tree_node **link = deeper_than_node(ins_node, n) ? &n->lft : &n->rt;
    if (!*link) {
      *link = ins_node;
      break;
    }
    n = *link;
  }
  p_stack[++top] = ins_node;
  if (top > log_tot_addrs) splay_to_top(top);
}

// Puts `with` in the place of `old`, the child of parent (root when parent
// is null) on the side given by went_left.
static void replace_child(tree_node *parent, bool went_left, tree_node *with) {
  if (!parent)
    root = with;
  else if (went_left)
    parent->lft = with;
  else
    parent->rt = with;
}

tree_node *Delete(tree_node *entry, tree_node **prev_entry) {
  tree_node *parent = nullptr, *above = nullptr;
  bool went_left = false;
  tree_node *d = root;
  while (d && !same_key(entry, d)) {
    parent = d;
    went_left = deeper_than_node(entry, d);
    if (went_left) above = d;
    d = went_left ? d->lft : d->rt;
  }
  if (!d) {
    fprintf(stderr, "libvantle: error in delete\n");
    return nullptr;
  }
  if (!d->rt) {
    replace_child(parent, went_left, d->lft);
    *prev_entry = above;
  } else if (!d->lft) {
    replace_child(parent, went_left, d->rt);
    tree_node *m = d->rt;
    while (m->lft) m = m->lft;
    *prev_entry = m;
  } else {
    tree_node *m_parent = d, *m = d->rt;
    while (m->lft) {
      m_parent = m;
      m = m->lft;
    }
    *prev_entry = m;
    if (m_parent == d)
      d->rt = m->rt;
    else
      m_parent->lft = m->rt;
    m->lft = d->lft;
    m->rt = d->rt;
    replace_child(parent, went_left, m);
  }
  return d;
}

tree_node *Lookup_Delete_Insert(tree_node *del_entry, tree_node *ins_entry) {
  if (del_entry->grpno == root->grpno) {
    fprintf(stderr, "libvantle: hit at root\n");
    return nullptr;
  }
  int pos = 0;
  tree_node *n = root->lft;
  while (n) {
    p_stack[++pos] = n;
    if (same_key(del_entry, n)) break;
    n = deeper_than_node(del_entry, n) ? n->lft : n->rt;
  }
  if (!n) {
    fprintf(stderr, "libvantle: error in Lookup_Delete_Insert\n");
    return nullptr;
  }
  n->grpno = ins_entry->grpno;
  n->prty = ins_entry->prty;
  n->addr = ins_entry->addr;
  splay_to_top(pos);
  return n;
}

// ---------------------------------------------------------------------------
// Unknown-priority table

void unk_hash_add_fa(md_addr_t addr, int grpno, int prty) {
  const line_record *earlier = line_table_find(&unknowns, addr);
  if (earlier) {
    // Records of one line sit in one probe run, oldest first.
    const line_record *oldest = earlier;
    const line_record *end = unknowns.slots + unknowns.mask + 1;
    for (const line_record *r = earlier; r->used;) {
      if (r->addr == addr) {
        fprintf(stderr, "libvantle: addr already in hash table\n");
        myfprintf(stderr, "addr: 0x%p; t_entries: %u; prty: %d\n", addr,
                  t_entries, r->b);
        myfprintf(stderr, "slot addr: 0x%p; prty: %d\n", oldest->addr,
                  oldest->b);
      }
      r = r + 1 == end ? unknowns.slots : r + 1;
    }
  }
  line_record *added = line_table_add(&unknowns, addr);
  added->a = grpno;
  added->b = prty;
}

int unk_hash_del_fa(md_addr_t addr, int *prty_ptr) {
  line_record *r = line_table_find(&unknowns, addr);
  if (!r) return 0;
  int grp = r->a;
  *prty_ptr = r->b;
  line_table_remove(&unknowns, r);
  return grp;
}

// Pushes n and the chain of its left links onto p_stack.
static void push_left_chain(tree_node *n, int *top) {
  for (; n; n = n->lft) p_stack[++*top] = n;
}

int Get_max_prty_unknown(void) {
  int32_t max = kNoUnknown;
  int top = 0;
  push_left_chain(root, &top);
  while (top > 0) {
    tree_node *n = p_stack[top--];
    if (n->prty < 0 && n->prty > max) max = n->prty;
    push_left_chain(n->rt, &top);
  }
  return max;
}

static bool above_max(const line_record *r, void *max) {
  return r->b > *static_cast<int32_t *>(max);
}

void hash_clean_fa(void) {
  int32_t max = Get_max_prty_unknown();
  line_table_remove_if(&unknowns, above_max, &max);
}

// ---------------------------------------------------------------------------
// Late next-use resolution

tree_node *Get_first_unknown_wobacking(int grpno, int search_prty,
                                       int del_prty) {
  tree_node *above = nullptr;
  tree_node *n = root;
  while (n) {
    if (n->grpno == grpno && n->prty == search_prty) return n;
    if (deeper(grpno, search_prty, n->grpno, n->prty)) {
      above = n;
      n = n->lft;
    } else {
      n = n->rt;
    }
  }
  if (above && above->grpno == grpno && above->prty < del_prty) return above;
  return nullptr;
}

tree_node *Get_first_unknown(tree_node *entry, int search_prty,
                             int del_prty) {
  int top = 0;
  tree_node *n = root;
  while (n && !same_key(entry, n)) {
    if (deeper_than_node(entry, n)) {
      p_stack[++top] = n;
      n = n->lft;
    } else {
      n = n->rt;
    }
  }
  if (n) p_stack[++top] = n;
  while (top > 0) {
    tree_node *m = p_stack[top--];
    if (m->prty > 0 || m->grpno != entry->grpno) return nullptr;
    if (m->prty == search_prty ||
        (m->prty > search_prty && m->prty < del_prty))
      return m;
    push_left_chain(m->rt, &top);
  }
  return nullptr;
}

void inf_handler_fa(md_addr_t addr, int cur_time) {
  int32_t known = kMaxPriority - cur_time;
  tree_node *top = headgrp.first;
  if (top && top->addr == addr) {
    if (top->prty > 0)
      fprintf(stderr, "libvantle: unknown has > 0 prty\n");
    else
      top->prty = known;
    return;
  }
  int old_prty = 0;
  int32_t recorded_grp = unk_hash_del_fa(addr, &old_prty);
  if (recorded_grp == 0) return;
  group_desc *g = headgrp.nxt;
  while (g && g->grpno < recorded_grp) g = g->nxt;
  while (g && g->last->prty > 0) g = g->nxt;
  // The line's new node displaces, group by group, the unknown entry that
  // wrongly ranked above its old one, until its old node comes out.
  tree_node *carried = inf_del_line;
  carried->prty = known;
  carried->addr = addr;
  int32_t below = 0;
  for (; g; g = g->nxt) {
    tree_node *displaced = Get_first_unknown_wobacking(g->grpno, old_prty,
                                                       below);
    if (!displaced) continue;
    carried->grpno = g->grpno;
    Insert(carried);
    if (carried->prty > g->first->prty) g->first = carried;
    tree_node *p = nullptr;
    carried = Delete(displaced, &p);
    if (displaced == g->last) g->last = p;
    if (displaced->prty == old_prty) break;
    below = displaced->prty;
  }
  inf_del_line = carried;
}

// ---------------------------------------------------------------------------
// Stack processing

int Priority_fa(int i) {
  if (time_array[i] == 0) return --inf_count;
  return kMaxPriority - static_cast<int32_t>(time_array[i]);
}

static void *unit_calloc(size_t count, size_t size, const char *func,
                         int line) {
  return checked_calloc(count, size, "wideseer", func, line);
}

static group_desc *new_group(const char *func, int line) {
  return static_cast<group_desc *>(
      unit_calloc(1, sizeof(group_desc), func, line));
}

void init_wideseer(void) {
  CLEAN_INTERVAL = 10000000;
  next_save_time = SAVE_INTERVAL;
  size_t lines = MAX_LINES;
  out_stack = static_cast<uint32_t *>(
      unit_calloc(lines + 1, sizeof(uint32_t), "init_wideseer", __LINE__));
  p_stack = static_cast<tree_node **>(
      unit_calloc(lines + 1000, sizeof(tree_node *), "init_wideseer",
                  __LINE__));
  line_table_init(&unknowns, "wideseer");
  next_clean_time = CLEAN_INTERVAL;
}

// The old top entry moves below the top as the first group's only entry;
// the top node takes line addr with priority prty.
static void push_top_into_first_group(md_addr_t addr, int32_t prty) {
  tree_node *first = static_cast<tree_node *>(
      unit_calloc(1, sizeof(tree_node), "stack_proc_fa", __LINE__));
  first->addr = root->addr;
  first->prty = root->prty;
  first->grpno = kFirstGroup;
  if (first->prty < 0) unk_hash_add_fa(first->addr, kFirstGroup, first->prty);
  root->addr = addr;
  root->prty = prty;
  root->lft = first;
  group_desc *g = new_group("stack_proc_fa", __LINE__);
  g->first = g->last = first;
  g->grpno = kFirstGroup;
  g->wt = 1;
  headgrp.nxt = g;
}

// Builds the stack from the start of the first block; returns the index of
// the first entry not yet processed. A block of one distinct line (or of
// none) leaves a stack of the top entry alone; the first group is then made
// by the first miss (process_groups).
static int build_stack(int end) {
  if (end <= 0) return end;
  root = static_cast<tree_node *>(
      unit_calloc(1, sizeof(tree_node), "stack_proc_fa", __LINE__));
  root->prty = Priority_fa(0);
  root->addr = addr_array[0];
  root->grpno = 0;
  headgrp.first = headgrp.last = root;
  headgrp.grpno = 0;
  int i = 0;
  while (i < end && addr_array[i] == addr_array[0]) i++;
  log_tot_addrs = 1;
  next_two_pwr = 4;
  if (i == end) {
    if (end > 1) root->prty = Priority_fa(end - 1);
    out_stack[1] += end - 1;
    tot_addrs = 1;
    for (int k = 0; k < end; k++) addr_array[k] = time_array[k] = 0;
    t_entries = end;
    return end;
  }
  root->prty = Priority_fa(i - 1);  // the first line's last repeat
  push_top_into_first_group(addr_array[i], Priority_fa(i));
  out_stack[1] += i - 1;
  tot_addrs = 2;
  for (int k = 0; k <= i; k++) addr_array[k] = time_array[k] = 0;
  t_entries = i + 1;
  return i + 1;
}

// The carried entry meets group g on its way down: when it outranks g's
// last entry it settles in g and that entry is carried on instead.
static void pass_group(group_desc *g) {
  if (del_line->prty <= g->last->prty) return;
  del_line->grpno = g->grpno;
  Insert(del_line);
  if (del_line->prty > g->first->prty) g->first = del_line;
  tree_node *p = nullptr;
  del_line = Delete(g->last, &p);
  g->last = p;
  if (p->grpno != g->grpno)
    fprintf(stderr, "libvantle: inconsistent prev entry\n");
}

static void count_hit(uint32_t position) {
  if (position <= MAX_LINES) out_stack[position]++;
}

// Hit on the first group's first entry: the old top entry takes its place,
// in the same group or as a new group of its own in front of it.
static void hit_at_second(group_desc *s, tree_node *top) {
  count_hit(2);
  bool joins = s->wt == 1;
  tree_node *second = nullptr;
  if (!joins) {
    second = Lookup_next(s->first);
    if (!second || second->grpno != s->grpno)
      fprintf(stderr, "libvantle: inconsistent next entry\n");
    joins = second && second->prty < top->prty;
  }
  tree_node *n = s->first;
  n->addr = top->addr;
  n->prty = top->prty;
  if (!joins) {
    grp_ct--;
    group_desc *g = new_group("process_groups", __LINE__);
    n->grpno = grp_ct;
    g->first = g->last = n;
    g->grpno = grp_ct;
    g->wt = 1;
    g->nxt = s;
    headgrp.nxt = g;
    s->first = second;
    s->wt--;
  }
}

// Hit on group g's first entry below prev: that node takes the carried
// entry in place as prev's new last entry.
static void hit_in_group(group_desc *prev, group_desc *g) {
  del_line->grpno = prev->grpno;
  tree_node *n = Lookup_Delete_Insert(g->first, del_line);
  prev->last = n;
  prev->wt++;
  if (g->first == g->last) {
    prev->nxt = g->nxt;
    free(g);
    return;
  }
  g->first = Lookup_next(n);
  g->wt--;
  if (!g->first || g->first->grpno != g->grpno)
    fprintf(stderr, "libvantle: inconsistent next entry\n");
}

int process_groups(md_addr_t addr, int priority) {
  tree_node *top = headgrp.first;
  group_desc *s = headgrp.nxt;
  if (top->addr == addr) {
    count_hit(1);
    top->prty = priority;
    return 0;
  }
  if (!s) {  // the stack held one line only
    push_top_into_first_group(addr, priority);
    return 1;
  }
  bool at_second = s->first->addr == addr;
  if (top->prty < 0)
    unk_hash_add_fa(top->addr, at_second ? s->grpno - 1 : s->grpno,
                    top->prty);
  if (at_second) {
    hit_at_second(s, top);
    top->addr = addr;
    top->prty = priority;
    return 0;
  }
  del_line->prty = top->prty;
  del_line->addr = top->addr;
  top->addr = addr;
  top->prty = priority;
  pass_group(s);
  group_desc *prev = s;
  uint32_t depth = static_cast<uint32_t>(s->wt) + 1;
  for (group_desc *g = s->nxt; g; g = g->nxt) {
    if (g->first->addr == addr) {
      count_hit(depth + 1);
      hit_in_group(prev, g);
      return 0;
    }
    pass_group(g);
    prev = g;
    depth += static_cast<uint32_t>(g->wt);
  }
  if (!size_exceeded) {
    del_line->grpno = prev->grpno;
    Insert(del_line);
    prev->last = del_line;
    prev->wt++;
    del_line = static_cast<tree_node *>(
        unit_calloc(1, sizeof(tree_node), "process_groups", __LINE__));
  } else if (del_line->prty < 0) {
    ft_hash_del(del_line->addr);
  }
  return 1;
}

static void count_miss() {
  tot_addrs++;
  if (static_cast<uint32_t>(tot_addrs) > next_two_pwr) {
    log_tot_addrs++;
    next_two_pwr *= 2;
  }
  if (!size_exceeded && static_cast<uint32_t>(tot_addrs) > MAX_LINES) {
    size_exceeded = 1;
    fprintf(stderr, "libvantle: tot_addrs limit exceeded, t_entries=%d\n",
            t_entries);
  }
}

int stack_proc_fa(int start, int end) {
  int i = start;
  if (t_entries == 0) i = build_stack(end);
  for (; i < end; i++) {
    t_entries++;
    md_addr_t addr = addr_array[i];
    if (t_entries > next_save_time) {
      outpr_wideseer(stderr);
      next_save_time += SAVE_INTERVAL;
    }
    if (t_entries > next_clean_time) {
      if (size_exceeded) hash_clean_fa();
      next_clean_time += CLEAN_INTERVAL;
    }
    if (t_entries % P_INTERVAL == 0)
      fprintf(stderr, "libvantle: addresses processed  %d\n", t_entries);
    if (process_groups(addr, Priority_fa(i)) == 1) count_miss();
    addr_array[i] = 0;
    time_array[i] = 0;
    if (t_entries > T) return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Report

// Deepest stack position that the report lists.
static uint32_t stack_end() {
  uint32_t seen = static_cast<uint32_t>(tot_addrs);
  return MAX_LINES < seen ? MAX_LINES : seen;
}

void outpr_wideseer(FILE *fd) {
  fprintf(fd, "Addresses processed : %d\n", t_entries);
  fprintf(fd, "Line size : %d bytes \n", 1 << L);
  fprintf(fd, "Number of distinct addresses  %d\n", tot_addrs);
  fprintf(fd, "Cache size (bytes)\tMiss Ratio\n");
  uint32_t end = stack_end();
  int32_t sum = 0;
  for (uint32_t k = 1; k <= end; k++) {
    sum += static_cast<int32_t>(out_stack[k]);
    if (k % static_cast<uint32_t>(MISS_RATIO_INTERVAL) == 0)
      fprintf(fd, "%d\t\t\t%1.6f\n", static_cast<int>(k << L),
              1.0 - static_cast<double>(sum) / t_entries);
  }
  if (end == static_cast<uint32_t>(tot_addrs))
    fprintf(fd, "Miss ratio is %f for all bigger caches\n",
            1.0 - static_cast<double>(sum) / t_entries);
  fprintf(fd, "\n\n\n");
}

int results_wideseer(vantle_result *rows, int capacity) {
  uint32_t step = static_cast<uint32_t>(MISS_RATIO_INTERVAL);
  int count = static_cast<int>(MAX_LINES / step);
  uint64_t hits = 0;
  uint32_t counted = 0;  // positions summed into hits
  for (int r = 0; r < count && r < capacity; r++) {
    uint32_t k = (static_cast<uint32_t>(r) + 1) * step;
    for (; counted < k; counted++) hits += out_stack[counted + 1];
    rows[r] = result_row(3, 1, 1u << L, 0, 0, static_cast<uint64_t>(k) << L,
                         static_cast<uint64_t>(t_entries), hits);
  }
  return count;
}
