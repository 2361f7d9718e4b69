// Look-ahead window for the OPT simulators. Owns the circular window of
// 200000 references (addr_array, time_array), the hand-off schedule, and the
// last-occurrence table that finds each line's previous reference.
// Time is the reference number counted from 0 (from a later count when a
// test starts the clock late). Reads no configuration variable: the
// line-size exponent comes with every reference.
#include "libvantle/lookahead.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>

#include "libvantle/line_table.h"  // table_calloc
#include "libvantle/util.h"

md_addr_t addr_array[LA_WINDOW];
uint64_t time_array[LA_WINDOW];
uint32_t site_array[LA_WINDOW];
bool window_sites;

// The clock counts in 64 bits, like every time of the window, so that the
// hand-off schedule stays exact up to the library's reference limit: la_limit
// runs a block ahead of the references.
static int64_t origin;    // time of the first reference (0 outside tests)
static int64_t p_inum;    // time of the next accepted reference
static int64_t la_limit;  // hand off a block when p_inum reaches this
static int64_t base;      // origin + a multiple of LA_WINDOW, at most the
                          // oldest buffered time
static int oe_flag = 1;   // base grows at every second hand-off
static int start, end;    // window positions of the block being handed off
static bool flushed;      // term_optpp has run

// Last occurrences: a record per line referenced, of the line and the time
// of its latest reference, in 8 bytes where a line_table takes 16, as this
// is the OPT families' largest table (a record for every distinct line).
// Open addressing with linear probing over a power-of-two array, grown
// before it is three quarters full. A time t is kept as the stamp
// t - stamp_base + 1 (0 marks a free slot); stamps are renumbered from a
// later base before they could pass 2^32.
struct seen_record {
  md_addr_t addr;
  uint32_t stamp;
};
static seen_record *seen;
static uint32_t seen_mask;  // capacity - 1
static int seen_shift;      // 32 - log2(capacity), for multiply-shift hashing
static uint32_t seen_count;
static int64_t stamp_base;
// Stamps are renumbered at a hand-off that leaves la_limit this far past
// stamp_base: until the next, every stamp stays below 2^32.
static const int64_t kStampSpan = int64_t{1} << 31;

// References queued by optpp_queue, as line addresses, with the callbacks
// they go to optpp with.
enum { kQueueLength = 16 };
static md_addr_t queued[kQueueLength];
static uint32_t queued_mark[kQueueLength];  // with window_sites: the sites
static int queued_count;
static stack_proc_fn queued_proc;
static inf_handler_fn queued_handler;
static void (*queued_prefetch)(md_addr_t line);  // optpp_prefetch_hook's

// Removals asked for by ft_hash_del_later, not yet made.
enum { kLaterLength = 32 };
static md_addr_t later[kLaterLength];
static int later_count;

static seen_record *seen_home(md_addr_t addr) {
  return &seen[static_cast<uint32_t>(addr * 2654435769u) >> seen_shift];
}

static seen_record *seen_next(seen_record *r) {
  return &seen[(static_cast<uint32_t>(r - seen) + 1) & seen_mask];
}

static void seen_allocate(int bits) {
  seen = static_cast<seen_record *>(table_calloc(
      size_t{1} << bits, sizeof(seen_record), "lookahead", "ft_hash"));
  seen_mask = (1u << bits) - 1;
  seen_shift = 32 - bits;
  seen_count = 0;
}

static seen_record *seen_find(md_addr_t addr) {
  for (seen_record *r = seen_home(addr);; r = seen_next(r)) {
    if (!r->stamp) return nullptr;
    if (r->addr == addr) return r;
  }
}

static void seen_place(seen_record record) {
  seen_record *r = seen_home(record.addr);
  while (r->stamp) r = seen_next(r);
  *r = record;
  seen_count++;
}

static void seen_add(md_addr_t addr, uint32_t stamp) {
  if (seen_count >= (seen_mask + 1) / 4 * 3) {  // load factor at most 3/4
    if (seen_shift <= 1)
      _fatal("lookahead", "ft_hash", __LINE__, "out of virtual memory");
    seen_record *old = seen;
    uint32_t capacity = seen_mask + 1;
    seen_allocate(33 - seen_shift);
    for (uint32_t i = 0; i < capacity; i++)
      if (old[i].stamp) seen_place(old[i]);
    free(old);
  }
  seen_place(seen_record{addr, stamp});
}

