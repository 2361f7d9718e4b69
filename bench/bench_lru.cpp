// Throughput of the LRU families: references per second of the library
// (fully-associative LRU up to 524288 bytes in 16-byte lines, and the
// default set-associative LRU family) beside the naive models of
// tests/reference simulating the same family on the same trace, with the
// ratio. Traces: 10 million uniformly random byte addresses over working
// sets of 4 KiB, 64 KiB and 16 MiB. The naive models stop after a time
// budget; their rate is then measured on the prefix they reached, which is
// printed.
#include <stdio.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#include "isolate.h"
#include "lru_traces.h"
#include "reference/naive_lru.h"
#include "reference/naive_sa_lru.h"

namespace {

constexpr size_t kTraceLength = 10000000;
constexpr double kNaiveBudgetSeconds = 4.0;
constexpr size_t kChunk = 4096;

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                       start)
      .count();
}

// Seconds the library takes for the whole trace, measured in a child
// process because the library takes one configuration per process.
double library_seconds(const std::string &words,
                       const std::vector<uint32_t> &trace) {
  ChildOutcome o = run_isolated([&] {
    init_with(words);
    auto start = std::chrono::steady_clock::now();
    for (uint32_t addr : trace) vantle_access(addr);
    double elapsed = seconds_since(start);
    FILE *sink = fopen("/dev/null", "w");
    vantle_stats(sink, 0);
    fclose(sink);
    send_to_parent(&elapsed, sizeof elapsed);
  });
  double elapsed = -1;
  if (o.status == 0 && o.data.size() == sizeof elapsed)
    memcpy(&elapsed, o.data.data(), sizeof elapsed);
  else
    fprintf(stderr, "bench_lru: library run failed: %s\n", o.err.c_str());
  return elapsed;
}

struct NaiveRun {
  size_t refs;
  double seconds;
};

// Every fully-associative cache of 1..max_lines lines at once, from the
// depth that the naive stack gives each reference.
NaiveRun naive_fully_associative(const std::vector<uint32_t> &trace,
                                 int line_bits, size_t max_lines) {
  NaiveLruStack stack(max_lines);
  std::vector<uint64_t> at_depth(max_lines + 1, 0);
  auto start = std::chrono::steady_clock::now();
  size_t done = 0;
  while (done < trace.size() && seconds_since(start) < kNaiveBudgetSeconds) {
    size_t end = std::min(trace.size(), done + kChunk);
    for (; done < end; done++)
      at_depth[stack.access(trace[done] >> line_bits)]++;
  }
  return {done, seconds_since(start)};
}

// One naive cache per (sets, ways) of the family, each fed the same prefix.
NaiveRun naive_set_associative(const std::vector<uint32_t> &trace,
                               int line_bits, int a, int b, int n) {
  std::vector<NaiveSetAssocLru> caches;
  for (int i = a; i <= b; i++)
    for (uint32_t ways = 1; ways <= (1u << n); ways++)
      caches.emplace_back(1u << i, ways);
  std::vector<uint64_t> hits(caches.size(), 0);
  auto start = std::chrono::steady_clock::now();
  size_t done = 0;
  while (done < trace.size() && seconds_since(start) < kNaiveBudgetSeconds) {
    size_t end = std::min(trace.size(), done + kChunk);
    for (size_t c = 0; c < caches.size(); c++)
      for (size_t k = done; k < end; k++)
        hits[c] += caches[c].access(trace[k] >> line_bits);
    done = end;
  }
  return {done, seconds_since(start)};
}

void print_line(const char *family, const char *working_set,
                double library_secs, const NaiveRun &naive) {
  double library_rate = kTraceLength / library_secs;
  double naive_rate = naive.refs / naive.seconds;
  printf("bench_lru: %-44s %-6s library %8.2f M refs/s (%zu refs) | "
         "naive %8.3f M refs/s (%zu refs%s) | ratio %7.1fx\n",
         family, working_set, library_rate / 1e6, kTraceLength,
         naive_rate / 1e6, naive.refs,
         naive.refs < kTraceLength ? ", prefix" : "",
         library_rate / naive_rate);
  fflush(stdout);
}

}  // namespace

int main() {
  struct WorkingSet {
    const char *name;
    uint64_t bytes;
  } sets[] = {{"4KiB", 4096}, {"64KiB", 65536}, {"16MiB", 16u << 20}};
  uint64_t seed = 1;
  for (const WorkingSet &ws : sets) {
    std::vector<uint32_t> trace =
        uniform_trace(kTraceLength, ws.bytes, 0x10000000u, seed++);
    double fa = library_seconds("-Cfa -Rlru -M524288 -l4", trace);
    if (fa > 0)
      print_line("fully-assoc. LRU, 524288 B max, 16 B lines", ws.name, fa,
                 naive_fully_associative(trace, 4, 524288 >> 4));
    double sa = library_seconds("-Csa -Rlru", trace);
    if (sa > 0)
      print_line("set-assoc. LRU, 128..16384 sets, 1..2 ways", ws.name, sa,
                 naive_set_associative(trace, 4, 7, 14, 1));
  }
  return 0;
}
