// The periodic output of a simulator: a progress line at every multiple of
// P_INTERVAL references, and an interim report whenever the count passes
// the save time, which then moves on by SAVE_INTERVAL.
#ifndef VANTLE_LIBVANTLE_PERIODIC_H_
#define VANTLE_LIBVANTLE_PERIODIC_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

// Counted up to rather than divided, in 64 bits so that no sum of
// intervals wraps; an interval that is not positive turns its output off.
// A P_INTERVAL changed after initialisation is followed from the next
// reference on.
struct periodic_marks {
  uint64_t next_progress;  // UINT64_MAX: no progress lines
  uint64_t next_save;      // UINT64_MAX: no interim reports
  int progress_interval;   // the P_INTERVAL that next_progress follows
};

// Readies the marks for a count of 0 from P_INTERVAL and SAVE_INTERVAL.
void periodic_init(periodic_marks *m);
// Sets next_progress to the first multiple of P_INTERVAL above done.
void periodic_retime(periodic_marks *m, uint64_t done);
// Readies the marks for a count that starts at done, as though the count
// had run from 0: the next progress line and interim report are those due
// after done.
void periodic_start(periodic_marks *m, uint64_t done);

// Whether a progress line is due at count, a count just reached.
static inline bool progress_due(periodic_marks *m, uint64_t count) {
  if (__builtin_expect(P_INTERVAL != m->progress_interval, 0))
    periodic_retime(m, count - 1);
  if (__builtin_expect(count != m->next_progress, 1)) return false;
  m->next_progress += static_cast<uint64_t>(m->progress_interval);
  return true;
}

// Whether count has passed the save time; if so the save time moves on.
static inline bool save_due(periodic_marks *m, uint64_t count) {
  if (__builtin_expect(count <= m->next_save, 1)) return false;
  m->next_save = SAVE_INTERVAL > 0
                     ? m->next_save + static_cast<uint64_t>(SAVE_INTERVAL)
                     : UINT64_MAX;
  return true;
}

// How many references, the first of them making the count count + 1, can
// go by with neither a progress line nor an interim report due, for a
// family that asks save_due of the count before each reference
// (save_after false) or after it (true). 0 when P_INTERVAL has changed, so
// that the next reference retimes the marks. A run of repeats counts that
// many at once and feeds the reference that falls due one by one.
static inline uint64_t quiet_references(const periodic_marks *m,
                                        uint64_t count, bool save_after) {
  if (P_INTERVAL != m->progress_interval || m->next_progress <= count)
    return 0;
  uint64_t to_progress = m->next_progress - count - 1;
  uint64_t first_save_count = save_after ? count + 1 : count;
  if (first_save_count > m->next_save) return 0;
  uint64_t to_save = m->next_save - first_save_count;  // then one more
  if (to_save < UINT64_MAX) to_save++;
  return to_progress < to_save ? to_progress : to_save;
}

// Feeds count references (at least 1) to the line of addr as one(addr)
// count times would: one(addr) for the first, which leaves the line the
// most recent in every cache; then, while quiet() says how many more pass
// with no mark due, repeats(n) to count n hits at the most recent position
// at once, and one(addr) for each reference a mark falls due at.
template <class One, class Repeats>
static inline void feed_repeats(md_addr_t addr, uint64_t count, One one,
                                uint64_t (*quiet)(void), Repeats repeats) {
  one(addr);
  for (uint64_t left = count - 1; left;) {
    uint64_t n = quiet();
    if (n > left) n = left;
    if (n) repeats(n);
    left -= n;
    if (left) {  // a mark falls due at this one
      one(addr);
      left--;
    }
  }
}

// Feeds references 0 .. count-1 as one(i) for each would: many(i, n) for
// the n from i on that quiet() lets pass with no mark due, one(i) for each
// reference a mark falls due at.
template <class One, class Many>
static inline void feed_batch_by_index(size_t count, uint64_t (*quiet)(void),
                                       One one, Many many) {
  for (size_t i = 0; i < count;) {
    uint64_t n = quiet();
    if (n > count - i) n = count - i;
    if (n) many(i, static_cast<size_t>(n));
    i += static_cast<size_t>(n);
    if (i < count) one(i++);
  }
}

// feed_batch_by_index for addrs[0 .. count-1]: many(addrs + i, n), one(addrs[i]).
static inline void feed_batch(const md_addr_t *addrs, size_t count,
                              void (*one)(md_addr_t), uint64_t (*quiet)(void),
                              void (*many)(const md_addr_t *, size_t)) {
  feed_batch_by_index(
      count, quiet, [&](size_t i) { one(addrs[i]); },
      [&](size_t i, size_t n) { many(addrs + i, n); });
}

#endif  // VANTLE_LIBVANTLE_PERIODIC_H_
