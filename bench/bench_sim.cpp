// vantle-sim on a 10-million-reference bin32 trace against the library fed
// the same references from memory: reading the trace must not be the
// bottleneck. Uses the direct-mapped family when the library has it, else
// set-associative LRU (the line says which). Best of three runs each.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "clock.h"
#include "isolate.h"

namespace {

const int kRefs = 10000000;

// Loops over working sets from cache-sized to far larger, with a random
// stream mixed in; deterministic.
std::vector<md_addr_t> make_trace() {
  std::vector<md_addr_t> trace(kRefs);
  uint64_t x = 12345;
  for (int i = 0; i < kRefs; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t r = static_cast<uint32_t>(x >> 32);
    uint32_t span = 1u << (12 + (i >> 20) % 10);  // 4 KiB .. 2 MiB
    trace[i] = r % 8 == 0 ? r : (static_cast<uint32_t>(i) * 8) % span;
  }
  return trace;
}

// Seconds the library takes for the whole trace, in a child of its own.
double library_seconds(const std::string &words,
                       const std::vector<md_addr_t> &trace) {
  ChildOutcome o = run_isolated([&] {
    double start = now_seconds();
    init_with(words);
    for (md_addr_t a : trace) vantle_access(a);
    FILE *null = fopen("/dev/null", "w");
    vantle_stats(null, 0);
    double seconds = now_seconds() - start;
    send_to_parent(&seconds, sizeof seconds);
  });
  double seconds = -1;
  if (o.status == 0 && o.data.size() == sizeof seconds)
    memcpy(&seconds, o.data.data(), sizeof seconds);
  return seconds;
}

// Wall-clock seconds of a whole vantle-sim run on the trace file.
double sim_seconds(const std::string &words, const std::string &file) {
  double start = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(VANTLE_SIM_PATH, "vantle-sim", "-cache:opts", words.c_str(),
          file.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = now_seconds() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

}  // namespace

int main() {
  std::vector<md_addr_t> trace = make_trace();
  char file[] = "/tmp/vantle-bench-sim-XXXXXX";
  int fd = mkstemp(file);
  if (fd < 0) return 1;
  const char *bytes = reinterpret_cast<const char *>(trace.data());
  size_t left = trace.size() * sizeof(md_addr_t);  // a little-endian host
  while (left > 0) {
    ssize_t n = write(fd, bytes, left);
    if (n <= 0) return 1;
    bytes += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);

  std::string words = "-Cdm -a4 -b8 -c16";
  std::string family = "direct-mapped 64 KiB, lines 16..256 B";
  ChildOutcome probe = run_isolated([&] { init_with(words); });
  if (probe.status != 0) {
    words = "-Csa -a7 -b14 -n1 -l4";
    family = "set-associative LRU (direct-mapped not available), "
             "128..16384 sets x 1..2 ways";
  }
  double lib = 1e9, sim = 1e9;
  for (int round = 0; round < 3; round++) {
    double l = library_seconds(words, trace), s = sim_seconds(words, file);
    if (l < 0 || s < 0) {
      fprintf(stderr, "bench_sim: a run failed\n");
      unlink(file);
      return 1;
    }
    if (l < lib) lib = l;
    if (s < sim) sim = s;
  }
  unlink(file);
  printf("bench_sim: %d bin32 refs, %s: library alone %.3f s (%.1f M refs/s), "
         "vantle-sim %.3f s (%.1f M refs/s), ratio %.2f (target <= 1.25)\n",
         kRefs, family.c_str(), lib, kRefs / lib / 1e6, sim,
         kRefs / sim / 1e6, sim / lib);
  return 0;
}
