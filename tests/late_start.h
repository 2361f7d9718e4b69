// Runs a whole simulation in a child, as simulate (isolate.h) does, but
// with the run started at a later count (test_start_at), so that a short
// trace reaches the reference limit.
#ifndef VANTLE_TESTS_LATE_START_H_
#define VANTLE_TESTS_LATE_START_H_

#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "libvantle/frontend.h"

inline ChildOutcome simulate_from(uint64_t count, const std::string &words,
                                  const std::vector<md_addr_t> &trace) {
  return run_isolated([&] {
    alarm(120);  // a schedule gone wrong may hand blocks off for ever
    init_with(words);
    if (test_start_at(count) != 0) return;
    for (md_addr_t a : trace) vantle_access(a);
    vantle_stats(stdout, 0);
    send_results();
  });
}

#endif  // VANTLE_TESTS_LATE_START_H_
