// The shared benchmark trace, generated in memory as gen_bin (the shared
// bench tools) writes it, for the benchmarks that feed the library.
#ifndef VANTLE_BENCH_BENCH_TRACE_H_
#define VANTLE_BENCH_BENCH_TRACE_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "libvantle/libvantle.h"

// The stream of ../shared/bench/gen_bin.c, generated in memory: 60 % a
// skewed hot set of ws/16 lines, 30 % uniform over ws lines, 10 % a stream.
inline std::vector<md_addr_t> gen_bin(size_t n, uint64_t ws, uint64_t seed) {
  uint64_t s = seed * 2654435761u + 88172645463325252ull;
  auto rnd = [&s] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  uint32_t base = 0x10000000u, stream = 0x80000000u;
  std::vector<md_addr_t> trace(n);
  for (md_addr_t &addr : trace) {
    uint64_t r = rnd() % 100;
    if (r < 60) {
      uint64_t a = rnd() % (ws / 16 + 1), b = rnd() % (ws / 16 + 1);
      uint32_t line = static_cast<uint32_t>(a < b ? a : b);
      addr = base + line * 16 + static_cast<uint32_t>(rnd() % 16);
    } else if (r < 90) {
      uint32_t line = static_cast<uint32_t>(rnd() % ws);
      addr = base + line * 16 + static_cast<uint32_t>(rnd() % 16);
    } else {
      addr = stream += 8;
    }
  }
  return trace;
}

#endif  // VANTLE_BENCH_BENCH_TRACE_H_
