// Runs a piece of test code in a child process of its own, because the
// library's state is process-wide and its failures end the process. The
// child's stdout and stderr are captured, and it can send bytes back.
#ifndef VANTLE_TESTS_ISOLATE_H_
#define VANTLE_TESTS_ISOLATE_H_

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "libvantle/libvantle.h"

struct ChildOutcome {
  int status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;   // the signal that killed it, if any
  std::string out;  // everything written to stdout
  std::string err;  // everything written to stderr
  std::string data; // bytes sent with send_to_parent
};

namespace isolate_detail {
inline FILE *&data_channel() {
  static FILE *channel = nullptr;
  return channel;
}

inline std::string slurp(FILE *f) {
  std::string text;
  fflush(f);
  rewind(f);
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}
}  // namespace isolate_detail

// Sends bytes from the child to the parent's ChildOutcome::data.
inline void send_to_parent(const void *bytes, size_t n) {
  if (n == 0) return;
  fwrite(bytes, 1, n, isolate_detail::data_channel());
}

// Runs body in a forked child; the child exits 0 when body returns.
inline ChildOutcome run_isolated(const std::function<void()> &body) {
  FILE *out = tmpfile(), *err = tmpfile(), *data = tmpfile();
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fileno(out), 1);
    dup2(fileno(err), 2);
    isolate_detail::data_channel() = data;
    body();
    fflush(stdout);
    fflush(stderr);
    fflush(data);
    _exit(0);
  }
  ChildOutcome outcome;
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  if (WIFEXITED(wstatus)) outcome.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) outcome.signal = WTERMSIG(wstatus);
  outcome.out = isolate_detail::slurp(out);
  outcome.err = isolate_detail::slurp(err);
  outcome.data = isolate_detail::slurp(data);
  return outcome;
}

// Calls vantle_init with option words given as one blank-separated string.
inline void init_with(const std::string &words) {
  static std::vector<std::string> storage;
  static std::vector<char *> argv;
  storage.clear();
  argv.clear();
  size_t i = 0;
  while (i < words.size()) {
    size_t j = words.find(' ', i);
    if (j == std::string::npos) j = words.size();
    if (j > i) storage.push_back(words.substr(i, j - i));
    i = j + 1;
  }
  for (auto &w : storage) argv.push_back(w.data());
  vantle_init(static_cast<int>(argv.size()), argv.data());
}

// In the child: sends every vantle_results row to the parent.
inline void send_results() {
  int n = vantle_results(nullptr, 0);
  std::vector<vantle_result> rows(n);
  if (n) vantle_results(rows.data(), n);
  send_to_parent(rows.data(), rows.size() * sizeof(vantle_result));
}

// In the parent: the rows that send_results sent.
inline std::vector<vantle_result> received_results(const ChildOutcome &o) {
  std::vector<vantle_result> rows(o.data.size() / sizeof(vantle_result));
  if (!rows.empty()) memcpy(rows.data(), o.data.data(), o.data.size());
  return rows;
}

// Runs a whole simulation in a child: init with words, feed every address,
// print the final report to stdout, and send back the results.
inline ChildOutcome simulate(const std::string &words,
                             const std::vector<md_addr_t> &trace) {
  return run_isolated([&] {
    init_with(words);
    for (md_addr_t a : trace) vantle_access(a);
    vantle_stats(stdout, 0);
    send_results();
  });
}

#endif  // VANTLE_TESTS_ISOLATE_H_
