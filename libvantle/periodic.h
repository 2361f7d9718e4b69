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

#endif  // VANTLE_LIBVANTLE_PERIODIC_H_
