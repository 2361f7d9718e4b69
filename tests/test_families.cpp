// Several families in one run of vantle-sim: every family's rows must be
// those of the same family run alone, whatever the input, the reference
// kinds, -trace:max and the -out: format; a family that cannot run or dies
// ends the whole run with a line naming it and no -out: file.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const char *const kMatmul = MATMUL_PATH;

// A din trace of n references of every kind (0 load, 1 store, 2 fetch)
// over a few thousand lines.
std::string din_trace(int n, uint64_t seed) {
  std::string text;
  uint64_t x = seed * 2654435761u + 7;
  for (int i = 0; i < n; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t r = static_cast<uint32_t>(x >> 33);
    char line[64];
    snprintf(line, sizeof line, "%u %x\n", r % 3, (r >> 4) % 40000 * 4);
    text += line;
  }
  return text;
}

// The kinds prefix of a family ("data: -Csa" gives data), or all.
std::string kinds_of(const std::string &family) {
  size_t colon = family.find(':');
  return colon == std::string::npos ? "all" : family.substr(0, colon);
}

std::string words_of(const std::string &family) {
  size_t colon = family.find(':');
  return colon == std::string::npos ? family : family.substr(colon + 2);
}

// Prints, for a JSON file of one family or several, each family's kinds,
// references and rows, so that the two shapes compare.
const char kJsonDigest[] =
    "import json, sys\n"
    "d = json.load(open(sys.argv[1]))\n"
    "for f in d.get('families', [d]):\n"
    "  print(f['reference_kinds'], f['references'], f['family'])\n"
    "  for r in f['rows']: print(' ', sorted(r.items()))\n";

class FamiliesTest : public ScratchDirTest {
 protected:
  Outcome run(const std::vector<std::string> &args, const Launch &l = {}) {
    std::vector<std::string> all{"-progress", "false"};
    all.insert(all.end(), args.begin(), args.end());
    return run_program(kSim, all, l);
  }

  std::string json_digest(const std::string &file) {
    write_file(path("digest.py"), kJsonDigest);
    std::string cmd = "python3 '" + path("digest.py") + "' '" + file + "'";
    FILE *p = popen(cmd.c_str(), "r");
    std::string text;
    char buf[4096];
    size_t n;
    while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    EXPECT_EQ(p ? pclose(p) : -1, 0) << file;
    return text;
  }

  // Runs the families together and one at a time on input (a file, "-"
  // for stdin from stdin_file, or a program and its arguments) and compares
  // every CSV row and JSON family.
  void expect_same_as_alone(const std::vector<std::string> &families,
                            const std::vector<std::string> &extra,
                            const std::vector<std::string> &input,
                            const char *stdin_file = nullptr) {
    Launch launch;
    launch.input = stdin_file;
    std::vector<std::string> args;
    for (const auto &f : families) args.insert(args.end(), {"-cache:opts", f});
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-out:csv", path("all.csv"), "-out:json",
                             path("all.json")});
    args.insert(args.end(), input.begin(), input.end());
    Outcome together = run(args, launch);
    ASSERT_EQ(together.status, 0) << together.err;
    std::vector<std::string> got = lines_of(read_file(path("all.csv")));
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].rfind("family,organisation,policy,", 0), 0u) << got[0];
    std::vector<std::string> want{got[0]};
    std::string want_json;
    for (size_t i = 0; i < families.size(); i++) {
      std::vector<std::string> one{"-trace:refs", kinds_of(families[i]),
                                   "-cache:opts", words_of(families[i])};
      one.insert(one.end(), extra.begin(), extra.end());
      one.insert(one.end(), {"-out:csv", path("one.csv"), "-out:json",
                             path("one.json")});
      one.insert(one.end(), input.begin(), input.end());
      Outcome alone = run(one, launch);
      ASSERT_EQ(alone.status, 0) << families[i] << ": " << alone.err;
      std::vector<std::string> rows = lines_of(read_file(path("one.csv")));
      for (size_t r = 1; r < rows.size(); r++)
        want.push_back(families[i] + "," + rows[r]);
      want_json += json_digest(path("one.json"));
      // Each family's report follows its own line, in the order given.
      std::string intro = "sim: family " + std::to_string(i + 1) + " of " +
                          std::to_string(families.size()) + ": `" +
                          families[i] + "': ";
      EXPECT_TRUE(has(together.err, intro)) << intro;
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(json_digest(path("all.json")), want_json);
    EXPECT_EQ(count(together.err, "** end of simulation **"),
              static_cast<int>(families.size()));
  }

  // Leftover hidden files of an -out: file (none may stay).
  int hidden_files() {
    int n = 0;
    DIR *d = opendir(dir_.c_str());
    while (dirent *e = d ? readdir(d) : nullptr)
      if (e->d_name[0] == '.' && strcmp(e->d_name, ".") &&
          strcmp(e->d_name, ".."))
        n++;
    if (d) closedir(d);
    return n;
  }
};

