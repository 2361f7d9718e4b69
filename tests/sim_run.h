// Runs vantle-sim as a user does, for the tests: a scratch directory per
// test, the program in a subprocess with its output in files, and small
// file helpers.
#ifndef VANTLE_TESTS_SIM_RUN_H_
#define VANTLE_TESTS_SIM_RUN_H_

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/naive_sim.h"

struct Outcome {
  int status = -1;  // exit status, -1 when a signal ended the process
  int signal = 0;   // the signal that ended it, if any
  std::string out, err;
};

// Everything left to read from f.
inline std::string read_stream(FILE *f) {
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  return text;
}

inline std::string read_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string text = read_stream(f);
  fclose(f);
  return text;
}

// What a shell command writes on its standard output ("" when it cannot
// be run).
inline std::string command_output(const std::string &command) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return "";
  std::string text = read_stream(p);
  pclose(p);
  return text;
}

inline void write_file(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

inline int count(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    n++;
  return n;
}

// The lines of text, without their line ends.
inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

inline bool has(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

// Sets, associativity, references and hits of each set-associative LRU row
// of an -out:csv file.
inline std::vector<NaiveRow> read_results(const std::string &file) {
  std::vector<NaiveRow> rows;
  std::string text = read_file(file);
  size_t at = 0;
  while (at < text.size()) {
    size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl - at);
    at = nl == std::string::npos ? text.size() : nl + 1;
    unsigned line_size, sets, assoc;
    unsigned long long size, refs, hits;
    if (sscanf(line.c_str(), "set-associative,LRU,%u,%u,%u,%llu,%llu,%llu,",
               &line_size, &sets, &assoc, &size, &refs, &hits) == 6)
      rows.push_back({sets, assoc, refs, hits});
  }
  return rows;
}

// How a child starts: its standard input (default /dev/null), extra
// environment, and an address-space cap in bytes (0: none).
struct Launch {
  const char *input = nullptr;
  const char *path_env = nullptr;   // replaces PATH
  const char *limit_env = nullptr;  // VANTLE_TEST_REFERENCE_LIMIT
  size_t address_space = 0;
};

// A fixture with a scratch directory that is removed after the test.
class ScratchDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/vantle-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string cmd = "chmod -R u+rwx '" + dir_ + "'; rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  std::string path(const std::string &name) { return dir_ + "/" + name; }

  // Runs program with args; its stdout and stderr land in the outcome.
  Outcome run_program(const char *program,
                      const std::vector<std::string> &args,
                      const Launch &launch = {}) {
    std::string out = path("stdout.txt"), err = path("stderr.txt");
    pid_t pid = fork();
    if (pid == 0) {
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int in = open(launch.input ? launch.input : "/dev/null", O_RDONLY);
      dup2(o, 1);
      dup2(e, 2);
      dup2(in, 0);
      if (launch.path_env) setenv("PATH", launch.path_env, 1);
      if (launch.limit_env)
        setenv("VANTLE_TEST_REFERENCE_LIMIT", launch.limit_env, 1);
      if (launch.address_space) {
        rlimit r{launch.address_space, launch.address_space};
        setrlimit(RLIMIT_AS, &r);
      }
      std::vector<char *> argv{const_cast<char *>(program)};
      for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(program, argv.data());
      _exit(127);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    Outcome o;
    o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    o.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    o.out = read_file(out);
    o.err = read_file(err);
    return o;
  }

  std::string dir_;
};

// Runs vantle-sim (program) on a FIFO fed by the test, so that a signal
// arrives while the run waits for input; waits for the configuration echo
// first (the handlers are in place by then).
struct FifoRun {
  explicit FifoRun(const char *program) : program(program) {}

  const char *program;
  pid_t pid = -1;
  int err_fd = -1;
  FILE *input = nullptr;
  std::string err;

  // Starts vantle-sim with args, its stderr to err.
  void launch(const std::vector<const char *> &args) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    pid = fork();
    if (pid == 0) {
      dup2(p[1], 2);
      close(p[0]);
      close(p[1]);
      std::vector<const char *> argv{program, "-progress", "false"};
      argv.insert(argv.end(), args.begin(), args.end());
      argv.push_back(nullptr);
      execv(program, const_cast<char **>(argv.data()));
      _exit(127);
    }
    close(p[1]);
    err_fd = p[0];
  }
  // Starts vantle-sim with options on the FIFO and writes first_lines to it.
  void start(const std::string &fifo, const std::string &first_lines,
             std::vector<const char *> options = {}) {
    options.push_back(fifo.c_str());
    launch(options);
    input = fopen(fifo.c_str(), "w");
    ASSERT_NE(input, nullptr);
    fputs(first_lines.c_str(), input);
    fflush(input);
    read_until("references fed");
  }
  // Reads stderr until marker shows; false when it has not within 20 s
  // (a run that ignores a signal waits far longer than that).
  bool read_until(const std::string &marker) {
    char buf[4096];
    for (int waits = 0; err.find(marker) == std::string::npos; waits++) {
      pollfd p = {err_fd, POLLIN, 0};
      if (waits == 200 || poll(&p, 1, 100) < 0) return false;
      if (p.revents == 0) continue;
      ssize_t n = read(err_fd, buf, sizeof buf);
      if (n <= 0) return err.find(marker) != std::string::npos;
      err.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  // Whether the run exits within 20 s (a run that ignores a signal waits far
  // longer); *wstatus gets its status.
  bool exits(int *wstatus) {
    for (int waits = 0; waits < 200; waits++) {
      if (waitpid(pid, wstatus, WNOHANG) == pid) return true;
      usleep(100000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, wstatus, 0);
    return false;
  }
  int finish() {
    if (input) fclose(input);
    input = nullptr;
    read_until("\x01never");
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    close(err_fd);
    return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  }
};

#endif  // VANTLE_TESTS_SIM_RUN_H_
