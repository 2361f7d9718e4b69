// Running a program from a benchmark: finding it on PATH, timing one run
// with its output redirected, and reading a statistic of vantle-sim's
// from the error stream it left in a file.
#ifndef VANTLE_BENCH_CHILD_RUN_H_
#define VANTLE_BENCH_CHILD_RUN_H_

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "clock.h"

// The full name of program name on PATH, or "" when it is not there.
inline std::string on_path(const char *name) {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "";
  for (size_t at = 0; at <= dirs.size();) {
    size_t colon = dirs.find(':', at);
    if (colon == std::string::npos) colon = dirs.size();
    std::string full = dirs.substr(at, colon - at) + "/" + name;
    if (colon > at && access(full.c_str(), X_OK) == 0) return full;
    at = colon + 1;
  }
  return "";
}

// Runs argv with stdout to /dev/null, stderr to err_file and descriptor 3
// to fd3_file when given; returns the wall time, or -1 when it failed.
inline double timed_run(const std::vector<std::string> &args,
                        const std::string &err_file,
                        const char *fd3_file = nullptr) {
  double start = now_seconds();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(null, 1);
    dup2(err, 2);
    if (fd3_file) dup2(open(fd3_file, O_WRONLY | O_CREAT | O_TRUNC, 0644), 3);
    std::vector<char *> argv;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double seconds = now_seconds() - start;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// The number after the last prefix in file (digits with thousands'
// commas, as valgrind writes them, or plain), or -1. With at_start, a
// prefix counts only at the start of a line and followed by a blank.
inline long long number_after(const std::string &file, const char *prefix,
                              bool at_start = false) {
  FILE *f = fopen(file.c_str(), "r");
  if (!f) return -1;
  char line[512];
  long long value = -1;
  size_t len = strlen(prefix);
  while (fgets(line, sizeof line, f)) {
    const char *at = strstr(line, prefix);
    if (!at || (at_start && (at != line || line[len] != ' '))) continue;
    value = 0;
    for (at += len; *at == ' '; at++) {
    }
    for (; (*at >= '0' && *at <= '9') || *at == ','; at++)
      if (*at != ',') value = value * 10 + (*at - '0');
  }
  fclose(f);
  return value;
}

// The value of statistic name in a vantle-sim error stream file, or -1.
inline long long stat_value(const std::string &file, const char *name) {
  return number_after(file, name, true);
}

#endif  // VANTLE_BENCH_CHILD_RUN_H_
