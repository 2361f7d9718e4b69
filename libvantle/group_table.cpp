// The group table of the fully-associative OPT stack: its groups' buffers,
// which grow, shrink and re-centre as entries come and go, and the table
// with its three arrays, which grows as groups open. Owns opt_stack; reads
// no configuration variable.
#include "libvantle/group_table.h"

#include <stdlib.h>
#include <string.h>

#include "libvantle/util.h"

group_table opt_stack;

constexpr uint32_t kNewGroupRoom = 8;  // entries of a new group buffer

static void *unit_calloc(size_t count, size_t size, const char *func,
                         int line) {
  return checked_calloc(count, size, "wideseer", func, line);
}

uint32_t first_below_from(const stack_entry *b, uint32_t from, uint32_t to,
                          int32_t prty, uint32_t start) {
  if (from >= to) return from;
  if (start < from) start = from;
  if (start >= to) start = to - 1;
  if (b[start].prty < prty) {  // at or above start
    uint32_t below = start;
    for (uint32_t step = 1;; step *= 2) {
      if (below - from <= step) return first_below(b, from, below, prty);
      uint32_t probe = below - step;
      if (b[probe].prty >= prty) return first_below(b, probe + 1, below, prty);
      below = probe;
    }
  }
  uint32_t above = start;  // below start
  for (uint32_t step = 1;; step *= 2) {
    if (to - above <= step) return first_below(b, above + 1, to, prty);
    uint32_t probe = above + step;
    if (b[probe].prty < prty) return first_below(b, above + 1, probe, prty);
    above = probe;
  }
}

void rehouse(group_run &g, uint32_t cap, const char *func, int line) {
  uint32_t n = size_of(g);
  stack_entry *b = static_cast<stack_entry *>(
      unit_calloc(cap, sizeof(stack_entry), func, line));
  uint32_t lo = (cap - n) / 2;
  if (n) memcpy(b + lo, g.buf + g.lo, n * sizeof(stack_entry));
  free(g.buf);
  g.buf = b;
  g.cap = cap;
  g.lo = lo;
  g.hi = lo + n;
}

void make_room(group_run &g, const char *func, int line) {
  uint32_t n = size_of(g);
  if (n < g.cap / 2) {
    uint32_t lo = (g.cap - n) / 2;
    memmove(g.buf + lo, g.buf + g.lo, n * sizeof(stack_entry));
    g.lo = lo;
    g.hi = lo + n;
  } else {
    rehouse(g, g.cap <= UINT32_MAX / 2 ? g.cap * 2 : UINT32_MAX, func, line);
  }
}

void insert_at(uint32_t at, uint32_t p, stack_entry e, const char *func,
               int line) {
  group_run &g = opt_stack.grp[at];
  bool upward = p - g.lo < g.hi - p;
  if (upward ? g.lo == 0 : g.hi == g.cap) {
    uint32_t off = p - g.lo;
    make_room(g, func, line);
    p = g.lo + off;
  }
  stack_entry *b = g.buf;
  if (upward) {
    memmove(b + g.lo - 1, b + g.lo, (p - g.lo) * sizeof(stack_entry));
    g.lo--;
    b[p - 1] = e;
  } else {
    memmove(b + p + 1, b + p, (g.hi - p) * sizeof(stack_entry));
    g.hi++;
    b[p] = e;
  }
  refresh_ends(at);
  count_in(at, e.prty);
}

stack_entry remove_at(uint32_t at, uint32_t p) {
  group_run &g = opt_stack.grp[at];
  stack_entry *b = g.buf;
  stack_entry gone = b[p];
  if (p - g.lo < g.hi - 1 - p) {
    memmove(b + g.lo + 1, b + g.lo, (p - g.lo) * sizeof(stack_entry));
    g.lo++;
  } else {
    memmove(b + p, b + p + 1, (g.hi - 1 - p) * sizeof(stack_entry));
    g.hi--;
  }
  refresh_ends(at);
  count_out(at, gone.prty);
  maybe_shrink(g);
  return gone;
}

