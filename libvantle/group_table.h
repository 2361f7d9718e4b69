// The priority groups of the fully-associative OPT stack: a table of the
// groups in stack order, deepest first, each a sorted run of (priority,
// line) entries in a buffer of its own, and beside it, per group, the line
// of its first entry, the priority of its last entry and its highest
// unknown priority, which the stack's scans read four groups at a time.
// Allocation failures end the process as failures of wideseer, the family
// the table belongs to.
#ifndef VANTLE_LIBVANTLE_GROUP_TABLE_H_
#define VANTLE_LIBVANTLE_GROUP_TABLE_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

constexpr int32_t kNoNegative = INT32_MIN;  // max_unknown without one
constexpr uint32_t kNone = UINT32_MAX;      // no group, no entry
constexpr uint32_t kPad = 4;                // stops before index 0
constexpr uint32_t kShrinkAbove = 64;       // buffers this big may shrink

// One stack entry.
struct stack_entry {
  int32_t prty;
  md_addr_t addr;
};

// One priority group: entries buf[lo..hi), priorities falling strictly.
// Unknown (negative) priorities, being the lowest, are the run
// buf[hi - nneg..hi).
struct group_run {
  uint32_t lo, hi;
  int32_t grpno;
  int32_t nneg;    // entries of negative priority
  uint32_t above;  // entries in the stack above buf[lo]
  uint32_t cap;    // entries the buffer holds
  stack_entry *buf;
};

// The groups from the deepest (index 0) to the top entry's (index ng - 1).
// Group numbers fall strictly with the index. For the group at index at,
// first_line[at] is the line of its first entry, last_prty[at] the priority
// of its last entry and max_unknown[at] its highest negative priority
// (kNoNegative when it has none). The three arrays have kPad places before
// index 0 whose values stop every scan.
struct group_table {
  group_run *grp;
  md_addr_t *first_line;
  int32_t *last_prty;
  int32_t *max_unknown;
  uint32_t ng;
  uint32_t room;  // groups the table and arrays hold
};

// The stack of the fully-associative OPT family, empty at start.
extern group_table opt_stack;

// Entries in group g.
static inline uint32_t size_of(const group_run &g) { return g.hi - g.lo; }

// First index in [from, to) whose priority is below prty, else to. The
// halving takes no branch on the priorities, which are as good as random.
static inline uint32_t first_below(const stack_entry *b, uint32_t from,
                                   uint32_t to, int32_t prty) {
  if (from == to) return from;
  const stack_entry *base = b + from;
  for (uint32_t n = to - from; n > 1; n -= n / 2)
    base = base[n / 2].prty >= prty ? base + n / 2 : base;
  return static_cast<uint32_t>(base - b) + (base->prty >= prty);
}

// The same, looked for outward from index start in steps that double, so
// that it costs about the logarithm of the distance from start.
uint32_t first_below_from(const stack_entry *b, uint32_t from, uint32_t to,
                          int32_t prty, uint32_t start);

// First index in [from, to) whose priority is at or below prty, else to.
static inline uint32_t first_at_or_below(const stack_entry *b,
                                         uint32_t from, uint32_t to,
                                         int32_t prty) {
  return prty == INT32_MAX ? from : first_below(b, from, to, prty + 1);
}

// Moves g's entries into a buffer of cap entries, centred; func and line
// name the caller in an out-of-memory message.
void rehouse(group_run &g, uint32_t cap, const char *func, int line);
// Gives g free places at both ends of its run: centres a run that fills at
// most half the buffer, else doubles the buffer.
void make_room(group_run &g, const char *func, int line);

// Halves the buffer of a group that fills less than an eighth of it.
static inline void maybe_shrink(group_run &g) {
  if (g.cap > kShrinkAbove && size_of(g) < g.cap / 8)
    rehouse(g, g.cap / 2, "process_groups", __LINE__);
}

// Keeps the first line and last priority of the group at index at.
static inline void refresh_ends(uint32_t at) {
  const group_run &g = opt_stack.grp[at];
  opt_stack.first_line[at] = g.buf[g.lo].addr;
  opt_stack.last_prty[at] = g.buf[g.hi - 1].prty;
}

// Counts an entry that came into the group at index at (after its buffer
// holds it).
static inline void count_in(uint32_t at, int32_t prty) {
  bool unknown = prty < 0;
  opt_stack.grp[at].nneg += unknown;
  int32_t high = opt_stack.max_unknown[at];
  opt_stack.max_unknown[at] = unknown && prty > high ? prty : high;
}

// Counts an entry that left the group at index at (after its buffer no
// longer holds it).
static inline void count_out(uint32_t at, int32_t prty) {
  group_run &g = opt_stack.grp[at];
  g.nneg -= prty < 0;
  if (prty == opt_stack.max_unknown[at])  // never for a known priority
    opt_stack.max_unknown[at] =
        g.nneg ? g.buf[g.hi - g.nneg].prty : kNoNegative;
}

// Appends e below the last entry of the group at index at.
static inline void push_last(uint32_t at, stack_entry e) {
  group_run &g = opt_stack.grp[at];
  if (g.hi == g.cap) make_room(g, "process_groups", __LINE__);
  if (g.hi == g.lo) opt_stack.first_line[at] = e.addr;
  g.buf[g.hi++] = e;
  opt_stack.last_prty[at] = e.prty;
  count_in(at, e.prty);
}

// Inserts e at index p of the run of the group at index at, moving the
// entries on the side that holds fewer (after making room on that side);
// the caller has checked the order.
void insert_at(uint32_t at, uint32_t p, stack_entry e, const char *func,
               int line);
// Removes the entry at index p of a run of two or more entries; returns it.
stack_entry remove_at(uint32_t at, uint32_t p);
// Opens an empty group numbered grpno at index at of the table; the groups
// from at on move one place up.
void open_group(uint32_t at, int32_t grpno, const char *func, int line);
// Takes the group at index at out of the table and frees its buffer.
void close_group(uint32_t at);
// Index of the first group whose number is at or below grpno (ng when
// none): the place of group grpno, or where it would go.
uint32_t group_place(int32_t grpno);

#endif  // VANTLE_LIBVANTLE_GROUP_TABLE_H_
