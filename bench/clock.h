// Monotonic wall-clock seconds, for the benchmarks' timings.
#ifndef VANTLE_BENCH_CLOCK_H_
#define VANTLE_BENCH_CLOCK_H_

#include <time.h>

inline double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

#endif  // VANTLE_BENCH_CLOCK_H_
