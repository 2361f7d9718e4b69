// Deterministic synthetic address traces for the LRU tests and benchmark.
#ifndef VANTLE_TESTS_LRU_TRACES_H_
#define VANTLE_TESTS_LRU_TRACES_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "rng.h"


// count byte addresses spread uniformly over a working set of span bytes
// starting at base.
inline std::vector<uint32_t> uniform_trace(size_t count, uint64_t span,
                                           uint32_t base, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> trace(count);
  for (auto &addr : trace) addr = base + rng.below(span);
  return trace;
}

// Sweeps an array of span bytes at base with the given stride, over and over.
inline std::vector<uint32_t> strided_trace(size_t count, uint32_t span,
                                           uint32_t stride, uint32_t base) {
  std::vector<uint32_t> trace(count);
  uint32_t offset = 0;
  for (auto &addr : trace) {
    addr = base + offset;
    offset = (offset + stride) % span;
  }
  return trace;
}

// Loops over loop_lines lines of line_bytes in order; every 64th reference
// goes to a random line of a larger region instead.
inline std::vector<uint32_t> looping_trace(size_t count, uint32_t loop_lines,
                                           uint32_t line_bytes,
                                           uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> trace(count);
  uint32_t next = 0;
  for (size_t i = 0; i < count; i++) {
    if (i % 64 == 63) {
      trace[i] = rng.below(uint64_t{loop_lines} * 8) * line_bytes;
    } else {
      trace[i] = next * line_bytes + rng.below(line_bytes);
      next = (next + 1) % loop_lines;
    }
  }
  return trace;
}

// Phases of phase_length references; each phase has its own hot set of
// hot_lines lines taking 7 references in 8, the rest go anywhere in a large
// region. Lines are line_bytes long.
inline std::vector<uint32_t> mixed_trace(size_t count, uint32_t hot_lines,
                                         uint32_t line_bytes,
                                         size_t phase_length, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> trace(count);
  uint32_t hot_base = 0;
  for (size_t i = 0; i < count; i++) {
    if (i % phase_length == 0) hot_base = rng.below(1u << 16) * line_bytes;
    if (rng.below(8) != 0)
      trace[i] = hot_base + rng.below(uint64_t{hot_lines} * line_bytes);
    else
      trace[i] = rng.below(uint64_t{1} << 28);
  }
  return trace;
}

#endif  // VANTLE_TESTS_LRU_TRACES_H_
