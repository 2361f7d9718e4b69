// The tracers: vantle-sim tracing the example matrix multiply live under
// QEMU with vantle's plugin and under valgrind, beside vantle-sim reading
// the same references from a bin32 file, all with the default family.
// Prints references per second of each, and the ratio of the live QEMU run
// to QEMU and its plugin alone, writing the same batches to /dev/null:
// vantle-sim must keep up with its tracer (0.8 or more). (The file is read
// several times faster than QEMU can trace: beside it, the live run shows
// QEMU's speed, not vantle-sim's.) Then the live rate with -sites against
// the rate without (0.7 or more).
//
//   bench_tracers [n]    (n x n matrices, default 128: about 20 M references)
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "child_run.h"
#include "transport/trace_record.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const char *const kPlugin = VANTLE_QEMU_PLUGIN;
const char *const kMatmul = MATMUL_PATH;

// Turns the plugin's batches into a bin32 file of the addresses, folded as
// the plugin folds them; returns the number of references.
long long batches_to_bin32(const std::string &from, const std::string &to) {
  FILE *in = fopen(from.c_str(), "rb"), *out = fopen(to.c_str(), "wb");
  if (!in || !out) return -1;
  long long count = 0;
  std::vector<unsigned char> batch;
  trace_batch head;
  while (fread(&head, sizeof head, 1, in) == 1) {
    batch.resize(trace_batch_bytes(&head) - sizeof head);
    if (fread(batch.data(), 1, batch.size(), in) != batch.size()) return -1;
    fwrite(batch.data() + trace_batch_addresses(&head) - sizeof head,
           sizeof(uint32_t), head.references, out);
    count += head.references;
  }
  fclose(in);
  fclose(out);
  return count;
}

struct Rate {
  double seconds = -1;
  long long refs = 0;
  double per_second() const { return seconds > 0 ? refs / seconds : 0; }
};

// The best of runs runs of vantle-sim with args.
Rate best_sim(std::vector<std::string> args, const std::string &err,
              int runs) {
  args.insert(args.begin(), {kSim, "-progress", "false"});
  Rate best;
  for (int i = 0; i < runs; i++) {
    double s = timed_run(args, err);
    if (s < 0) return Rate{};
    if (best.seconds < 0 || s < best.seconds) best.seconds = s;
    best.refs = stat_value(err, "sim_num_fed");
  }
  return best;
}

void print_rate(const char *what, const Rate &r) {
  if (r.seconds < 0)
    printf("  %-34s failed\n", what);
  else
    printf("  %-34s %6.2f s  %6.2f M refs  %6.1f M refs/s\n", what,
           r.seconds, r.refs / 1e6, r.per_second() / 1e6);
}

// The live rate with -sites against the rate without, on a multiply long
// enough (247 M references) that the naming of sites at the end weighs
// little; the two runs by turns, so that a load that comes and goes
// weighs on both alike.
void sites_ratio(const std::string &err) {
  const char *n = "300";
  Rate plain, sites;
  for (int i = 0; i < 3; i++) {
    Rate p = best_sim({"-trace:tracer", "qemu", kMatmul, n}, err, 1);
    Rate s = best_sim({"-trace:tracer", "qemu", "-sites", kMatmul, n}, err, 1);
    if (p.seconds < 0 || s.seconds < 0) {
      printf("  live under QEMU with -sites: failed\n");
      return;
    }
    if (plain.seconds < 0 || p.seconds < plain.seconds) plain = p;
    if (sites.seconds < 0 || s.seconds < sites.seconds) sites = s;
  }
  printf("  live under QEMU, matmul %s x %s: %.2f s, with -sites %.2f s: "
         "%.2f of the rate (at least 0.70 wanted)\n", n, n, plain.seconds,
         sites.seconds, sites.per_second() / plain.per_second());
}

}  // namespace

int main(int argc, char **argv) {
  std::string n = argc > 1 ? argv[1] : "128";
  std::string qemu = on_path("qemu-x86_64"), valgrind = on_path("valgrind");
  char dir[] = "/tmp/vantle-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string base = dir, records = base + "/records", bin = base + "/b.bin",
              err = base + "/err";
  printf("tracers: matmul %s x %s, default family (best of 3; valgrind "
         "once)\n", n.c_str(), n.c_str());
  Rate file, live_qemu, live_valgrind, tracer_alone;
  if (!qemu.empty()) {
    // Folded as vantle-sim folds for the default family (2^14 sets of
    // 16-byte lines): by regions of 2^18 bytes.
    std::string plugin = std::string(kPlugin) + ",fd=3,region=18";
    if (timed_run({qemu, "-plugin", plugin, kMatmul, n}, err,
                  records.c_str()) < 0 ||
        batches_to_bin32(records, bin) < 0) {
      fprintf(stderr, "bench_tracers: cannot record the references\n");
      return 1;
    }
    file = best_sim({"-trace:format", "bin32", bin}, err, 3);
    tracer_alone.refs = file.refs;
    for (int i = 0; i < 3; i++) {
      double s = timed_run({qemu, "-plugin", plugin, kMatmul, n}, err,
                           "/dev/null");
      if (s > 0 && (tracer_alone.seconds < 0 || s < tracer_alone.seconds))
        tracer_alone.seconds = s;
    }
    live_qemu = best_sim({"-trace:tracer", "qemu", kMatmul, n}, err, 3);
    print_rate("bin32 file of the same references", file);
    print_rate("live under QEMU", live_qemu);
    print_rate("QEMU and plugin, to /dev/null", tracer_alone);
    // What a live run costs before its first reference: QEMU's start-up,
    // measured on a 2 x 2 multiply.
    Rate start_up = best_sim({"-trace:tracer", "qemu", kMatmul, "2"}, err, 3);
    print_rate("live under QEMU, matmul 2 x 2", start_up);
  } else {
    printf("  qemu-x86_64 is not installed: no QEMU figures\n");
  }
  if (!valgrind.empty()) {
    live_valgrind =
        best_sim({"-trace:tracer", "valgrind", kMatmul, n}, err, 1);
    print_rate("live under valgrind", live_valgrind);
  }
  if (tracer_alone.seconds > 0 && live_qemu.seconds > 0)
    printf("  live QEMU / QEMU and plugin alone: %.2f (at least 0.80 "
           "wanted)\n", live_qemu.per_second() / tracer_alone.per_second());
  if (!qemu.empty()) sites_ratio(err);
  std::string clean = "rm -rf '" + base + "'";
  return system(clean.c_str()) == 0 ? 0 : 1;
}