// Backward-shift removal: each record after the hole moves back into it
// unless its home lies cyclically in (hole, its slot], so that no look-up
// meets a gap.
static void seen_remove(seen_record *r) {
  uint32_t hole = static_cast<uint32_t>(r - seen);
  for (uint32_t j = (hole + 1) & seen_mask; seen[j].stamp;
       j = (j + 1) & seen_mask) {
    uint32_t home = static_cast<uint32_t>(seen_home(seen[j].addr) - seen);
    if (hole <= j ? hole < home && home <= j : hole < home || home <= j)
      continue;
    seen[hole] = seen[j];
    hole = j;
  }
  seen[hole].stamp = 0;
  seen_count--;
}

// Renumbers the stamps from a base just below the times not yet handed
// off: a line last referenced before the base reads as referenced at it,
// which is handed off all the same, so that optpp decides as before.
static void restamp() {
  int64_t new_base = la_limit - LA_WINDOW - 1;
  for (uint32_t i = 0; i <= seen_mask; i++) {
    if (!seen[i].stamp) continue;
    int64_t time = stamp_base + seen[i].stamp - 1;
    seen[i].stamp =
        static_cast<uint32_t>(time <= new_base ? 1 : time - new_base + 1);
  }
  stamp_base = new_base;
}

static void delete_later_ones() {
  for (int i = 0; i < later_count; i++) ft_hash_del(later[i]);
  later_count = 0;
}

void ft_hash_del_later(md_addr_t addr) {
  __builtin_prefetch(seen_home(addr));
  later[later_count++] = addr;
  if (later_count == kLaterLength) delete_later_ones();
}

static int window_pos(int64_t time) {
  return static_cast<int>(static_cast<uint64_t>(time - base) % LA_WINDOW);
}

// Counts one hand-off: the window moves on by one block.
static void advance_window() {
  la_limit += LA_BLOCK;
  oe_flag = oe_flag == 1 ? 0 : 1;
  if (oe_flag == 1) base += LA_WINDOW;
  if (la_limit - stamp_base > kStampSpan) restamp();
}

void init_optpp(void) {
  la_limit = origin + LA_WINDOW;
  base = origin;
  stamp_base = origin;
  seen_allocate(10);
}

void optpp(md_addr_t addr, int L, stack_proc_fn stack_proc,
           inf_handler_fn inf_handler) {
  if (p_inum >= la_limit) {
    start = window_pos(la_limit);
    end = start + LA_BLOCK;
    if (stack_proc(start, end)) return;
    advance_window();
  }
  md_addr_t line = addr >> L;
  addr_array[window_pos(p_inum)] = line;
  int64_t prev = ft_hash(line);
  if (prev < 0 || la_limit - prev > LA_WINDOW)
    inf_handler(line, p_inum);
  else
    time_array[window_pos(prev)] = static_cast<uint64_t>(p_inum);
  p_inum++;
}

// optpp, which also puts the reference's site mark in its window position.
static void optpp_marked(md_addr_t line, uint32_t mark,
                         stack_proc_fn stack_proc,
                         inf_handler_fn inf_handler) {
  int64_t time = p_inum;
  optpp(line, 0, stack_proc, inf_handler);
  if (p_inum != time) site_array[window_pos(time)] = mark;
}

// Passes every queued reference to optpp.
static void optpp_drain() {
  for (int i = 0; i < queued_count; i++)
    if (window_sites)
      optpp_marked(queued[i], queued_mark[i], queued_proc, queued_handler);
    else
      optpp(queued[i], 0, queued_proc, queued_handler);
  queued_count = 0;
}

void term_optpp(stack_proc_fn stack_proc) {
  if (flushed) return;
  optpp_drain();
  flushed = true;
  int64_t accepted = p_inum - origin;
  start = window_pos(la_limit);
  end = accepted < LA_BLOCK ? static_cast<int>(accepted) : start + LA_BLOCK;
  stack_proc(start, end);
  if (p_inum > la_limit - LA_BLOCK) {
    advance_window();
    int rest = static_cast<int>(accepted % LA_BLOCK);
    start = window_pos(la_limit);
    end = start + (rest ? rest : LA_BLOCK);
    stack_proc(start, end);
  }
  delete_later_ones();
}

