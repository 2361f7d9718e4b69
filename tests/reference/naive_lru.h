// Naive LRU stack: every line in a vector, most recent last, searched
// linearly. Gives the LRU depth of each reference; a cache of k lines hits
// exactly the references of depth 1..k.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_LRU_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_LRU_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

class NaiveLruStack {
 public:
  // Keeps at most capacity lines; deeper ones are forgotten (depth 0 later).
  explicit NaiveLruStack(size_t capacity) : capacity_(capacity) {}

  // Returns the depth of line (1 = most recent), or 0 when it is not in the
  // stack, and makes it the most recent line.
  uint64_t access(uint32_t line) {
    uint64_t depth = 0;
    for (size_t i = lines_.size(); i-- > 0;) {
      if (lines_[i] == line) {
        depth = lines_.size() - i;
        lines_.erase(lines_.begin() + static_cast<ptrdiff_t>(i));
        break;
      }
    }
    lines_.push_back(line);
    if (lines_.size() > capacity_) lines_.erase(lines_.begin());
    return depth;
  }

 private:
  size_t capacity_;
  std::vector<uint32_t> lines_;  // least recent first
};

// Hits of every fully-associative LRU cache of 1..max_lines lines of
// 2^line_bits bytes on the byte-address trace: result[k] for k lines.
inline std::vector<uint64_t> naive_lru_hits(const std::vector<uint32_t> &trace,
                                            int line_bits, size_t max_lines) {
  NaiveLruStack stack(max_lines);
  std::vector<uint64_t> at_depth(max_lines + 1, 0);
  for (uint32_t addr : trace) {
    uint64_t depth = stack.access(addr >> line_bits);
    if (depth) at_depth[depth]++;
  }
  std::vector<uint64_t> hits(max_lines + 1, 0);
  for (size_t k = 1; k <= max_lines; k++) hits[k] = hits[k - 1] + at_depth[k];
  return hits;
}

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_LRU_H_