// The process vantle-sim started last: the last family's.
pid_t youngest_child(pid_t pid) {
  std::string children = read_file("/proc/" + std::to_string(pid) + "/task/" +
                                   std::to_string(pid) + "/children");
  size_t last = children.find_last_not_of(' ');
  if (last == std::string::npos) return -1;
  size_t first = children.rfind(' ', last);
  return atoi(children.c_str() + (first == std::string::npos ? 0 : first + 1));
}

const std::vector<std::string> kMixed = {
    "-Csa -Rlru -a2 -b6 -n2", "-Csa -Ropt -a2 -b6 -n2",
    "inst: -Cfa -Rlru -M8192 -i256", "data: -Cdm -c12 -a4 -b7",
    "store: -Cfa -Ropt -M4096 -i512"};

TEST_F(FamiliesTest, EachFamilyGetsWhatItWouldGetAlone) {
  write_file(path("t.din"), din_trace(20000, 1));
  expect_same_as_alone(kMixed, {}, {path("t.din")});
  expect_same_as_alone(kMixed, {}, {"-"}, path("t.din").c_str());
  // -trace:max holds per family: each takes its first 700 references.
  expect_same_as_alone(kMixed, {"-trace:max", "700"}, {path("t.din")});
}

TEST_F(FamiliesTest, LiveProgramUnderQemuGivesEachFamilyWhatItWouldAlone) {
  if (system("command -v qemu-x86_64 >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "qemu-user is not installed";
  // Under QEMU a program's references are the same from run to run.
  expect_same_as_alone({"inst: -Csa -a4 -b6 -n1 -l5",
                        "data: -Csa -a4 -b6 -n1 -l5", "-Cfa -Ropt -M4096"},
                       {"-trace:tracer", "qemu"}, {kMatmul, "16"});
}

// One folding of 64-bit addresses serves every family: its regions must
// keep the set bits of the family that needs the most (here the
// set-associative one, 2^16 bytes), or that family's rows would differ.
TEST_F(FamiliesTest, WideAddressesFoldForTheMostDemandingFamily) {
  std::string hex;
  uint64_t x = 99;
  for (int i = 0; i < 20000; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint64_t place = (x >> 40) % 3000 * 0x9E3779B97F4Aull & 0xffffffff0000ull;
    char line[32];
    snprintf(line, sizeof line, "%llx\n",
             static_cast<unsigned long long>(place + (x >> 8) % 0x40000));
    hex += line;
  }
  write_file(path("t.hex"), hex);
  expect_same_as_alone({"-Cfa -Rlru -l4 -M2048 -i256", "-Csa -a4 -b10 -l6",
                        "-Cdm -a2 -b5 -c10"},
                       {}, {path("t.hex")});
}

TEST_F(FamiliesTest, FamilyThatCannotRunStopsTheRunBeforeItStarts) {
  write_file(path("t.din"), din_trace(100, 2));
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-cache:opts", "-Csa", "-cache:opts", "-Cxx -a3"},
       "error: -cache:opts family 2 of 2 (`-Cxx -a3') cannot run"},
      {{"-cache:opts", "-Csa", "-cache:opts", "-Csa -a0 -b0 -n24"},
       "error: -cache:opts family 2 of 2 (`-Csa -a0 -b0 -n24') cannot run"},
      {{"-cache:opts", "code: -Csa", "-cache:opts", "-Cdm"},
       "error: -cache:opts `code: -Csa': its reference kinds must be"},
      {{"-cache:opts", "all junk: -Csa", "-cache:opts", "-Cdm"},
       "error: -cache:opts `all junk: -Csa': its reference kinds must be"},
      {{"-cache:opts", "-Cdm", "-cache:opts", "-Csa -x5"},
       "error: -cache:opts: `-x5' is not a cache option word"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-out:csv", path("r.csv"), path("t.din")});
    Outcome o = run(args);
    SCOPED_TRACE(c.message);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(has(o.err, c.message)) << o.err;
    EXPECT_FALSE(has(o.err, "simulation statistics")) << o.err;
    EXPECT_EQ(access(path("r.csv").c_str(), F_OK), -1);
  }
  // A trace without kinds cannot feed a family that asks for some.
  write_file(path("t.hex"), "0x10\n0x20\n");
  Outcome o = run({"-cache:opts", "-Csa", "-cache:opts", "inst: -Csa",
                   path("t.hex")});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "`inst: -Csa' needs reference kinds")) << o.err;
}

