// Throughput of the fully-associative OPT family (-Cfa -Ropt): references
// per second of the one-pass library for the default family (524288 bytes,
// 16-byte lines) and a small one (8192 bytes), on 10-million-reference
// traces with small, medium and large working sets; beside it, the naive
// model that simulates Belady's policy one cache size at a time for every
// reported size of the small family, on the same trace in the same run.
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <string>
#include <vector>

#include "clock.h"
#include "isolate.h"
#include "reference/naive_opt.h"
#include "rng.h"

namespace {

constexpr size_t kRefs = 10000000;


// 80% of the references go to a hot tenth of the working set, the rest
// spread over all of it; each line is a 16-byte line.
std::vector<uint32_t> working_set_trace(uint32_t lines, uint64_t seed) {
  Rng rng{seed};
  uint32_t hot = lines / 10 ? lines / 10 : 1;
  std::vector<uint32_t> t(kRefs);
  for (auto &x : t) {
    uint64_t r = rng.next();
    x = (r & 7) < 4 || (r & 7) == 4 ? static_cast<uint32_t>((r >> 8) % hot)
                                     : static_cast<uint32_t>((r >> 8) % lines);
  }
  return t;
}

// Seconds the library takes for the whole run, measured in a child; the
// child's result rows go to *rows.
double library_seconds(const std::string &words,
                       const std::vector<md_addr_t> &bytes,
                       std::vector<vantle_result> *rows) {
  ChildOutcome o = run_isolated([&] {
    init_with(words);
    FILE *sink = fopen("/dev/null", "w");
    double t0 = now_seconds();
    for (md_addr_t a : bytes) vantle_access(a);
    vantle_stats(sink, 0);
    double seconds = now_seconds() - t0;
    send_to_parent(&seconds, sizeof seconds);
    send_results();
  });
  double seconds = -1;
  if (o.status != 0 || o.data.size() < sizeof seconds) return seconds;
  memcpy(&seconds, o.data.data(), sizeof seconds);
  o.data.erase(0, sizeof seconds);
  *rows = received_results(o);
  return seconds;
}

}  // namespace

int main() {
  struct Family {
    const char *name;
    std::string words;
  } families[] = {{"524288B", "-Cfa -Ropt"}, {"8192B", "-Cfa -Ropt -M8192"}};
  struct WorkingSet {
    const char *name;
    uint32_t lines;
  } sets[] = {{"small (256 lines)", 256},
              {"medium (16384 lines)", 16384},
              {"large (262144 lines)", 262144}};
  // The small family reports every 32 lines (512 bytes) up to 512 lines.
  const size_t kSmallStep = 32, kSmallLines = 512;
  for (const WorkingSet &ws : sets) {
    std::vector<uint32_t> lines = working_set_trace(ws.lines, ws.lines);
    std::vector<md_addr_t> bytes(lines.size());
    for (size_t i = 0; i < lines.size(); i++) bytes[i] = lines[i] << 4;
    double naive_rate = 0;
    for (const Family &f : families) {
      std::vector<vantle_result> rows;
      double s = library_seconds(f.words, bytes, &rows);
      double rate = s > 0 ? kRefs / s : 0;
      printf("opt_fa %-8s %-22s library %12.0f refs/s", f.name, ws.name,
             rate);
      if (std::string(f.name) == "8192B") {
        double t0 = now_seconds();
        std::vector<uint64_t> next = naive_opt::next_uses(lines);
        int disagree = 0;
        for (size_t k = kSmallStep; k <= kSmallLines; k += kSmallStep) {
          uint64_t hits = naive_opt::belady_hits(lines, k, next);
          size_t row = k / kSmallStep - 1;
          disagree += row >= rows.size() || rows[row].hits != hits;
        }
        double naive_s = now_seconds() - t0;
        naive_rate = kRefs / naive_s;
        printf("  naive per-size (%zu sizes) %10.0f refs/s  ratio %6.1fx"
               "  %s",
               kSmallLines / kSmallStep, naive_rate, rate / naive_rate,
               disagree ? "HITS DIFFER" : "hits agree");
      }
      printf("\n");
      fflush(stdout);
    }
  }
  return 0;
}