// Moves the n elements of size bytes at index at of table one place up.
static void shift_up(void *table, size_t size, uint32_t at, uint32_t n) {
  char *t = static_cast<char *>(table) + at * size;
  memmove(t + size, t, n * size);
}

// Moves the n elements of size bytes after index at of table one place
// down, over the element at at.
static void shift_down(void *table, size_t size, uint32_t at, uint32_t n) {
  char *t = static_cast<char *>(table) + at * size;
  memmove(t, t + size, n * size);
}

// A copy of table (used elements of size bytes) in room zero-filled ones.
static void *regrow(void *table, size_t size, uint32_t used, uint32_t room,
                    const char *func, int line) {
  void *t = unit_calloc(room, size, func, line);
  if (used) memcpy(t, table, used * size);
  free(table);
  return t;
}

// The same for one of the padded arrays, whose pad is filled with value.
template <typename T>
static T *regrow_padded(T *array, uint32_t used, uint32_t room, T value,
                        const char *func, int line) {
  T *t = static_cast<T *>(regrow(array ? array - kPad : nullptr, sizeof(T),
                                 array ? used + kPad : 0, room + kPad, func,
                                 line));
  for (uint32_t k = 0; k < kPad; k++) t[k] = value;
  return t + kPad;
}

// Makes room in the table and its arrays for more groups.
static void grow_table(const char *func, int line) {
  group_table &t = opt_stack;
  constexpr uint32_t kMostGroups = UINT32_MAX - kPad;
  uint32_t room = t.room == 0                 ? 16
                  : t.room <= kMostGroups / 2 ? 2 * t.room
                                              : kMostGroups;
  t.grp = static_cast<group_run *>(
      regrow(t.grp, sizeof(group_run), t.ng, room, func, line));
  // The pad satisfies both scans' tests: a last priority below every
  // other, a highest unknown priority above.
  t.first_line =
      regrow_padded<md_addr_t>(t.first_line, t.ng, room, 0, func, line);
  t.last_prty =
      regrow_padded<int32_t>(t.last_prty, t.ng, room, INT32_MIN, func, line);
  t.max_unknown =
      regrow_padded<int32_t>(t.max_unknown, t.ng, room, INT32_MAX, func, line);
  t.room = room;
}

void open_group(uint32_t at, int32_t grpno, const char *func, int line) {
  group_table &t = opt_stack;
  if (t.ng == t.room) grow_table(func, line);
  stack_entry *buf = static_cast<stack_entry *>(
      unit_calloc(kNewGroupRoom, sizeof(stack_entry), func, line));
  uint32_t later = t.ng - at;
  shift_up(t.grp, sizeof(group_run), at, later);
  shift_up(t.first_line, sizeof(md_addr_t), at, later);
  shift_up(t.last_prty, sizeof(int32_t), at, later);
  shift_up(t.max_unknown, sizeof(int32_t), at, later);
  t.ng++;
  group_run &g = t.grp[at];
  g = group_run{};
  g.grpno = grpno;
  g.buf = buf;
  g.cap = kNewGroupRoom;
  g.lo = g.hi = kNewGroupRoom / 4;
  t.first_line[at] = 0;
  t.last_prty[at] = 0;
  t.max_unknown[at] = kNoNegative;
}

void close_group(uint32_t at) {
  group_table &t = opt_stack;
  free(t.grp[at].buf);
  uint32_t later = t.ng - at - 1;
  shift_down(t.grp, sizeof(group_run), at, later);
  shift_down(t.first_line, sizeof(md_addr_t), at, later);
  shift_down(t.last_prty, sizeof(int32_t), at, later);
  shift_down(t.max_unknown, sizeof(int32_t), at, later);
  t.ng--;
}

uint32_t group_place(int32_t grpno) {
  uint32_t from = 0, to = opt_stack.ng;
  while (from < to) {
    uint32_t mid = from + (to - from) / 2;
    if (opt_stack.grp[mid].grpno <= grpno)
      to = mid;
    else
      from = mid + 1;
  }
  return from;
}
