// splitmix64: a small, fast generator that gives the same traces on every
// platform, for the tests and the benchmarks.
#ifndef VANTLE_TESTS_RNG_H_
#define VANTLE_TESTS_RNG_H_

#include <stdint.h>

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed = 0) : s(seed) {}
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint64_t n) { return static_cast<uint32_t>(next() % n); }
  bool chance(double p) { return (next() >> 11) * 0x1.0p-53 < p; }
};

#endif  // VANTLE_TESTS_RNG_H_
