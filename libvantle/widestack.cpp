// Fully-associative LRU simulator: every fully-associative LRU cache of 1 to
// MAX_LINES lines of 2^L bytes, in one pass. The LRU stack of all lines seen
// lives in a splay tree keyed by the number of each line's last reference
// (inum), with right-subtree counts (rtwt) that yield a line's stack depth
// during the same descent that finds it. A hash table maps each line to its
// inum. Hits are counted per depth in out_stack; a cache of k lines hits
// every reference of depth at most k.
//
// State: the hash table, the tree and its path arrays, the depth histogram,
// the reference and line counts, and the kept left spine of delete_node.
// Reads L, MAX_LINES, MISS_RATIO_INTERVAL, SAVE_INTERVAL and P_INTERVAL.
#include "libvantle/widestack.h"

#include <stdlib.h>

enum { HASH_BUCKETS = 7211 };  // a prime

static const char kUnit[] = "widestack";

static hash_table slot[HASH_BUCKETS];  // bucket heads; inum 0 is empty
static tree_node *root;  // most recent line; never has a right child
// The bottom record planted by init_widestack, until its eviction. It holds
// no line and is not in the hash table, so every line address a trace can
// produce (1 included) is simulated like any other.
static tree_node *sentinel;
static tree_node **p_stack;  // search path of ref_tree; [1] is the root
static uint32_t *out_stack;  // out_stack[d]: references at LRU depth d
static uint32_t tot_addrs;   // insertions into the hash table
static uint32_t t_entries;   // references processed
static int16_t size_exceeded;
static uint64_t next_save_time;

// State kept by delete_node between calls: the left spine of the tree,
// delete_stack[delete_top] being the next victim.
static int16_t first_time = 1;
static int32_t delete_top;
static tree_node **delete_stack;
static uint32_t last_inum;  // inum of delete_stack[delete_top] when stored

// SAVE_INTERVAL widened with its sign.
static uint64_t save_interval() {
  return static_cast<uint64_t>(static_cast<int64_t>(SAVE_INTERVAL));
}

void init_widestack(void) {
  next_save_time = save_interval();
  out_stack = static_cast<uint32_t *>(
      checked_calloc(static_cast<size_t>(MAX_LINES) + 1000, sizeof(uint32_t),
                     kUnit, "init_widestack", __LINE__));
  // The tree holds at most MAX_LINES + 2 records, so no path is longer.
  p_stack = static_cast<tree_node **>(
      checked_calloc(static_cast<size_t>(MAX_LINES) + 3, sizeof(tree_node *),
                     kUnit, "init_widestack", __LINE__));
  t_entries = 0;
  tot_addrs = 0;
  root = static_cast<tree_node *>(checked_calloc(
      1, sizeof(tree_node), kUnit, "init_widestack", __LINE__));
  root->inum = 0;
  root->addr = 1;
  sentinel = root;
}

uint32_t hash_lookup_add(md_addr_t addr) {
  hash_table *record = &slot[addr % HASH_BUCKETS];
  if (record->inum == 0) {
    tot_addrs++;
    record->addr = addr;
    record->inum = static_cast<int32_t>(t_entries);
    record->nxt = nullptr;
    return 0;
  }
  for (;;) {
    if (record->addr == addr) {
      uint32_t previous = static_cast<uint32_t>(record->inum);
      record->inum = static_cast<int32_t>(t_entries);
      return previous;
    }
    if (!record->nxt) break;
    record = record->nxt;
  }
  tot_addrs++;
  auto *added = static_cast<hash_table *>(checked_calloc(
      1, sizeof(hash_table), kUnit, "hash_lookup_add", __LINE__));
  added->addr = addr;
  added->inum = static_cast<int32_t>(t_entries);
  added->nxt = nullptr;
  record->nxt = added;
  return 0;
}

static void warn_not_found() {
  fprintf(stderr, "libvantle: addr not found in hash_table\n");
}