// SIGUSR1 asks every family for an interim report, in order, and the run
// goes on; SIGUSR2 ends every family with its final report. A killed
// family's process ends the run, with every -out: file left as it was.
TEST_F(FamiliesTest, SignalsAndAKilledFamilyHoldForTheWholeRun) {
  signal(SIGPIPE, SIG_IGN);
  const std::vector<const char *> two = {
      "-cache:opts", "-Csa -a2 -b4", "-cache:opts", "store: -Cfa -Ropt -M1024",
      "-out:csv", nullptr};
  std::string csv = path("r.csv");
  for (const char *signal_sent : {"SIGUSR1+SIGUSR2", "SIGKILL"}) {
    SCOPED_TRACE(signal_sent);
    unlink(path("fifo").c_str());
    ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
    write_file(csv, "an earlier run's file\n");
    FifoRun r{kSim};
    std::vector<const char *> options = two;
    options.back() = csv.c_str();
    r.start(path("fifo"), din_trace(300, 5), options);
    if (!strcmp(signal_sent, "SIGKILL")) {
      pid_t second = youngest_child(r.pid);
      ASSERT_GT(second, 0);
      kill(second, SIGKILL);
      EXPECT_TRUE(r.read_until("was killed by signal 9")) << r.err;
      EXPECT_EQ(r.finish(), 1);
      EXPECT_TRUE(has(r.err, "sim: family 2 of 2 (`store: -Cfa -Ropt "
                             "-M1024') was killed by signal 9 (Killed)"));
      EXPECT_EQ(read_file(csv), "an earlier run's file\n");
      continue;
    }
    kill(r.pid, SIGUSR1);
    EXPECT_TRUE(r.read_until("sim: family 2 of 2: `store: -Cfa -Ropt -M1024'"
                             "\nsim: interim report after "))
        << r.err;
    kill(r.pid, SIGUSR2);
    EXPECT_TRUE(r.read_until("run ended early by SIGUSR2")) << r.err;
    EXPECT_EQ(r.finish(), 0);
    EXPECT_EQ(count(r.err, "** end of simulation **"), 4) << r.err;
    EXPECT_TRUE(has(r.err, "sim: family 1 of 2: `-Csa -a2 -b4': 300 "
                           "references fed"));
    EXPECT_EQ(lines_of(read_file(csv)).size(), 1u + 3 * 2 + 2);
  }
}

// Writes text to the FIFO until vantle-sim has read nothing for 3 s (a
// family's full ring holds it up) or all of it is in; false when all is.
bool feed_until_held_up(FILE *fifo, const std::string &text) {
  int fd = fileno(fifo);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  for (size_t at = 0; at < text.size();) {
    ssize_t put = write(fd, text.data() + at, text.size() - at);
    if (put > 0) {
      at += static_cast<size_t>(put);
      continue;
    }
    pollfd room = {fd, POLLOUT, 0};
    if (poll(&room, 1, 3000) == 0) return true;
  }
  return false;
}

// A family's process that is stopped (kill -STOP) never wedges the run:
// SIGUSR1 gets the others' interim reports and a line naming it, and,
// with its ring full, SIGINT ends the run: the others' final reports, a
// line naming it, status 1 and no -out: file.
TEST_F(FamiliesTest, AStoppedFamilyNeverWedgesTheRun) {
  signal(SIGPIPE, SIG_IGN);
  std::string csv = path("r.csv"), fifo = path("fifo");
  write_file(csv, "an earlier run's file\n");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FifoRun r{kSim};
  r.start(fifo, din_trace(300, 5),
          {"-cache:opts", "-Csa -a2 -b4", "-cache:opts", "data: -Cfa -M1024",
           "-out:csv", csv.c_str()});
  pid_t second = youngest_child(r.pid);
  ASSERT_GT(second, 0);
  kill(second, SIGSTOP);
  kill(r.pid, SIGUSR1);
  EXPECT_TRUE(r.read_until("sim: family 2 of 2 (`data: -Cfa -M1024') did "
                           "not answer; its interim report is left out\n"))
      << r.err;
  // How many of the 300 are fed by then depends on the machine's load.
  EXPECT_TRUE(has(r.err, "sim: family 1 of 2: `-Csa -a2 -b4'\nsim: interim "
                         "report after ")) << r.err;
  feed_until_held_up(r.input, din_trace(3000000, 6));
  kill(r.pid, SIGINT);
  EXPECT_TRUE(r.read_until("sim: family 2 of 2 (`data: -Cfa -M1024') did "
                           "not answer for 5 s; it was killed\n")) << r.err;
  int wstatus = 0;
  EXPECT_TRUE(r.exits(&wstatus));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 1) << wstatus;
  r.read_until("\x01never");
  fclose(r.input);
  close(r.err_fd);
  EXPECT_TRUE(has(r.err, "run ended early by SIGINT")) << r.err;
  EXPECT_EQ(count(r.err, "** end of simulation **"), 2) << r.err;
  EXPECT_EQ(read_file(csv), "an earlier run's file\n");
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLimitsWork = false;
#else
constexpr bool kLimitsWork = true;
#endif