void optpp_queue(md_addr_t addr, int L, stack_proc_fn stack_proc,
                 inf_handler_fn inf_handler) {
  // Once sites are counted, a reference of none must clear its position's.
  if (__builtin_expect(window_sites, 0)) {
    optpp_queue_at(addr, 0, L, stack_proc, inf_handler);
    return;
  }
  md_addr_t line = addr >> L;
  // A reference that hands a block off goes at once, behind the queue, so
  // that blocks leave at the same references as without it: the counts
  // that reports and results read never wait in the queue.
  if (p_inum + queued_count >= la_limit) {
    optpp_drain();
    optpp(line, 0, stack_proc, inf_handler);
    return;
  }
  __builtin_prefetch(seen_home(line));
  if (queued_prefetch) queued_prefetch(line);
  queued[queued_count++] = line;
  queued_proc = stack_proc;
  queued_handler = inf_handler;
  if (queued_count == kQueueLength) optpp_drain();
}

void optpp_queue_at(md_addr_t addr, uint32_t mark, int L,
                    stack_proc_fn stack_proc, inf_handler_fn inf_handler) {
  window_sites = true;
  md_addr_t line = addr >> L;
  if (p_inum + queued_count >= la_limit) {
    optpp_drain();
    optpp_marked(line, mark, stack_proc, inf_handler);
    return;
  }
  __builtin_prefetch(seen_home(line));
  if (queued_prefetch) queued_prefetch(line);
  queued[queued_count] = line;
  queued_mark[queued_count++] = mark;
  queued_proc = stack_proc;
  queued_handler = inf_handler;
  if (queued_count == kQueueLength) optpp_drain();
}

void optpp_prefetch_hook(void (*prefetch)(md_addr_t line)) {
  queued_prefetch = prefetch;
}

int64_t ft_hash(md_addr_t addr) {
  if (later_count) delete_later_ones();
  uint32_t stamp = static_cast<uint32_t>(p_inum - stamp_base + 1);
  seen_record *r = seen_find(addr);
  if (!r) {
    seen_add(addr, stamp);
    return -1;
  }
  int64_t prev = stamp_base + r->stamp - 1;
  r->stamp = stamp;
  return prev;
}

void ft_hash_del(md_addr_t addr) {
  seen_record *r = seen_find(addr);
  if (r)
    seen_remove(r);
  else
    printf("Error: addr not found in hash_table\n");
}

// ---------------------------------------------------------------------------
// For tests only: a clock that starts late, so that a short run reaches the
// reference limit.

void test_start_window_at(uint64_t time) {
  origin = p_inum = static_cast<int64_t>(time);
  la_limit = origin + LA_WINDOW;
  base = origin;
  // Stamps start so high that the last before the first hand-off is
  // 2^32 - 2: unless that hand-off renumbers them, the next ones wrap.
  stamp_base = origin - (int64_t{UINT32_MAX} - LA_WINDOW - 1);
}

// ---------------------------------------------------------------------------
// Unknown priorities numbered afresh

void unknown_ranks_build(unknown_ranks *r, int32_t *values, size_t n) {
  std::sort(values, values + n, std::greater<int32_t>());
  r->highest_first = values;
  r->count = static_cast<size_t>(std::unique(values, values + n) - values);
}

int32_t unknown_renumbered(const unknown_ranks *r, int32_t v) {
  const int32_t *at = std::lower_bound(r->highest_first,
                                       r->highest_first + r->count, v,
                                       std::greater<int32_t>());
  // i values in use lie above v.
  int32_t i = static_cast<int32_t>(at - r->highest_first);
  bool in_use = at != r->highest_first + r->count && *at == v;
  return in_use ? -2 * (i + 1) : -2 * i - 1;
}

int32_t unknown_ranks_last(const unknown_ranks *r, const char *unit) {
  if (r->count > (size_t{1} << 29))
    _fatal(unit, "unknown_ranks_last", __LINE__,
           "%zu lines of unknown next use are too many to number",
           r->count);
  return -2 * static_cast<int32_t>(r->count) - 1;
}

void unknown_ranks_free(unknown_ranks *r) {
  free(r->highest_first);
  r->highest_first = nullptr;
  r->count = 0;
}