void hash_del(md_addr_t addr) {
  hash_table *head = &slot[addr % HASH_BUCKETS];
  if (head->inum == 0) {
    warn_not_found();
    return;
  }
  if (head->addr == addr) {
    hash_table *follower = head->nxt;
    if (!follower) {
      head->inum = 0;
      return;
    }
    // The head lives in the table: the first follower moves into it.
    head->addr = follower->addr;
    head->inum = follower->inum;
    head->nxt = follower->nxt;
    free(follower);
    return;
  }
  for (hash_table *before = head; before->nxt; before = before->nxt) {
    hash_table *record = before->nxt;
    if (record->addr == addr) {
      before->nxt = record->nxt;
      free(record);
      return;
    }
  }
  warn_not_found();
}

// Makes parent point to replacement where it pointed to child.
static void replace_child(tree_node *parent, tree_node *child,
                          tree_node *replacement) {
  if (parent->lft == child)
    parent->lft = replacement;
  else
    parent->rt = replacement;
}

void ref_tree(uint32_t i_inum, md_addr_t addr) {
  if (i_inum == root->inum) {  // the most recent line again: depth 1
    out_stack[1]++;
    root->inum = t_entries;
    return;
  }
  // Descend by inum. Everything passed on the right of the path (a record
  // and its right subtree) is more recent than the line: that count is the
  // line's depth minus one. Right subtrees on the path lose the line.
  int top = 0, lstlft = 0;
  uint32_t addr_above = 0;
  tree_node *node = root;
  while (node) {
    p_stack[++top] = node;
    if (i_inum < node->inum) {
      addr_above += static_cast<uint32_t>(node->rtwt) + 1;
      lstlft = top;
      node = node->lft;
    } else if (i_inum > node->inum) {
      node->rtwt--;
      node = node->rt;
    } else {
      break;
    }
  }
  if (!node) {  // no record holds i_inum: undo the counts and give up
    for (int k = 1; k <= top; k++)
      if (i_inum > p_stack[k]->inum) p_stack[k]->rtwt++;
    fprintf(stderr, "libvantle: inconsistency w/ inum & addr'\n");
    return;
  }
  addr_above += static_cast<uint32_t>(node->rtwt);
  out_stack[addr_above + 1]++;
  int pos = top;
  if (node->addr != addr)
    fprintf(stderr, "libvantle: inconsistency w/ inum & addr'\n");
  node->rtwt--;
  for (tree_node *next = node->rt; next; next = next->lft)
    p_stack[++top] = next;

  // Free one record: the found one when it has no right subtree, otherwise
  // its in-order successor, whose line then moves into the found record.
  int at;
  if (pos == top) {
    replace_child(p_stack[top - 1], node, node->lft);
    at = lstlft;
  } else {
    tree_node *successor = p_stack[top];
    replace_child(p_stack[top - 1], successor, successor->rt);
    node->addr = successor->addr;
    node->inum = successor->inum;
    at = top - 1;
  }
  tree_node *freed = p_stack[top];
  // Splaying only keeps the tree shallow; the depth is already counted.
  for (; at > 1; at -= 2) splay(at, p_stack);

  // The freed record holds the line again, on top of everything else.
  freed->lft = p_stack[1];
  freed->rt = nullptr;
  freed->inum = t_entries;
  freed->addr = addr;
  freed->rtwt = 0;
  root = freed;
}

// Pushes node and its chain of left children onto delete_stack. Returns
// false, leaving the stack full, when it has no room left.
static bool push_left_chain(tree_node *node) {
  size_t capacity = static_cast<size_t>(MAX_LINES) + 2;
  for (; node; node = node->lft) {
    if (static_cast<size_t>(delete_top + 1) >= capacity) return false;
    delete_stack[++delete_top] = node;
  }
  return true;
}

