// Live tracing against valgrind alone: the example program (matmul 96, as
// `make run` traces it) under `valgrind --tool=lackey --trace-mem=yes
// --log-file=/dev/null`, the same with its trace written to a pipe that a
// reader empties and throws away (what the pipe itself costs valgrind,
// which writes every line with a write of its own), and vantle-sim tracing
// it live under valgrind and under its default tracer (QEMU where it is
// installed). Wall-clock seconds, best of three runs each, and the ratios to
// valgrind alone. Skipped when valgrind is not on PATH. The machine's load
// weighs on these figures: compare them within one run of the benchmark.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "clock.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const char *const kMatmul = MATMUL_PATH;
const char *const kSize = "96";
enum { RUNS = 3 };

// Starts argv with stdout and stderr on /dev/null; log_fd, when not -1,
// stays open in the child (the pipe valgrind writes its trace to).
pid_t start(const std::vector<std::string> &args, int log_fd) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    if (log_fd >= 0) dup2(log_fd, 3);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool finished_well(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> lackey(const char *log) {
  return {"valgrind", "--tool=lackey", "--trace-mem=yes", log, kMatmul, kSize};
}

// Seconds of one run of args; negative when it failed.
double run_alone(const std::vector<std::string> &args) {
  double t0 = now_seconds();
  pid_t pid = start(args, -1);
  bool ok = finished_well(pid);
  return ok ? now_seconds() - t0 : -1;
}

// Seconds of valgrind writing its trace to a pipe that is emptied in large
// reads and thrown away (sleeping a millisecond after a short read, as
// vantle-sim's reader does, so that the writer is not woken per line).
double run_into_discarding_pipe() {
  int p[2];
  if (pipe(p) != 0) return -1;
  fcntl(p[0], F_SETPIPE_SZ, 1 << 20);
  double t0 = now_seconds();
  pid_t pid = start(lackey("--log-fd=3"), p[1]);
  close(p[1]);
  static char buffer[1 << 20];
  ssize_t n;
  while ((n = read(p[0], buffer, sizeof buffer)) > 0)
    if (n < (1 << 16)) {
      timespec pause = {0, 1000000};
      nanosleep(&pause, nullptr);
    }
  close(p[0]);
  bool ok = finished_well(pid);
  return ok ? now_seconds() - t0 : -1;
}

// Keeps the best (lowest) time; false when the run failed.
bool keep_best(double t, double *best) {
  if (t < 0) return false;
  if (t < *best) *best = t;
  return true;
}

}  // namespace

int main() {
  if (system("command -v valgrind > /dev/null 2>&1") != 0) {
    printf("bench_live: valgrind is not on PATH; live tracing not measured\n");
    return 0;
  }
  std::vector<std::string> sim = {kSim, "-trace:refs", "data", "-cache:opts",
                                  "-a4 -b8 -n2 -l5", "-redir:prog", "/dev/null",
                                  kMatmul, kSize};
  std::vector<std::string> sim_valgrind = sim;
  sim_valgrind.insert(sim_valgrind.begin() + 1, {"-trace:tracer", "valgrind"});
  // Rounds of the four, so that a load that comes and goes on the
  // machine weighs on each alike.
  double alone = 1e30, piped = 1e30, under_valgrind = 1e30, live = 1e30;
  for (int i = 0; i < RUNS; i++)
    if (!keep_best(run_alone(lackey("--log-file=/dev/null")), &alone) ||
        !keep_best(run_into_discarding_pipe(), &piped) ||
        !keep_best(run_alone(sim_valgrind), &under_valgrind) ||
        !keep_best(run_alone(sim), &live)) {
      fprintf(stderr, "bench_live: a run failed\n");
      return 1;
    }
  printf("bench_live: matmul %s traced live, wall seconds, best of %d\n",
         kSize, RUNS);
  printf("  valgrind lackey, trace to /dev/null           %6.2f s\n", alone);
  printf("  valgrind lackey, trace to a discarding pipe   %6.2f s  %.2fx\n",
         piped, piped / alone);
  printf("  vantle-sim live under valgrind                %6.2f s  %.2fx\n",
         under_valgrind, under_valgrind / alone);
  printf("  vantle-sim live, default tracer               %6.2f s  %.2fx\n",
         live, live / alone);
  return 0;
}
