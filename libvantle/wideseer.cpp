// Fully-associative OPT simulator: every cache of 1 to MAX_LINES lines under
// optimal replacement in one pass. The stack of lines is ordered so that the
// top k entries are an optimal k-line cache; the position of a referenced
// line is its stack distance, and a histogram of positions gives every miss
// ratio. Below the top entry the stack is cut into groups of strictly
// falling priority, so that a reference compares the carried entry only
// with each group's first and last entry.
//
// Layout: rather than one binary tree of every entry keyed by (group,
// priority), the stack is a table of groups in stack order, deepest first,
// the top entry being a group of its own (number 0) at the end; each group
// keeps its entries as a sorted run of (priority, line) pairs in a buffer of
// its own (group_table.h). What the per-reference loops read of a group
// lies in three arrays beside the table: the line of its first entry, the
// priority of its last entry and its highest unknown (negative) priority.
// Both loops test four groups a step on those arrays (SSE2 where
// the compiler has it) and stop only at a group where something happens:
// the referenced line, a group where the carried entry settles, a group
// that may hold the entry a late next-use displaces. A carried entry mostly
// settles within a few places of its group's end and moves the pairs
// between; searches inside a group start where the answer most likely
// lies. The late next-use handler finds its recorded group by binary
// search. The order of the stack, the groups, their numbers, every priority
// and the order of every call that can print are those that the tree gave;
// the tree operations keep their names and contracts over the groups
// (wideseer_tree.cpp).
//
// Counts and times are 64-bit. Priorities are 32-bit, as the priority clock
// keeps them (lookahead.h), so that a group's run stays dense. Group
// numbers are 32-bit too: they only order the groups, and when they run
// low the groups and the records that name them are numbered afresh in the
// same order (renumber_groups).
//
// Owns: the hit histogram out_stack and the unknown-priority table
// (unknowns); the stack itself is the group table opt_stack. Reads L,
// T, MAX_LINES, MISS_RATIO_INTERVAL, SAVE_INTERVAL and P_INTERVAL; reads
// and clears the look-ahead window inside stack_proc_fa.
#include "libvantle/wideseer.h"

#include <stdlib.h>
#include <string.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "libvantle/group_table.h"
#include "libvantle/line_table.h"
#include "libvantle/lookahead.h"
#include "libvantle/periodic.h"
#include "libvantle/report.h"

namespace {

constexpr int32_t kFirstGroup = 2147483647;  // group numbers count down
// The lowest number a group takes: a line's record may name the number
// below it, and 0, the top entry's, means no record.
constexpr int32_t kLowestGroup = 2;
constexpr int32_t kNoUnknown = kEmptyPriority;  // below every unknown
// Four lanes of 32 bits, for testing four groups at once.
typedef int32_t Lanes __attribute__((vector_size(16)));

Lanes load_lanes(const void *p) {
  Lanes v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Bit i set when lane i of a mask of all-ones and all-zero lanes is set.
unsigned lane_bits(Lanes m) {
#if defined(__SSE2__)
  __m128i v;
  memcpy(&v, &m, sizeof v);
  return static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(v)));
#else
  return (m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8);
#endif
}

// The highest lane set in lane_bits that are not 0.
int highest_lane(unsigned bits) { return 31 - __builtin_clz(bits); }

}  // namespace

static int32_t grp_ct = kFirstGroup;
static priority_clock clock;  // known priorities' epoch, unknowns handed out

// Counts, in 64 bits: no run wraps them.
static depth_counts out_stack;  // count d: hits at stack position d
static uint64_t t_entries;   // references processed
static uint64_t tot_addrs;   // entries that entered the stack
static short size_exceeded;  // the stack stopped growing at MAX_LINES + 1
static periodic_marks marks_due;  // progress lines and interim reports
static uint64_t CLEAN_INTERVAL;
static uint64_t next_clean_time;
static bool stack_built;         // the first block has built the stack
// The counts of the site of the reference being processed (the layout of
// fa_site_width), or null.
static uint64_t *site_now;

// Unknown-priority table: field a is the unknown priority, b the recorded
// group number.
static line_table unknowns;

