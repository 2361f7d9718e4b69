// Naive set-associative LRU cache: one vector of line addresses per set,
// most recent last. One object simulates one (sets, ways) configuration.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_SA_LRU_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_SA_LRU_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

class NaiveSetAssocLru {
 public:
  // sets must be a power of two.
  NaiveSetAssocLru(uint32_t sets, uint32_t ways)
      : ways_(ways), sets_(sets) {}

  // Returns true on a hit; on a miss the line replaces the set's least
  // recently used line when the set is full.
  bool access(uint32_t line) {
    std::vector<uint32_t> &set = sets_[line % sets_.size()];
    for (size_t i = 0; i < set.size(); i++) {
      if (set[i] == line) {
        set.erase(set.begin() + static_cast<ptrdiff_t>(i));
        set.push_back(line);
        return true;
      }
    }
    if (set.size() == ways_) set.erase(set.begin());
    set.push_back(line);
    return false;
  }

 private:
  size_t ways_;
  std::vector<std::vector<uint32_t>> sets_;  // each least recent first
};

// Hits of every cache with 2^a..2^b sets and 1..2^n ways of 2^line_bits-byte
// lines on the byte-address trace, one cache at a time, in the order
// (sets ascending, ways ascending).
inline std::vector<uint64_t> naive_sa_lru_hits(
    const std::vector<uint32_t> &trace, int line_bits, int a, int b, int n) {
  std::vector<uint64_t> hits;
  for (int i = a; i <= b; i++) {
    for (uint32_t ways = 1; ways <= (1u << n); ways++) {
      NaiveSetAssocLru cache(1u << i, ways);
      uint64_t count = 0;
      for (uint32_t addr : trace) count += cache.access(addr >> line_bits);
      hits.push_back(count);
    }
  }
  return hits;
}

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_SA_LRU_H_
