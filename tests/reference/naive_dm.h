// Naive direct-mapped caches: one plain cache per line size, each holding
// one tag per set. Obviously correct, slow; the reference for linesweep.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_DM_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_DM_H_

#include <stdint.h>

#include <vector>

namespace naive_dm {

// One direct-mapped cache of 2^cache_exp bytes with lines of 2^line_exp.
struct Cache {
  int line_exp = 0;
  int cache_exp = 0;
  std::vector<uint64_t> line_in_set;  // full line address held, or none
  std::vector<bool> valid;
  uint64_t references = 0;
  uint64_t hits = 0;
};

inline Cache make_cache(int line_exp, int cache_exp) {
  Cache c;
  c.line_exp = line_exp;
  c.cache_exp = cache_exp;
  size_t sets = size_t{1} << (cache_exp - line_exp);
  c.line_in_set.assign(sets, 0);
  c.valid.assign(sets, false);
  return c;
}

// Returns true on a hit; on a miss the line replaces the set's content.
inline bool access(Cache &c, uint32_t addr) {
  uint64_t line = addr >> c.line_exp;
  size_t set = line & ((uint64_t{1} << (c.cache_exp - c.line_exp)) - 1);
  c.references++;
  if (c.valid[set] && c.line_in_set[set] == line) {
    c.hits++;
    return true;
  }
  c.valid[set] = true;
  c.line_in_set[set] = line;
  return false;
}

// Hits of every line size 2^a .. 2^b (smallest first) in a 2^c-byte cache.
inline std::vector<uint64_t> hits_per_line_size(
    int a, int b, int c, const std::vector<uint32_t> &trace) {
  std::vector<uint64_t> hits;
  for (int e = a; e <= b; e++) {
    Cache cache = make_cache(e, c);
    for (uint32_t addr : trace) access(cache, addr);
    hits.push_back(cache.hits);
  }
  return hits;
}

}  // namespace naive_dm

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_DM_H_