// ---------------------------------------------------------------------------
// Unknown-priority table

void unk_hash_add_fa(md_addr_t addr, int grpno, int prty) {
  const line_record *oldest = line_table_find(&unknowns, addr);
  for (const line_record *r = oldest; r;
       r = line_table_group_next(&unknowns, r))
    report_second_record("addr", addr, t_entries, r->a, oldest->addr,
                         oldest->a);
  line_table_add(&unknowns, addr, prty)->b = grpno;
}

int unk_hash_del_fa(md_addr_t addr, int *prty_ptr) {
  line_record *r = line_table_find(&unknowns, addr);
  if (!r) return 0;
  int grp = r->b;
  *prty_ptr = static_cast<int>(r->a);
  line_table_remove(&unknowns, r);
  return grp;
}

int Get_max_prty_unknown(void) {
  int32_t max = kNoUnknown;
  for (uint32_t at = 0; at < opt_stack.ng; at++)
    if (opt_stack.max_unknown[at] > max) max = opt_stack.max_unknown[at];
  return max;
}

static bool above_max(const line_record *r, void *max) {
  return r->a > *static_cast<int32_t *>(max);
}

void hash_clean_fa(void) {
  int32_t max = Get_max_prty_unknown();
  line_table_remove_if(&unknowns, above_max, &max);
}

// ---------------------------------------------------------------------------
// Late next-use resolution

// The index below from (towards the deepest group) of the first group that
// may hold the entry that a resolution with the line's old priority u and
// bound d displaces, or kNone: a group whose last entry lies in [u, d), or
// that holds unknown priorities on both sides of u.
static uint32_t next_candidate(uint32_t from, int32_t u, int32_t d) {
  Lanes lu = Lanes{} + u, ld = Lanes{} + d;
  for (int64_t at = from;; at -= 4) {
    Lanes last = load_lanes(opt_stack.last_prty + at - 4);
    Lanes high = load_lanes(opt_stack.max_unknown + at - 4);
    Lanes under = last < lu;
    Lanes m = (under & (high >= lu)) | (~under & (last < ld));
    if (unsigned bits = lane_bits(m)) {
      int64_t found = at - 4 + highest_lane(bits);
      return found >= 0 ? static_cast<uint32_t>(found) : kNone;
    }
  }
}

// Index in the group at index at of the entry that a resolution with the
// line's old priority u and bound d displaces: the entry of priority u,
// else the group's lowest entry above u when its priority is below d; kNone
// when there is none.
static uint32_t displaced_in(uint32_t at, int32_t u, int32_t d) {
  const group_run &g = opt_stack.grp[at];
  int32_t last = opt_stack.last_prty[at];
  if (last >= u) return last == u || last < d ? g.hi - 1 : kNone;
  // Every entry above u is known.
  if (opt_stack.max_unknown[at] < u) return kNone;
  uint32_t neg = g.hi - g.nneg;
  if (opt_stack.max_unknown[at] == u) return neg;
  // Start where u would lie were the unknown priorities evenly spread.
  int64_t spread = static_cast<int64_t>(opt_stack.max_unknown[at]) - last;
  int64_t guess = (static_cast<int64_t>(opt_stack.max_unknown[at]) - u) *
                  (g.nneg - 1) /
                  spread;
  uint32_t p = first_below_from(g.buf, neg, g.hi, u + 1,
                                neg + static_cast<uint32_t>(guess));
  if (g.buf[p].prty == u) return p;
  return g.buf[p - 1].prty < d ? p - 1 : kNone;
}

