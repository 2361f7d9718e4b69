// Look-ahead window for the OPT simulators. Owns the circular window of
// 200000 references (addr_array, time_array), the hand-off schedule, and the
// last-occurrence table that finds each line's previous reference (a
// line_table whose field a is one more than the time of the line's latest
// reference, so that the time 0 leaves it non-zero).
// Time is the reference number counted from 0 (from a later count when a
// test starts the clock late). Reads no configuration variable: the
// line-size exponent comes with every reference.
#include "libvantle/lookahead.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>

#include "libvantle/line_table.h"
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

static line_table last_seen;

// References queued by optpp_queue, as line addresses, with the callbacks
// they go to optpp with.
enum { kQueueLength = 16 };
static md_addr_t queued[kQueueLength];
static uint32_t queued_mark[kQueueLength];  // with window_sites: the sites
static int queued_count;
static stack_proc_fn queued_proc;
static inf_handler_fn queued_handler;

// Removals asked for by ft_hash_del_later, not yet made.
enum { kLaterLength = 32 };
static md_addr_t later[kLaterLength];
static int later_count;

static void delete_later_ones() {
  for (int i = 0; i < later_count; i++) ft_hash_del(later[i]);
  later_count = 0;
}

void ft_hash_del_later(md_addr_t addr) {
  line_table_prefetch(&last_seen, addr);
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
}

void init_optpp(void) {
  la_limit = origin + LA_WINDOW;
  base = origin;
  line_table_init(&last_seen, "lookahead");
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
  line_table_prefetch(&last_seen, line);
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
  line_table_prefetch(&last_seen, line);
  queued[queued_count] = line;
  queued_mark[queued_count++] = mark;
  queued_proc = stack_proc;
  queued_handler = inf_handler;
  if (queued_count == kQueueLength) optpp_drain();
}

int64_t ft_hash(md_addr_t addr) {
  if (later_count) delete_later_ones();
  line_record *r = line_table_find(&last_seen, addr);
  if (!r) {
    line_table_add(&last_seen, addr, p_inum + 1);
    return -1;
  }
  int64_t prev = r->a - 1;
  r->a = p_inum + 1;
  return prev;
}

void ft_hash_del(md_addr_t addr) {
  line_record *r = line_table_find(&last_seen, addr);
  if (r)
    line_table_remove(&last_seen, r);
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