// What cannot be made for a family (descriptors, shared memory) ends the
// run with a message naming the family and the thing.
TEST_F(FamiliesTest, WhatCannotBeMadeForAFamilyIsNamed) {
  write_file(path("t.din"), din_trace(100, 3));
  std::vector<std::string> args{"-c", "ulimit -n 30; exec \"$0\" \"$@\"",
                                kSim};
  for (int i = 0; i < 20; i++) args.insert(args.end(), {"-cache:opts", "-Cdm"});
  args.push_back(path("t.din"));
  Outcome o = run_program("/bin/sh", args);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "of 20 (`-Cdm'): cannot make its ")) << o.err;
  EXPECT_TRUE(has(o.err, ": Too many open files\n")) << o.err;
  EXPECT_FALSE(has(o.err, "fatal: Too many open files")) << o.err;
  if (!kLimitsWork) return;  // address-space limits clash with ASan
  Launch launch;
  launch.address_space = size_t{150} << 20;  // rings for some families only
  o = run_program(kSim, std::vector<std::string>(args.begin() + 3, args.end()),
                  launch);
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "of 20 (`-Cdm'): cannot make its ring of shared "
                         "memory: Cannot allocate memory\n")) << o.err;
}

TEST_F(FamiliesTest, FamilyRunningOutOfMemoryEndsTheRunWithoutOutputs) {
  if (!kLimitsWork) GTEST_SKIP() << "address-space limits clash with ASan";
  // Two million distinct lines: the fully associative OPT family needs
  // more than the address space given (about 150 MiB); the small LRU
  // family does not.
  std::string words;
  for (uint32_t i = 0; i < 2000000; i++) {
    uint32_t addr = i * 16;
    words.append(reinterpret_cast<const char *>(&addr), 4);
  }
  write_file(path("t.bin"), words);
  write_file(path("r.csv"), "an earlier run's file\n");
  Launch launch;
  launch.address_space = size_t{120} << 20;
  Outcome o = run({"-cache:opts", "-Csa -a4 -b6", "-cache:opts",
                   "-Cfa -Ropt -M16777216", "-trace:format", "bin32",
                   "-out:csv", path("r.csv"), path("t.bin")},
                  launch);
  EXPECT_EQ(o.signal, 0);
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_TRUE(has(o.err, "fatal: out of virtual memory")) << o.err;
  EXPECT_TRUE(has(o.err, "sim: family 2 of 2 (`-Cfa -Ropt -M16777216') "
                         "failed with exit status 1")) << o.err;
  EXPECT_TRUE(has(o.err, "error: a family failed; no -out: file is written"));
  EXPECT_EQ(read_file(path("r.csv")), "an earlier run's file\n");
  EXPECT_EQ(hidden_files(), 0);
}

TEST_F(FamiliesTest, LiveProgramUnderValgrindFeedsEachFamilyItsKinds) {
  if (system("command -v valgrind >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "valgrind is not installed";
  // Under valgrind a program's addresses differ from run to run, so the
  // families are checked against the reference counts of the same run.
  Outcome o = run({"-trace:tracer", "valgrind", "-cache:opts",
                   "inst: -Csa -a4 -b6 -l5", "-cache:opts",
                   "data: -Csa -a4 -b6 -l5", "-cache:opts", "-Cdm -c14 -a4 -b8",
                   kMatmul, "12"});
  ASSERT_EQ(o.status, 0) << o.err;
  auto stat = [&](const std::string &name) {
    size_t at = o.err.find("\n" + name + " ");
    return at == std::string::npos ? -1
                                   : atoll(o.err.c_str() + at + name.size() + 1);
  };
  auto fed = [&](int family) {
    std::string intro = "sim: family " + std::to_string(family) + " of 3: `";
    size_t at = o.err.rfind(intro);
    at = o.err.find("': ", at);
    return at == std::string::npos ? -1 : atoll(o.err.c_str() + at + 3);
  };
  long long inst = stat("sim_num_insn");
  long long data = stat("sim_num_loads") + stat("sim_num_stores") +
                   stat("sim_num_modifies");
  EXPECT_GT(inst, 0);
  EXPECT_EQ(fed(1), inst);
  EXPECT_EQ(fed(2), data);
  EXPECT_EQ(fed(3), inst + data);
}

}  // namespace
