// Naive model for the vantle-sim tests: one set-associative LRU cache at a
// time, on full 64-bit addresses, each set a plain most-recent-first list.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_SIM_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_SIM_H_

#include <stdint.h>

#include <algorithm>
#include <vector>

struct NaiveRow {
  uint32_t sets;
  uint32_t associativity;
  uint64_t references;
  uint64_t hits;
};

// Hits of one cache of `sets` sets, `ways` lines each, 2^line_bits bytes.
inline uint64_t naive_lru_hits(const std::vector<uint64_t> &trace,
                               uint32_t sets, uint32_t ways, int line_bits) {
  std::vector<std::vector<uint64_t>> set_lines(sets);
  uint64_t hits = 0;
  for (uint64_t addr : trace) {
    uint64_t line = addr >> line_bits;
    auto &lines = set_lines[line % sets];
    auto at = std::find(lines.begin(), lines.end(), line);
    if (at != lines.end()) {
      hits++;
      lines.erase(at);
    } else if (lines.size() == ways) {
      lines.pop_back();
    }
    lines.insert(lines.begin(), line);
  }
  return hits;
}

// The whole family: set counts 2^a..2^b, associativities 1..2^n, in the
// order set counts ascending, associativity fastest.
inline std::vector<NaiveRow> naive_family(const std::vector<uint64_t> &trace,
                                          int a, int b, int n, int l) {
  std::vector<NaiveRow> rows;
  for (int s = a; s <= b; s++)
    for (uint32_t w = 1; w <= (1u << n); w++)
      rows.push_back({1u << s, w, trace.size(),
                      naive_lru_hits(trace, 1u << s, w, l)});
  return rows;
}

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_SIM_H_
