// The marks of a simulator's periodic output: when the next progress line
// and the next interim report are due. Owns no state; reads P_INTERVAL and
// SAVE_INTERVAL.
#include "libvantle/periodic.h"

void periodic_retime(periodic_marks *m, uint64_t done) {
  m->progress_interval = P_INTERVAL;
  uint64_t interval = static_cast<uint64_t>(P_INTERVAL);
  m->next_progress =
      P_INTERVAL > 0 ? (done / interval + 1) * interval : UINT64_MAX;
}

void periodic_init(periodic_marks *m) {
  periodic_retime(m, 0);
  m->next_save = SAVE_INTERVAL > 0 ? static_cast<uint64_t>(SAVE_INTERVAL)
                                   : UINT64_MAX;
}

void periodic_start(periodic_marks *m, uint64_t done) {
  periodic_init(m);
  periodic_retime(m, done);
  // A report is due when the count passes a multiple of the interval.
  if (m->next_save != UINT64_MAX && done > m->next_save) {
    uint64_t interval = static_cast<uint64_t>(SAVE_INTERVAL);
    m->next_save = (done + interval - 1) / interval * interval;
  }
}
