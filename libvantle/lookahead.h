// Look-ahead window of the OPT simulators: buffers references with the time
// of each line's next reference and hands them on in blocks.
#ifndef VANTLE_LIBVANTLE_LOOKAHEAD_H_
#define VANTLE_LIBVANTLE_LOOKAHEAD_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

enum {
  LA_WINDOW = 200000,  // references buffered
  LA_BLOCK = 100000,   // references handed off at a time
};

// The priority rule of both OPT simulators, in 64 bits: a reference whose
// next use u is known gets kKnownBase - u (positive; sooner is higher); one
// whose next use is unknown gets the next of -1, -2, ..., below every known
// one. kEmptyPriority ranks below every priority. The library's reference
// limit keeps every time below kKnownBase and every unknown priority above
// kEmptyPriority; all of them lie within +-2^62, so that the difference of
// any two fits in 64 bits.
constexpr int64_t kKnownBase = (int64_t{1} << 62) - 1;
constexpr int64_t kEmptyPriority = -(int64_t{1} << 62) + 6;
static_assert(VANTLE_REFERENCE_LIMIT < static_cast<uint64_t>(kKnownBase) &&
                  VANTLE_REFERENCE_LIMIT + 1 <
                      static_cast<uint64_t>(-kEmptyPriority),
              "the reference limit keeps priorities in their range");

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
// Records the current time as the line's most recent reference; returns the
// time of the previous one, or -1 when the line had no record.
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
