// Throughput of the direct-mapped family (one cache size, every line size)
// beside a naive simulation of one plain direct-mapped cache per line size,
// on the same synthetic 10-million-reference trace, in the same process.
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "clock.h"
#include "isolate.h"
#include "rng.h"

namespace {

const size_t kReferences = 10000000;


// Program-like: a hot loop body, sweeps over a 256 KiB and a 4 MiB array,
// a wandering stack, and random references over 16 MiB, so working sets run
// from cache-sized to far larger than either cache.
std::vector<md_addr_t> make_trace() {
  Rng rng{12345};
  std::vector<md_addr_t> t;
  t.reserve(kReferences);
  uint32_t small = 0, large = 0, sp = 0x7FFF0000u;
  while (t.size() < kReferences) {
    uint64_t r = rng.next();
    uint32_t kind = static_cast<uint32_t>(r % 100);
    uint32_t bits = static_cast<uint32_t>(r >> 32);
    if (kind < 35) {
      t.push_back(0x00400000u + 4 * (bits % 2048));
    } else if (kind < 55) {
      t.push_back(0x10000000u + small);
      small = (small + 8) & ((1u << 18) - 1);
    } else if (kind < 70) {
      t.push_back(0x20000000u + large);
      large = (large + 4) & ((1u << 22) - 1);
    } else if (kind < 90) {
      sp += (bits & 1) ? 16 : static_cast<uint32_t>(-16);
      t.push_back(sp + (bits >> 28));
    } else {
      t.push_back(0x30000000u + (bits & ((1u << 24) - 1)));
    }
  }
  return t;
}

// One plain direct-mapped cache per line size, each a table of tags; a tag
// of all ones marks an empty set (no real tag is, as C >= 1).
std::vector<uint64_t> naive_hits(int a, int b, int c,
                                 const std::vector<md_addr_t> &trace) {
  std::vector<uint64_t> hits;
  for (int e = a; e <= b; e++) {
    std::vector<uint32_t> tags(size_t{1} << (c - e), 0xFFFFFFFFu);
    uint32_t set_mask = (1u << (c - e)) - 1;
    uint64_t h = 0;
    for (md_addr_t addr : trace) {
      uint32_t set = (addr >> e) & set_mask;
      uint32_t tag = addr >> c;
      if (tags[set] == tag)
        h++;
      else
        tags[set] = tag;
    }
    hits.push_back(h);
  }
  return hits;
}

void bench_family(const char *label, int a, int b, int c,
                  const std::vector<md_addr_t> &trace) {
  double lib_seconds = 0;
  std::vector<uint64_t> lib_hits;
  ChildOutcome o = run_isolated([&] {
    init_with("-Cdm -a" + std::to_string(a) + " -b" + std::to_string(b) +
              " -c" + std::to_string(c));
    double start = now_seconds();
    for (md_addr_t addr : trace) vantle_access(addr);
    double seconds = now_seconds() - start;
    send_to_parent(&seconds, sizeof seconds);
    send_results();
  });
  if (o.status != 0 || o.data.size() < sizeof(double)) {
    fprintf(stderr, "bench_dm: %s: library run failed: %s", label,
            o.err.c_str());
    exit(1);
  }
  memcpy(&lib_seconds, o.data.data(), sizeof lib_seconds);
  o.data.erase(0, sizeof(double));
  for (const vantle_result &r : received_results(o)) lib_hits.push_back(r.hits);

  double start = now_seconds();
  std::vector<uint64_t> want = naive_hits(a, b, c, trace);
  double naive_seconds = now_seconds() - start;

  double refs = static_cast<double>(trace.size());
  printf("dm %-8s A=%d B=%d C=%d (%d line sizes, %zu refs): libvantle "
         "%.2f Mref/s, naive per-line-size %.2f Mref/s, ratio %.2fx, %s\n",
         label, a, b, c, b - a + 1, trace.size(), refs / lib_seconds / 1e6,
         refs / naive_seconds / 1e6, naive_seconds / lib_seconds,
         lib_hits == want ? "hits agree" : "HITS DIFFER");
  fflush(stdout);
}

}  // namespace

int main() {
  std::vector<md_addr_t> trace = make_trace();
  bench_family("default", 7, 14, 16, trace);
  bench_family("wide", 2, 12, 20, trace);
  return 0;
}
