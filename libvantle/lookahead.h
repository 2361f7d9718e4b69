// Look-ahead window of the OPT simulators: buffers references with the time
// of each line's next reference and hands them on in blocks.
#ifndef VANTLE_LIBVANTLE_LOOKAHEAD_H_
#define VANTLE_LIBVANTLE_LOOKAHEAD_H_

#include <stddef.h>
#include <stdint.h>

#include "libvantle/libvantle.h"
#include "libvantle/site_table.h"

enum {
  LA_WINDOW = 200000,  // references buffered
  LA_BLOCK = 100000,   // references handed off at a time
};

// The priority rule of both OPT simulators: a reference whose next use u is
// known ranks above every unknown one, sooner ones higher; unknown ones count
// down from -1, later ones lower; kEmptyPriority ranks below every priority.
// Priorities are held in 32 bits, with the rule's own values as long as
// they fit (2147483647 - u; -1, -2, ...): a known one counts u from an
// epoch, which moves up before u - epoch could pass 2^31 - 1 (every entry's
// known priority moves with it); unknown ones are numbered afresh, in the
// same order, before they run out (unknown_ranks). Times, counts and the
// epoch are 64-bit.
constexpr int32_t kKnownBase = 2147483647;
constexpr int32_t kEmptyPriority = -2147483642;
// Renumber the unknown priorities before a block when they have come down to
// here: a block (and the first one's extra) then cannot reach kEmptyPriority.
constexpr int32_t kLowestUnknown = kEmptyPriority + LA_BLOCK + 16;
// Move the epoch up before a block when it lies this far behind.
constexpr uint64_t kEpochStep = uint64_t{1} << 30;

// One OPT family's priority clock.
struct priority_clock {
  uint64_t epoch;     // known priorities count next uses from here
  int32_t inf_count;  // the last unknown priority handed out
};

// The priority of a next use u, at or after the epoch's block.
static inline int32_t known_priority(const priority_clock &c, uint64_t u) {
  return kKnownBase - static_cast<int32_t>(u - c.epoch);
}

// The next unknown priority.
static inline int32_t next_unknown(priority_clock &c) { return --c.inf_count; }

// For tests only: a clock as it is late in a long run, its epoch so far
// behind time count that the next use of a reference three blocks later
// would no longer fit (so the epoch must move before), and a few unknown
// priorities left before they are numbered afresh.
static inline priority_clock test_late_clock(uint64_t count) {
  const uint64_t behind = kKnownBase - 3 * LA_BLOCK - 1000;
  return priority_clock{count > behind ? count - behind : 0,
                        kLowestUnknown + 50};
}

// The unknown priorities of a stack, numbered afresh: the distinct values in
// use, highest first, take -2, -4, -6, ...; a value no longer in use (a
// record's, say) takes the odd number between its neighbours' new ones, so
// that every comparison with a value in use comes out as before.
struct unknown_ranks {
  int32_t *highest_first;  // distinct, falling
  size_t count;
};

// Readies ranks from the n values in use (values is taken over and sorted).
void unknown_ranks_build(unknown_ranks *r, int32_t *values, size_t n);
// The new number of v.
int32_t unknown_renumbered(const unknown_ranks *r, int32_t v);
// The inf_count that follows: every later unknown priority is below every
// new number. Ends the process through _fatal (with unit's name) when the
// values in use leave less than 2^30 for later ones.
int32_t unknown_ranks_last(const unknown_ranks *r, const char *unit);
// Frees what unknown_ranks_build took.
void unknown_ranks_free(unknown_ranks *r);

// Whether OPT stack processing stops once count references are processed:
// when more than T are, T being lowered below its default, which means no
// limit.
static inline bool past_opt_limit(uint64_t count) {
  if (__builtin_expect(T == 2147483647, 1)) return false;
  return T < 0 || count > static_cast<uint64_t>(T);
}

// The window, shared with the simulators, which read and clear a position
// only inside the block callback. addr_array holds line addresses;
// time_array the time of the same line's next reference, or 0 when unknown.
// Times count references in 64 bits, from 0.
extern md_addr_t addr_array[LA_WINDOW];
extern uint64_t time_array[LA_WINDOW];
// Once a reference came with a site (optpp_queue_at), window_sites is set
// and site_array holds each position's site plus one, 0 for none.
extern uint32_t site_array[LA_WINDOW];
extern bool window_sites;

// The row of counts of the site of window position l, with the reference
// counted for it (site_table.h); null when it has no site. Clears the
// position's site. The simulators call it once per position they process.
static inline uint64_t *window_site(int l) {
  if (__builtin_expect(!window_sites, 1)) return nullptr;
  uint32_t mark = site_array[l];
  site_array[l] = 0;
  return mark ? site_counts(mark - 1) : nullptr;
}

// Processes window positions start .. end-1 in order, clearing both entries
// of each; returns 1 when it stopped early (reference limit), else 0.
typedef int (*stack_proc_fn)(int start, int end);
// Told that line addr, referenced at cur_time, had no earlier reference still
// in the window: its next use, if it was in a cache, is cur_time.
typedef void (*inf_handler_fn)(md_addr_t addr, int64_t cur_time);

// Arms the window. Called once, after the simulator's own initialiser.
void init_optpp(void);
// Accepts one byte address; line size 2^L. Hands off the oldest block first
// when the window is full.
void optpp(md_addr_t addr, int L, stack_proc_fn stack_proc,
           inf_handler_fn inf_handler);
// Hands off every reference not yet handed off, queued ones included (the
// final flush). A second call hands off nothing.
void term_optpp(stack_proc_fn stack_proc);
// optpp, a few references later: the reference waits in a short queue,
// so that the cache misses of the last-occurrence table overlap. Every
// reference goes through optpp, in order, by term_optpp at the latest;
// the callbacks are those of the latest call. A reference that
// hands a block off never waits, so the simulator's counts are those of
// optpp without a queue.
void optpp_queue(md_addr_t addr, int L, stack_proc_fn stack_proc,
                 inf_handler_fn inf_handler);
// optpp_queue for a reference of site mark - 1, or of no site when mark is
// 0. Once it has been called, optpp_queue comes here with mark 0, so that
// each window position holds its reference's site.
void optpp_queue_at(md_addr_t addr, uint32_t mark, int L,
                    stack_proc_fn stack_proc, inf_handler_fn inf_handler);
// Has optpp_queue and optpp_queue_at call prefetch(line) on each line they
// queue, so that what the simulator's inf_handler will read of the line is
// loading while the reference waits.
void optpp_prefetch_hook(void (*prefetch)(md_addr_t line));
// Records the current time as the line's most recent reference; returns the
// time of the previous one, or -1 when the line had no record. A previous
// reference handed off long before (some 2^31 references) may read as a
// later time that is handed off too: what optpp needs is kept exactly.
int64_t ft_hash(md_addr_t addr);
// Removes the line's record, so that its next reference counts as its first.
// Writes "Error: addr not found in hash_table" to stdout when there is none.
void ft_hash_del(md_addr_t addr);
// ft_hash_del, a little later: before the window next reads its table (the
// next optpp or ft_hash) and by the end of term_optpp. The simulators drop
// lines while a block is handed off, when nothing reads the table; a batch
// of removals lets their cache misses overlap.
void ft_hash_del_later(md_addr_t addr);

// For tests only: the clock starts at time rather than 0, as though that
// many references had gone by before the first (none of them buffered).
// Called after init_optpp and before the first reference.
void test_start_window_at(uint64_t time);

#endif  // VANTLE_LIBVANTLE_LOOKAHEAD_H_
