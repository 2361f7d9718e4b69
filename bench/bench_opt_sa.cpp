// Throughput of the set-associative OPT family (-Csa -Ropt) beside the naive
// model that runs optimal replacement one configuration at a time, on the
// same 10-million-reference synthetic trace, in the same run.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#include "clock.h"
#include "isolate.h"
#include "reference/naive_sa_opt.h"
#include "rng.h"

namespace {

const size_t kReferences = 10000000;

// Working sets from cache-sized to far larger: a 64 KiB hot region, a 2 MiB
// region, a 64 MiB stream, and 256 lines that crowd a few sets.
std::vector<uint32_t> make_trace() {
  std::vector<uint32_t> trace(kReferences);
  Rng rng(42);
  uint32_t stream = 0;
  for (size_t t = 0; t < kReferences; t++) {
    uint64_t r = rng.next();
    uint32_t pick = r % 20, word = static_cast<uint32_t>(r >> 32) & ~3u;
    if (pick < 10)
      trace[t] = 0x10000000u + word % (64u << 10);
    else if (pick < 15)
      trace[t] = 0x20000000u + word % (2u << 20);
    else if (pick < 18)
      trace[t] = 0x40000000u + (stream += 4) % (64u << 20);
    else
      trace[t] = 0x08000000u + (word % 256) * (16u << 14);
  }
  return trace;
}

struct Timed {
  double seconds;
  int rows;
};

void run_family(const char *name, int a, int b, int n, int l,
                const std::vector<uint32_t> &trace) {
  std::string words = "-Csa -Ropt -a" + std::to_string(a) + " -b" +
                      std::to_string(b) + " -n" + std::to_string(n) + " -l" +
                      std::to_string(l);
  ChildOutcome o = run_isolated([&] {
    init_with(words);
    FILE *sink = fopen("/dev/null", "w");
    double start = now_seconds();
    for (uint32_t addr : trace) vantle_access(addr);
    vantle_stats(sink, 0);
    Timed timed{now_seconds() - start, vantle_results(nullptr, 0)};
    send_to_parent(&timed, sizeof timed);
    std::vector<vantle_result> rows(timed.rows);
    vantle_results(rows.data(), timed.rows);
    send_to_parent(rows.data(), rows.size() * sizeof(vantle_result));
  });
  if (o.status != 0 || o.data.size() < sizeof(Timed)) {
    printf("%s: library run failed (status %d): %s\n", name, o.status,
           o.err.c_str());
    return;
  }
  Timed timed;
  memcpy(&timed, o.data.data(), sizeof timed);
  std::vector<vantle_result> rows(timed.rows);
  memcpy(rows.data(), o.data.data() + sizeof timed,
         rows.size() * sizeof(vantle_result));

  double start = now_seconds();
  std::vector<uint64_t> naive = naive_sa_opt::family_hits(trace, a, b, n, l);
  double naive_seconds = now_seconds() - start;

  bool agree = naive.size() == rows.size();
  for (size_t r = 0; agree && r < rows.size(); r++)
    agree = rows[r].hits == naive[r];
  double lib_rate = trace.size() / timed.seconds;
  double naive_rate = trace.size() / naive_seconds;
  printf("opt-sa %s (2^%d..2^%d sets x 1..%d ways, %d-byte lines, %zu "
         "configs, %zu refs): library %.2f Mref/s, naive per-configuration "
         "Belady %.2f Mref/s, ratio %.1fx, hits %s\n",
         name, a, b, 1 << n, 1 << l, rows.size(), trace.size(),
         lib_rate / 1e6, naive_rate / 1e6, lib_rate / naive_rate,
         agree ? "agree" : "DIFFER");
  fflush(stdout);
}

}  // namespace

int main() {
  std::vector<uint32_t> trace = make_trace();
  run_family("default", 7, 14, 1, 4, trace);
  run_family("wide", 0, 10, 4, 4, trace);
  return 0;
}