// Puts c in the place of the entry at index e of the group at index at,
// which has a lower priority; returns that entry.
static stack_entry displace(uint32_t at, uint32_t e, stack_entry c) {
  group_run &g = opt_stack.grp[at];
  stack_entry *b = g.buf;
  stack_entry gone = b[e];
  // A line's new known priority is the lowest known one in the stack (its
  // next use is the latest reference seen), so it mostly goes just above
  // the group's unknown priorities; an unknown one carried on mostly goes
  // just above the entry it displaces.
  uint32_t guess = c.prty > 0 ? g.hi - g.nneg : e - 1;
  uint32_t p = first_below_from(b, g.lo, e, c.prty, guess);
  // Directly, the entries between c's place and e's move a place; else e's
  // entry leaves and c comes in, each moving the shorter side of the run.
  uint32_t direct = e - p;
  uint32_t n = size_of(g);
  uint32_t apart = (e - g.lo < n / 2 ? e - g.lo : g.hi - 1 - e) +
                   (p - g.lo < n / 2 ? p - g.lo : g.hi - p);
  if (direct <= apart) {
    memmove(b + p + 1, b + p, direct * sizeof(stack_entry));
    b[p] = c;
    refresh_ends(at);
    count_in(at, c.prty);
    count_out(at, gone.prty);
  } else {
    remove_at(at, e);
    const group_run &h = opt_stack.grp[at];
    insert_at(at, first_below(h.buf, h.lo, h.hi, c.prty), c,
              "inf_handler_fa", __LINE__);
  }
  return gone;
}

// The top entry takes priority prty.
static inline void set_top_priority(int32_t prty) {
  group_run &top = opt_stack.grp[opt_stack.ng - 1];
  top.buf[top.lo].prty = prty;
  opt_stack.last_prty[opt_stack.ng - 1] = prty;
  top.nneg = prty < 0;
  opt_stack.max_unknown[opt_stack.ng - 1] = prty < 0 ? prty : kNoNegative;
}

void inf_handler_fa(md_addr_t addr, int64_t cur_time) {
  int32_t known = known_priority(clock, static_cast<uint64_t>(cur_time));
  if (opt_stack.ng > 0 && opt_stack.first_line[opt_stack.ng - 1] == addr) {
    if (opt_stack.last_prty[opt_stack.ng - 1] > 0)
      fprintf(stderr, "libvantle: unknown has > 0 prty\n");
    else
      set_top_priority(known);
    return;
  }
  int old_prty = 0;
  int32_t recorded_grp = unk_hash_del_fa(addr, &old_prty);
  if (recorded_grp == 0 || opt_stack.ng < 2) return;
  // Below the top, from the recorded group on. Groups that cannot hold the
  // entry to displace are passed unchanged: those whose last entry is known
  // first of all.
  uint32_t from = group_place(recorded_grp);
  if (from < opt_stack.ng && opt_stack.grp[from].grpno == recorded_grp) from++;
  if (from > opt_stack.ng - 1) from = opt_stack.ng - 1;
  // The line's new entry displaces, group by group, the unknown entry that
  // wrongly ranked above its old one, until its old entry comes out.
  stack_entry carried{known, addr};
  int32_t below = 0;
  for (uint32_t at; (at = next_candidate(from, old_prty, below)) != kNone;
       from = at) {
    uint32_t e = displaced_in(at, old_prty, below);
    if (e == kNone) continue;
    stack_entry gone = displace(at, e, carried);
    if (gone.prty == old_prty) break;
    carried = gone;
    below = gone.prty;
  }
}

// ---------------------------------------------------------------------------
// Stack processing

int Priority_fa(int i) {
  if (time_array[i] == 0) return next_unknown(clock);
  return known_priority(clock, time_array[i]);
}

uint64_t footprint_wideseer(void) {
  return (static_cast<uint64_t>(MAX_LINES) + 1) * sizeof(uint32_t);
}

void init_wideseer(void) {
  CLEAN_INTERVAL = 10000000;
  periodic_init(&marks_due);
  size_t lines = MAX_LINES;
  depth_counts_init(&out_stack, lines + 1, "wideseer");
  line_table_init(&unknowns, "wideseer");
  next_clean_time = CLEAN_INTERVAL;
}

// The top entry takes line addr with priority prty.
static inline void set_top(md_addr_t addr, int32_t prty) {
  group_run &top = opt_stack.grp[opt_stack.ng - 1];
  top.buf[top.lo].addr = addr;
  opt_stack.first_line[opt_stack.ng - 1] = addr;
  set_top_priority(prty);
}

