// vantle-sim on the benchmark trace as a bin32 file against the library fed
// the same references from memory: reading, decoding and feeding the trace
// must cost at most a quarter of the library's own time (init, every
// vantle_access, the final vantle_stats), for every family; the fastest
// families are the hard cases. The trace is the one of the shared
// generator ../shared/bench/gen_bin.c, `gen_bin 10000000 65536 7`, made in
// this process. Each figure is the best of five runs.
//
// usage: bench_sim [family words ...]   (default: "-Cdm" "-Csa -Rlru")
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

const int kRounds = 5;

// gen_bin N WORKING_SET_LINES SEED: 60 % a skewed hot set of 1/16 of the
// working set, 30 % the whole working set uniformly, 10 % a stream of new
// lines; the same numbers as the shared generator, in the same order.
std::vector<md_addr_t> benchmark_trace(unsigned long n, unsigned long ws,
                                       unsigned long long seed) {
  uint64_t s = seed * 2654435761u + 88172645463325252ull;
  auto rnd = [&s] {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  };
  uint32_t base = 0x10000000u, stream = 0x80000000u;
  std::vector<md_addr_t> trace;
  trace.reserve(n);
  for (unsigned long i = 0; i < n; i++) {
    uint64_t r = rnd() % 100;
    if (r < 60) {
      uint64_t a = rnd() % (ws / 16 + 1), b = rnd() % (ws / 16 + 1);
      uint32_t line = static_cast<uint32_t>(a < b ? a : b);
      trace.push_back(base + line * 16 + static_cast<uint32_t>(rnd() % 16));
    } else if (r < 90) {
      uint32_t line = static_cast<uint32_t>(rnd() % ws);
      trace.push_back(base + line * 16 + static_cast<uint32_t>(rnd() % 16));
    } else {
      stream += 8;
      trace.push_back(stream);
    }
  }
  return trace;
}

struct LibraryTimes {
  double total;   // init, every access, final report
  double access;  // the accesses alone
};

// The library on the whole trace, in a child of its own.
LibraryTimes library_seconds(const std::string &words,
                             const std::vector<md_addr_t> &trace) {
  ChildOutcome o = run_isolated([&] {
    FILE *null = fopen("/dev/null", "w");
    double start = now_seconds();
    init_with(words);
    double fed_from = now_seconds();
    for (md_addr_t a : trace) vantle_access(a);
    double fed_to = now_seconds();
    vantle_stats(null, 0);
    LibraryTimes t = {now_seconds() - start, fed_to - fed_from};
    send_to_parent(&t, sizeof t);
  });
  LibraryTimes t = {-1, -1};
  if (o.status == 0 && o.data.size() == sizeof t)
    memcpy(&t, o.data.data(), sizeof t);
  return t;
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

bool write_trace(const char *file, const std::vector<md_addr_t> &trace) {
  int fd = open(file, O_WRONLY | O_TRUNC);
  if (fd < 0) return false;
  const char *bytes = reinterpret_cast<const char *>(trace.data());
  size_t left = trace.size() * sizeof(md_addr_t);  // a little-endian host
  while (left > 0) {
    ssize_t n = write(fd, bytes, left);
    if (n <= 0) {
      close(fd);
      return false;
    }
    bytes += n;
    left -= static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> families;
  for (int i = 1; i < argc; i++) families.push_back(argv[i]);
  if (families.empty()) families = {"-Cdm", "-Csa -Rlru"};

  std::vector<md_addr_t> trace = benchmark_trace(10000000, 65536, 7);
  char file[] = "/tmp/vantle-bench-sim-XXXXXX";
  int fd = mkstemp(file);
  if (fd < 0) return 1;
  close(fd);
  if (!write_trace(file, trace)) {
    unlink(file);
    return 1;
  }
  double refs = static_cast<double>(trace.size());
  int status = 0;
  for (const std::string &words : families) {
    LibraryTimes lib = {1e9, 1e9};
    double sim = 1e9;
    bool failed = false;
    for (int round = 0; round < kRounds && !failed; round++) {
      LibraryTimes l = library_seconds(words, trace);
      double s = sim_seconds(words, file);
      failed = l.total < 0 || s < 0;
      if (l.total < lib.total) lib.total = l.total;
      if (l.access < lib.access) lib.access = l.access;
      if (s < sim) sim = s;
    }
    if (failed) {
      fprintf(stderr, "bench_sim: %s: a run failed\n", words.c_str());
      status = 1;
      continue;
    }
    printf("bench_sim: %-11s %zu bin32 refs (gen_bin 10000000 65536 7): "
           "library %.1f M refs/s through vantle_access, %.3f s in all; "
           "vantle-sim %.3f s (%.1f M refs/s); ratio %.2f (target <= 1.25)\n",
           words.c_str(), trace.size(), refs / lib.access / 1e6, lib.total,
           sim, refs / sim / 1e6, sim / lib.total);
    fflush(stdout);
  }
  unlink(file);
  return status;
}
