// Runs a whole simulation in a child, as simulate (isolate.h) does, but
// with the run started at a later count (test_start_at), so that a short
// trace crosses the edges of 32-bit counts or reaches the reference limit;
// and checks what such a run reports.
#ifndef VANTLE_TESTS_LATE_START_H_
#define VANTLE_TESTS_LATE_START_H_

#include <stdint.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

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

// Counts at which a run of n references starts so that it crosses 2^31 and
// 2^32 respectively, with half of it on each side.
inline std::vector<uint64_t> starts_across_edges(size_t n) {
  return {(uint64_t{1} << 31) - n / 2, (uint64_t{1} << 32) - n / 2};
}

// Checks a run of n references started at count: every row counts
// count + n references and count + want[i] hits (test_start_at counts every
// earlier reference as a hit in every cache); the final report on stdout
// gives count + n after report_label ("Addresses processed : ", say); and
// the progress line due at the multiple of the default interval that the
// run crossed is on stderr, after progress_label, with the count in full.
inline void expect_run_across(const ChildOutcome &o, uint64_t count,
                              size_t n, const std::vector<uint64_t> &want,
                              const std::string &report_label,
                              const std::string &progress_label) {
  ASSERT_EQ(o.status, 0) << o.signal << " " << o.err.substr(0, 2000);
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), want.size()) << count;
  for (size_t i = 0; i < rows.size(); i++) {
    ASSERT_EQ(rows[i].references, count + n) << count << " row " << i;
    ASSERT_EQ(rows[i].hits, count + want[i]) << count << " row " << i;
  }
  std::string total = std::to_string(count + n);
  EXPECT_NE(o.out.find(report_label + total + "\n"), std::string::npos)
      << count << "\n" << o.out.substr(0, 2000);
  const uint64_t interval = 2147483647;
  uint64_t due = (count / interval + 1) * interval;
  ASSERT_LE(due, count + n);
  EXPECT_NE(o.err.find(progress_label + std::to_string(due) + "\n"),
            std::string::npos)
      << count << "\n" << o.err.substr(0, 2000);
}

#endif  // VANTLE_TESTS_LATE_START_H_