// The old top entry moves below the top as the first group's only entry;
// the top takes line addr with priority prty.
static void push_top_into_first_group(md_addr_t addr, int32_t prty) {
  const group_run &top = opt_stack.grp[opt_stack.ng - 1];
  stack_entry old_top = top.buf[top.lo];
  if (old_top.prty < 0) unk_hash_add_fa(old_top.addr, grp_ct, old_top.prty);
  open_group(0, grp_ct, "stack_proc_fa", __LINE__);
  push_last(0, old_top);
  opt_stack.grp[0].above = 1;
  set_top(addr, prty);
}

// The sites of the first n references, which built the stack: those of
// the first line after the first are hits at the top.
static void count_sites_of_build(int n) {
  for (int k = 0; k < n; k++) {
    uint64_t *site = window_site(k);
    if (site && k > 0 && addr_array[k] == addr_array[0]) fa_site_hit(site, 1);
  }
}

// Builds the stack from the start of the first block; returns the index of
// the first entry not yet processed. A block of one distinct line (or of
// none) leaves a stack of the top entry alone; the first group is then made
// by the first miss (process_groups).
static int build_stack(int end) {
  if (end <= 0) return end;
  stack_built = true;
  open_group(0, 0, "stack_proc_fa", __LINE__);
  push_last(0, stack_entry{Priority_fa(0), addr_array[0]});
  int i = 0;
  while (i < end && addr_array[i] == addr_array[0]) i++;
  if (i == end) {
    if (end > 1) set_top_priority(Priority_fa(end - 1));
    depth_counts_add_many(&out_stack, 1, end - 1);
    count_sites_of_build(end);
    tot_addrs = 1;
    for (int k = 0; k < end; k++) addr_array[k] = time_array[k] = 0;
    t_entries += end;
    return end;
  }
  set_top_priority(Priority_fa(i - 1));  // the first line's last repeat
  push_top_into_first_group(addr_array[i], Priority_fa(i));
  depth_counts_add_many(&out_stack, 1, i - 1);
  count_sites_of_build(i + 1);
  tot_addrs = 2;
  for (int k = 0; k <= i; k++) addr_array[k] = time_array[k] = 0;
  t_entries += i + 1;
  return i + 1;
}

// Moves each of the eight entries before b[last] whose priority is below
// prty one place down, over b[last]; b[last - 8] has a higher priority.
// Returns how many moved. Takes no branch on the priorities.
static inline uint32_t shift_tail(stack_entry *b, uint32_t last, int32_t prty) {
#if defined(__SSE2__)
  // Each 16 bytes hold two entries, priority first. An entry takes the one
  // before it when that one's priority is below prty.
  __m128i below = _mm_set1_epi32(prty), moved[4];
  unsigned bits = 0;
  for (int k = 0; k < 4; k++) {
    __m128i before, here;
    memcpy(&before, b + last - 8 + 2 * k, sizeof before);
    memcpy(&here, b + last - 7 + 2 * k, sizeof here);
    __m128i take = _mm_shuffle_epi32(_mm_cmplt_epi32(before, below),
                                     _MM_SHUFFLE(2, 2, 0, 0));
    moved[k] = _mm_or_si128(_mm_and_si128(take, before),
                            _mm_andnot_si128(take, here));
    bits |= static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(take)))
            << (4 * k);
  }
  memcpy(b + last - 7, moved, sizeof moved);
  // The entries that moved are the last ones, two bits each at the top.
  return (16 - static_cast<uint32_t>(__builtin_ctz(bits | 0x10000))) / 2;
#else
  uint32_t p = last;
  for (; b[p - 1].prty < prty; p--) b[p] = b[p - 1];
  return last - p;
#endif
}