tree_node *delete_node(void) {
  // The kept spine is trusted only while its last record still holds the
  // oldest line and still hangs off the same parent.
  if (!first_time && delete_top > 4 &&
      delete_stack[delete_top]->inum == last_inum &&
      delete_stack[delete_top - 1]->lft == delete_stack[delete_top]) {
    tree_node *victim = delete_stack[delete_top];
    if (victim->lft)
      fprintf(stderr, "libvantle: lft ptr of last entry not NULL\n");
    delete_stack[delete_top - 1]->lft = victim->rt;
    delete_top--;
    // Entries below the parent may be stale after splaying, so a long run
    // of fast evictions could outgrow the stack: then walk from the root.
    if (!push_left_chain(delete_stack[delete_top]->lft)) {
      delete_top = -1;
      push_left_chain(root);
    }
    last_inum = delete_stack[delete_top]->inum;
    return victim;
  }
  if (first_time) {
    first_time = 0;
    delete_stack = static_cast<tree_node **>(
        checked_calloc(static_cast<size_t>(MAX_LINES) + 2, sizeof(tree_node *),
                       kUnit, "delete_node", __LINE__));
  }
  // The tree holds MAX_LINES + 2 records here, so the root has a left child.
  delete_top = -1;
  tree_node *node = root;
  while (node->lft) {
    delete_stack[++delete_top] = node;
    node = node->lft;
  }
  delete_stack[delete_top]->lft = node->rt;
  push_left_chain(delete_stack[delete_top]->lft);
  last_inum = delete_stack[delete_top]->inum;
  return node;
}

void ptc(md_addr_t addr) {
  if (tot_addrs > MAX_LINES && !size_exceeded) {
    size_exceeded = 1;
    fprintf(stderr, "libvantle: distinct entries limit exceeded\n");
    fprintf(stderr, "libvantle: addresses processed %u\n", t_entries);
  }
  if (t_entries > next_save_time) {
    outpr_widestack(stderr);
    next_save_time += save_interval();
  }
  t_entries++;
  if (P_INTERVAL > 0 && t_entries % static_cast<uint32_t>(P_INTERVAL) == 0)
    fprintf(stderr, "libvantle: addresses processed %u\n", t_entries);

  md_addr_t line = addr >> L;
  uint32_t i_inum = hash_lookup_add(line);
  if (i_inum) {
    ref_tree(i_inum, line);
    return;
  }
  // A line not in the stack: a miss for every cache size.
  tree_node *record;
  if (!size_exceeded) {
    record = static_cast<tree_node *>(
        checked_calloc(1, sizeof(tree_node), kUnit, "ptc", __LINE__));
  } else {
    record = delete_node();
    if (record == sentinel)
      sentinel = nullptr;  // it never had a hash entry
    else
      hash_del(record->addr);
  }
  record->inum = t_entries;
  record->addr = line;
  record->lft = root;
  record->rt = nullptr;
  record->rtwt = 0;
  root = record;
}

// The report step in lines. The front end makes it at least one line; a
// direct caller that left it at 0 gets every size rather than a division
// by zero.
static uint32_t report_interval() {
  return MISS_RATIO_INTERVAL > 0 ? static_cast<uint32_t>(MISS_RATIO_INTERVAL)
                                 : 1;
}

void outpr_widestack(FILE *fd) {
  fprintf(fd, "Addresses processed : %u\n", t_entries);
  fprintf(fd, "Line size : %d bytes \n", 1 << L);
  fprintf(fd, "Number of distinct lines  %u\n", tot_addrs);
  fprintf(fd, "Cache size (bytes)\tMiss Ratio\n");
  uint32_t stack_end = MAX_LINES < tot_addrs ? MAX_LINES : tot_addrs;
  uint32_t interval = report_interval();
  uint32_t sum = 0;
  double refs = static_cast<double>(t_entries);
  for (uint32_t i = 1; i <= stack_end; i++) {
    sum += out_stack[i];
    if (i % interval == 0)
      fprintf(fd, "%u\t\t\t%1.6f\n", i << L, 1.0 - sum / refs);
  }
  // Every depth seen is within the table: the rest is first references.
  if (stack_end == tot_addrs)
    fprintf(fd, "Miss ratio is %f for all bigger caches\n", 1.0 - sum / refs);
  fprintf(fd, "\n");
}

int results_widestack(vantle_result *rows, int capacity) {
  uint32_t interval = report_interval();
  int count = static_cast<int>(MAX_LINES / interval);
  uint32_t line_size = 1u << L;
  uint64_t sum = 0;
  int filled = 0;
  // Depths never exceed the lines seen, so past them the sum stays whole.
  for (uint32_t i = 1; i <= MAX_LINES && filled < capacity; i++) {
    sum += out_stack[i];
    if (i % interval == 0)
      rows[filled++] = result_row(3, 0, line_size, 0, 0,
                                  static_cast<uint64_t>(i) << L, t_entries,
                                  sum);
  }
  return count;
}
