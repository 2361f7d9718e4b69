// vantle-sim beside cachegrind on real programs: `sort -n` of 200,000
// random numbers, the example matrix multiply and a dict-heavy Python
// script, each run under `valgrind --tool=cachegrind --cache-sim=yes`
// (three caches: I1, D1, LL) and under vantle-sim with its default family
// (16 caches), traced live under QEMU. The two take turns, three rounds,
// so that a load on the machine weighs on both alike; the best of three
// each. Prints wall seconds, references per second (cachegrind's I refs
// plus D refs; vantle-sim's sim_num_fed) and vantle-sim's time over
// cachegrind's. Skipped, with a line saying why, without valgrind or
// qemu-x86_64.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "child_run.h"
#include "rng.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const char *const kMatmul = MATMUL_PATH;
const char *const kDictScript = BENCH_DIR "/dict_heavy.py";
enum { ROUNDS = 3 };

struct Best {
  double seconds = -1;
  long long refs = 0;
  // Keeps the lower time; false when the run failed.
  bool keep(double s, long long r) {
    if (s < 0 || r < 0) return false;
    if (seconds < 0 || s < seconds) seconds = s;
    refs = r;
    return true;
  }
  double rate() const { return seconds > 0 ? refs / seconds : 0; }
};

// A file of count random numbers below 10^9, one a line.
bool write_numbers(const std::string &path, int count) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return false;
  Rng rng(2026);
  for (int i = 0; i < count; i++) fprintf(f, "%u\n", rng.below(1000000000));
  return fclose(f) == 0;
}

// A Python interpreter that is a program, not a launcher script that
// cachegrind would follow no further than the shell.
std::string python_program() {
  for (const char *p : {"/usr/bin/python3", "/usr/local/bin/python3"})
    if (access(p, X_OK) == 0) return p;
  return "";
}

void print_row(const char *what, const Best &grind, const Best &sim) {
  printf("  %-22s %7.2f s %7.1f M/s   %7.2f s %7.1f M/s   %5.2f\n", what,
         grind.seconds, grind.rate() / 1e6, sim.seconds, sim.rate() / 1e6,
         sim.seconds / grind.seconds);
}

// Runs command under cachegrind and under vantle-sim, ROUNDS times each
// in turn, and prints the row; false when a run failed.
bool compare(const char *what, const std::vector<std::string> &command,
             const std::string &valgrind, const std::string &err) {
  std::vector<std::string> grind = {valgrind, "--tool=cachegrind",
                                    "--cache-sim=yes",
                                    "--cachegrind-out-file=/dev/null"};
  grind.insert(grind.end(), command.begin(), command.end());
  std::vector<std::string> sim = {kSim, "-progress", "false",
                                  "-trace:tracer", "qemu"};
  sim.insert(sim.end(), command.begin(), command.end());
  Best g, s;
  for (int i = 0; i < ROUNDS; i++) {
    double t = timed_run(grind, err);
    long long refs = number_after(err, "I   refs:");
    long long data = number_after(err, "D   refs:");
    if (!g.keep(t, refs < 0 || data < 0 ? -1 : refs + data)) {
      fprintf(stderr, "bench_vs_cachegrind: %s under cachegrind failed\n",
              what);
      return false;
    }
    t = timed_run(sim, err);
    if (!s.keep(t, stat_value(err, "sim_num_fed"))) {
      fprintf(stderr, "bench_vs_cachegrind: %s under vantle-sim failed\n",
              what);
      return false;
    }
  }
  print_row(what, g, s);
  return true;
}

}  // namespace

int main() {
  std::string valgrind = on_path("valgrind"), qemu = on_path("qemu-x86_64");
  if (valgrind.empty() || qemu.empty()) {
    printf("bench_vs_cachegrind: %s is not on PATH; nothing compared\n",
           valgrind.empty() ? "valgrind" : "qemu-x86_64");
    return 0;
  }
  char dir[] = "/tmp/vantle-bench-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  std::string base = dir, numbers = base + "/numbers", err = base + "/err";
  std::string sort = on_path("sort"), python = python_program();
  if (!write_numbers(numbers, 200000)) return 1;
  printf("bench_vs_cachegrind: wall seconds and references per second, best "
         "of %d,\ncachegrind (3 caches) against vantle-sim, default family "
         "(16 caches), live under QEMU\n", ROUNDS);
  printf("  %-22s %20s   %20s   %5s\n", "program", "cachegrind",
         "vantle-sim", "ratio");
  bool ok = true;
  if (sort.empty())
    printf("  sort is not on PATH: no sort -n row\n");
  else
    ok = compare("sort -n 200,000 lines", {sort, "-n", numbers}, valgrind,
                 err);
  ok = ok && compare("matmul 160", {kMatmul, "160"}, valgrind, err);
  if (python.empty())
    printf("  no python3 program (/usr/bin, /usr/local/bin): no Python row\n");
  else
    ok = ok && compare("python dict_heavy.py", {python, kDictScript},
                       valgrind, err);
  std::string clean = "rm -rf '" + base + "'";
  return system(clean.c_str()) == 0 && ok ? 0 : 1;
}