// The carried entry c, which outranks the last entry of the group at index
// at, settles in that group, and its last entry is carried on instead.
static void settle(uint32_t at, stack_entry &c) {
  group_run &g = opt_stack.grp[at];
  stack_entry *b = g.buf;
  uint32_t lo = g.lo, last = g.hi - 1;
  stack_entry out = b[last];
  uint32_t p = last;  // c's place
  if (last - lo < 8) {
    for (; p > lo && b[p - 1].prty < c.prty; p--) b[p] = b[p - 1];
  } else if (b[last - 8].prty > c.prty) {
    // Most carried entries settle within a few places of the end.
    p -= shift_tail(b, last, c.prty);
  } else {
    // Far from the end: the shorter side moves a place.
    p = first_below_from(b, lo, last - 8, c.prty, last - 8);
    if (p - lo < last - p) {
      if (lo == 0) {
        uint32_t off = p - lo;
        make_room(g, "process_groups", __LINE__);
        b = g.buf;
        lo = g.lo;
        last = g.hi - 1;
        p = lo + off;
      }
      memmove(b + lo - 1, b + lo, (p - lo) * sizeof(stack_entry));
      g.lo = lo - 1;
      g.hi = last;
      p--;
    } else {
      memmove(b + p + 1, b + p, (last - p) * sizeof(stack_entry));
    }
  }
  b[p] = c;
  opt_stack.last_prty[at] = b[g.hi - 1].prty;
  if (p == g.lo) opt_stack.first_line[at] = c.addr;
  // The entry carried on was the group's lowest: when it was the highest
  // unknown one too, it was the only one.
  int32_t high = opt_stack.max_unknown[at];
  if (out.prty == high) high = kNoNegative;
  opt_stack.max_unknown[at] = c.prty < 0 && c.prty > high ? c.prty : high;
  g.nneg += (c.prty < 0) - (out.prty < 0);
  c = out;
}

// The index below from (towards the deepest group) of the first group whose
// first entry holds addr or whose last entry's priority is below prty, or
// kNone: the next group where a carried entry of priority prty stops.
static inline uint32_t next_stop(uint32_t from, md_addr_t addr,
                                 int32_t prty) {
  Lanes la = Lanes{} + static_cast<int32_t>(addr), lp = Lanes{} + prty;
  for (int64_t at = from;; at -= 4) {
    Lanes first = load_lanes(opt_stack.first_line + at - 4);
    Lanes last = load_lanes(opt_stack.last_prty + at - 4);
    Lanes m = (first == la) | (last < lp);
    if (unsigned bits = lane_bits(m)) {
      int64_t found = at - 4 + highest_lane(bits);
      return found >= 0 ? static_cast<uint32_t>(found) : kNone;
    }
  }
}

static void count_hit(uint32_t position) {
  if (position <= MAX_LINES) depth_counts_add(&out_stack, position);
  if (site_now) fa_site_hit(site_now, position);
}

// Group numbers left above the lowest after a late start (tests only), so
// that the groups are renumbered within a few thousand references.
constexpr int32_t kGroupsBeforeRenumbering = 50;

// The number that the group at index at (0 the deepest) takes when the
// groups are numbered afresh: two apart, so that a recorded number that
// lay between two groups keeps a number between them.
static int32_t fresh_number(uint32_t at) {
  return kFirstGroup - 1 - 2 * static_cast<int32_t>(at);
}

// A record's group number in the fresh numbering, found among the groups'
// present numbers: a group's own number becomes its fresh one; a number
// between two groups (or above the deepest) the one just above the
// shallower's fresh number; a number below every group, which only the
// next group to open can take, the number below the shallowest's.
static void renumber_record_group(line_record *r, void *) {
  uint32_t groups = opt_stack.ng - 1;  // the top entry's is not numbered
  uint32_t at = group_place(r->b);
  if (at >= groups)
    r->b = fresh_number(groups - 1) - 1;
  else
    r->b = fresh_number(at) + (opt_stack.grp[at].grpno == r->b ? 0 : 1);
}

// Numbers the groups afresh, in the same order, from kFirstGroup down, and
// the records with them, so that new groups find numbers again. Group
// numbers only order the groups, so nothing else changes.
void renumber_groups(void) {
  uint32_t groups = opt_stack.ng - 1;
  if (fresh_number(groups - 1) - 1 <= kLowestGroup)
    _fatal("wideseer", "renumber_groups", __LINE__,
           "%u groups are too many to number", groups);
  line_table_visit(&unknowns, renumber_record_group, nullptr);
  for (uint32_t at = 0; at < groups; at++)
    opt_stack.grp[at].grpno = fresh_number(at);
  grp_ct = fresh_number(groups - 1);
}

