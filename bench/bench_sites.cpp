// Results by site: every default family's rate on the shared benchmark
// trace (gen_bin 10000000 65536 7) in batches of 4096 through
// vantle_access_batch and through vantle_access_batch_at with a site per
// reference, drawn uniformly from 2000 sites by a fixed pseudo-random
// stream (the worst case for the site table: no two neighbouring
// references share a row). With sites a family
// must keep at least 0.6 of its rate without. Best of 3, each run in a
// child of its own, with and without sites by turns.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "bench_trace.h"
#include "clock.h"
#include "isolate.h"
#include "rng.h"

namespace {

constexpr uint32_t kSites = 2000;
constexpr double kRequiredRatio = 0.6;
// References a call, as vantle-sim feeds them.
constexpr size_t kBatch = 4096;

// Seconds to feed the trace to the family of words, with sites when sites
// is not empty; -1 when the run fails.
double feed_seconds(const char *words, const std::vector<md_addr_t> &trace,
                    const std::vector<uint32_t> &sites) {
  ChildOutcome o = run_isolated([&] {
    FILE *sink = fopen("/dev/null", "w");
    init_with(words);
    double start = now_seconds();
    for (size_t i = 0; i < trace.size(); i += kBatch) {
      size_t n = trace.size() - i < kBatch ? trace.size() - i : kBatch;
      if (sites.empty())
        vantle_access_batch(&trace[i], n);
      else
        vantle_access_batch_at(&trace[i], &sites[i], n);
    }
    vantle_stats(sink, 0);  // the OPT families' last blocks count too
    double seconds = now_seconds() - start;
    send_to_parent(&seconds, sizeof seconds);
  });
  double seconds = -1;
  if (o.status == 0 && o.data.size() == sizeof seconds)
    memcpy(&seconds, o.data.data(), sizeof seconds);
  return seconds;
}

// Best of 3 of each, the runs without and with sites taking turns, so
// that a change in the shared machine's load weighs on both alike. False
// when a run fails.
bool best_of_3(const char *words, const std::vector<md_addr_t> &trace,
               const std::vector<uint32_t> &sites, double *plain,
               double *with) {
  *plain = *with = -1;
  for (int round = 0; round < 3; round++) {
    double p = feed_seconds(words, trace, {});
    double w = feed_seconds(words, trace, sites);
    if (p < 0 || w < 0) return false;
    if (*plain < 0 || p < *plain) *plain = p;
    if (*with < 0 || w < *with) *with = w;
  }
  return true;
}

}  // namespace

// With arguments, only the families they name ("-Cfa -Rlru" ...).
int main(int argc, char **argv) {
  std::vector<md_addr_t> trace = gen_bin(10000000, 65536, 7);
  std::vector<uint32_t> sites(trace.size());
  Rng rng(2000);
  for (uint32_t &s : sites) s = rng.below(kSites);
  printf("\nresults by site: gen_bin 10000000 65536 7, a site per reference "
         "uniform over %u, batches of %zu; best of 3, feed and final "
         "report\n", kSites, kBatch);
  printf("%-11s %12s %12s %7s %8s\n", "family", "Mrefs/s", "with sites",
         "ratio", "required");
  const char *families[] = {"-Cfa -Rlru", "-Cfa -Ropt", "-Csa -Rlru",
                            "-Csa -Ropt", "-Cdm"};
  bool all_met = true;
  for (const char *words : families) {
    bool named = argc == 1;
    for (int i = 1; i < argc; i++) named = named || !strcmp(argv[i], words);
    if (!named) continue;
    double plain, with;
    if (!best_of_3(words, trace, sites, &plain, &with)) {
      fprintf(stderr, "bench_sites: %s failed\n", words);
      return 1;
    }
    double ratio = plain / with;
    all_met = all_met && ratio >= kRequiredRatio;
    printf("%-11s %12.2f %12.2f %7.2f %8.1f\n", words,
           trace.size() / plain / 1e6, trace.size() / with / 1e6, ratio,
           kRequiredRatio);
  }
  return all_met ? 0 : 1;
}