// Hit on the first group's first entry: the old top entry takes its place,
// in the same group or as a new group of its own in front of it; then the
// top takes line addr with priority prty.
static void hit_at_second(md_addr_t addr, int32_t prty) {
  count_hit(2);
  uint32_t s = opt_stack.ng - 2;
  const group_run &top = opt_stack.grp[opt_stack.ng - 1];
  stack_entry old_top = top.buf[top.lo];
  group_run &g = opt_stack.grp[s];
  stack_entry gone = g.buf[g.lo];
  if (size_of(g) == 1 || g.buf[g.lo + 1].prty < old_top.prty) {
    g.buf[g.lo] = old_top;
    refresh_ends(s);
    count_in(s, old_top.prty);
  } else {
    g.lo++;
    g.above = 2;
    refresh_ends(s);
    if (grp_ct <= kLowestGroup) renumber_groups();
    grp_ct--;
    open_group(opt_stack.ng - 1, grp_ct, "process_groups", __LINE__);
    push_last(opt_stack.ng - 2, old_top);
    opt_stack.grp[opt_stack.ng - 2].above = 1;
  }
  count_out(s, gone.prty);
  set_top(addr, prty);
}

// Hit on the first entry of the group at index at: the carried entry c
// becomes the last entry of the group above it, and the referenced line
// leaves its group, which closes when it held nothing else.
static void hit_in_group(uint32_t at, stack_entry c) {
  push_last(at + 1, c);
  group_run &g = opt_stack.grp[at];
  if (size_of(g) == 1) {
    close_group(at);
    return;
  }
  stack_entry gone = g.buf[g.lo];
  g.lo++;
  g.above++;
  opt_stack.first_line[at] = g.buf[g.lo].addr;
  count_out(at, gone.prty);
  maybe_shrink(g);
}

int process_groups(md_addr_t addr, int priority) {
  uint32_t top = opt_stack.ng - 1;
  if (opt_stack.first_line[top] == addr) {
    count_hit(1);
    set_top_priority(priority);
    return 0;
  }
  if (opt_stack.ng == 1) {  // the stack held one line only
    push_top_into_first_group(addr, priority);
    return 1;
  }
  stack_entry c = opt_stack.grp[top].buf[opt_stack.grp[top].lo];
  uint32_t s = top - 1;
  bool at_second = opt_stack.first_line[s] == addr;
  if (c.prty < 0)
    unk_hash_add_fa(c.addr,
                    opt_stack.grp[s].grpno - (at_second ? 1 : 0),
                    c.prty);
  if (at_second) {
    hit_at_second(addr, priority);
    return 0;
  }
  set_top(addr, priority);
  // The old top entry is carried down; it stops at the referenced line and
  // at each group whose last entry it outranks.
  for (uint32_t at = top; (at = next_stop(at, addr, c.prty)) != kNone;) {
    if (opt_stack.first_line[at] == addr) {
      count_hit(opt_stack.grp[at].above + 1);
      hit_in_group(at, c);
      return 0;
    }
    settle(at, c);
  }
  // A miss: the carried entry becomes the new bottom, or leaves the stack
  // once it has stopped growing.
  if (!size_exceeded)
    push_last(0, c);
  else if (c.prty < 0)
    ft_hash_del_later(c.addr);
  return 1;
}

static void count_miss() {
  tot_addrs++;
  if (!size_exceeded && tot_addrs > MAX_LINES) {
    size_exceeded = 1;
    fprintf(stderr, "libvantle: tot_addrs limit exceeded, t_entries=%llu\n",
            static_cast<unsigned long long>(t_entries));
  }
}

// Moves the priority clock's epoch up to now, and every known priority in
// the stack with it. Every one belongs to a next use at or after now, so
// each stays at most 2147483647; the known ones of a group come before its
// unknown ones.
static void move_epoch(uint64_t now) {
  int32_t delta = static_cast<int32_t>(now - clock.epoch);
  for (uint32_t at = 0; at < opt_stack.ng; at++) {
    group_run &g = opt_stack.grp[at];
    for (uint32_t p = g.lo; p < g.hi - g.nneg; p++) g.buf[p].prty += delta;
    refresh_ends(at);
  }
  clock.epoch = now;
}

static void renumber_record_priority(line_record *r, void *ranks) {
  r->a = unknown_renumbered(static_cast<unknown_ranks *>(ranks),
                            static_cast<int32_t>(r->a));
}

// Numbers the unknown priorities afresh, in the same order, those of the
// stack and of the table's records alike.
static void renumber_unknowns() {
  size_t n = 0;
  for (uint32_t at = 0; at < opt_stack.ng; at++) n += opt_stack.grp[at].nneg;
  int32_t *values = static_cast<int32_t *>(checked_calloc(
      n ? n : 1, sizeof(int32_t), "wideseer", "renumber_unknowns", __LINE__));
  size_t k = 0;
  for (uint32_t at = 0; at < opt_stack.ng; at++) {
    const group_run &g = opt_stack.grp[at];
    for (uint32_t p = g.hi - g.nneg; p < g.hi; p++) values[k++] = g.buf[p].prty;
  }
  unknown_ranks ranks;
  unknown_ranks_build(&ranks, values, n);
  for (uint32_t at = 0; at < opt_stack.ng; at++) {
    group_run &g = opt_stack.grp[at];
    for (uint32_t p = g.hi - g.nneg; p < g.hi; p++)
      g.buf[p].prty = unknown_renumbered(&ranks, g.buf[p].prty);
    refresh_ends(at);
    opt_stack.max_unknown[at] = g.nneg ? g.buf[g.hi - g.nneg].prty : kNoNegative;
  }
  line_table_visit(&unknowns, renumber_record_priority, &ranks);
  clock.inf_count = unknown_ranks_last(&ranks, "wideseer");
  unknown_ranks_free(&ranks);
}

// Before a block: keeps every priority the block can give within 32 bits.
static void ready_priorities() {
  if (t_entries - clock.epoch >= kEpochStep) move_epoch(t_entries);
  if (clock.inf_count <= kLowestUnknown) renumber_unknowns();
}

int stack_proc_fa(int start, int end) {
  ready_priorities();
  int i = start;
  if (!stack_built) {
    i = build_stack(end);
    // The references that built the stack had no progress line.
    periodic_retime(&marks_due, t_entries);
  }
  for (; i < end; i++) {
    uint64_t count = ++t_entries;
    md_addr_t addr = addr_array[i];
    if (save_due(&marks_due, count)) outpr_wideseer(stderr);
    if (t_entries > next_clean_time) {
      if (size_exceeded) hash_clean_fa();
      next_clean_time += CLEAN_INTERVAL;
    }
    if (progress_due(&marks_due, count))
      fprintf(stderr, "libvantle: addresses processed  %llu\n",
              static_cast<unsigned long long>(count));
    site_now = window_site(i);
    if (process_groups(addr, Priority_fa(i)) == 1) count_miss();
    site_now = nullptr;  // the table may move before the next
    addr_array[i] = 0;
    time_array[i] = 0;
    if (past_opt_limit(count)) return 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Report

static fa_histogram histogram() { return {&out_stack, t_entries, tot_addrs}; }

void outpr_wideseer(FILE *fd) {
  print_fa_report(fd, histogram(), "Number of distinct addresses", "\n\n\n");
}

int results_wideseer(vantle_result *rows, int capacity) {
  return fa_results(rows, capacity, histogram(), VANTLE_OPT);
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run reaches the
// reference limit.

void test_start_wideseer_at(uint64_t count) {
  t_entries = count;
  depth_counts_add_many(&out_stack, 1, count);
  if (count) {
    grp_ct = kLowestGroup + kGroupsBeforeRenumbering;
    clock = test_late_clock(count);
  }
  periodic_start(&marks_due, count);
  uint64_t purges = (count + CLEAN_INTERVAL - 1) / CLEAN_INTERVAL;  // gone by
  next_clean_time = (purges ? purges : 1) * CLEAN_INTERVAL;
}
