// vantle-sim on hostile input, run as a user runs it (a subprocess): the
// reference limit, broken and odd trace files, a traced program killed by
// a signal, and exhausted memory. Every case must end with a clear message,
// a defined exit status and the exact report of what was read before the
// fault; expected hits come from the naive model in tests/reference/.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/naive_sim.h"
#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
// The same program built so that VANTLE_TEST_REFERENCE_LIMIT lowers the
// library's reference limit.
const char *const kSimTestLimit = VANTLE_SIM_TESTLIMIT_PATH;

long long stat_value(const std::string &err, const std::string &name) {
  size_t at = err.find("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return atoll(err.c_str() + at + 1 + name.size());
}

const char *const kFamily = "-a1 -b3 -n1 -l4";  // 2..8 sets, 1..2 ways

void expect_family(const std::vector<NaiveRow> &got,
                   const std::vector<uint64_t> &trace) {
  std::vector<NaiveRow> want = naive_family(trace, 1, 3, 1, 4);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].references, want[i].references) << i;
    EXPECT_EQ(got[i].hits, want[i].hits) << "sets " << want[i].sets
                                         << " ways " << want[i].associativity;
  }
}

// A deterministic stream of addresses over a few dozen lines.
std::vector<uint64_t> make_addresses(int n, uint64_t seed) {
  std::vector<uint64_t> out;
  uint64_t x = seed;
  for (int i = 0; i < n; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    out.push_back(0x1000 + ((x >> 40) % 96) * 8);
  }
  return out;
}

// One line per address, printed with a format taking the address.
std::string as_lines(const std::vector<uint64_t> &addrs, const char *format) {
  std::string text;
  char line[64];
  for (uint64_t a : addrs) {
    snprintf(line, sizeof line, format, static_cast<unsigned long long>(a));
    text += line;
  }
  return text;
}

std::string as_din(const std::vector<uint64_t> &addrs) {
  return as_lines(addrs, "0 %llx\n");
}

std::vector<uint64_t> first(const std::vector<uint64_t> &v, size_t n) {
  return std::vector<uint64_t>(v.begin(), v.begin() + n);
}

class HostileTest : public ScratchDirTest {
 protected:
  // Runs program with args; limit lowers the reference limit (test build
  // only) when non-null; address_space, when non-zero, caps the child's
  // address space in bytes.
  Outcome run(const char *program, const std::vector<std::string> &args,
              const char *limit = nullptr, size_t address_space = 0) {
    Launch launch;
    launch.limit_env = limit;
    launch.address_space = address_space;
    return run_program(program, args, launch);
  }

  // vantle-sim on one trace with the test family and a results file.
  Outcome run_trace(const std::string &file,
                    std::vector<std::string> extra = {},
                    const char *limit = nullptr) {
    std::vector<std::string> args{"-cache:opts", kFamily, "-out:csv",
                                  path("r.txt")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file);
    return run(limit ? kSimTestLimit : kSim, args, limit);
  }
};

const char kLimitMessage[] = "sim: reference limit of ";

// ---- The run's own streams ------------------------------------------------

// With the error stream closed by the caller, a file the run opens must
// not take its descriptor: the report would land in the -out: file.
TEST_F(HostileTest, ClosedErrorStreamNeverCatchesTheReport) {
  std::vector<uint64_t> addrs = make_addresses(400, 3);
  write_file(path("t.din"), as_din(addrs));
  Outcome o = run_program("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&-", kSim,
                                      "-cache:opts", kFamily, "-out:csv",
                                      path("r.txt"), path("t.din")});
  EXPECT_EQ(o.status, 0);
  std::string csv = read_file(path("r.txt"));
  EXPECT_EQ(csv.rfind("organisation,", 0), 0u) << csv.substr(0, 300);
  EXPECT_FALSE(has(csv, "sim:"));
  expect_family(read_results(path("r.txt")), addrs);
}

// A report that cannot be written whole fails the run, said where it can
// still be read: on standard output when the error stream is full, on the
// error stream the run started with when -redir:sim's file is.
TEST_F(HostileTest, AReportThatCannotBeWrittenFailsTheRun) {
  write_file(path("t.din"), as_din(make_addresses(400, 4)));
  Outcome full = run_program("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>/dev/full",
                                         kSim, path("t.din")});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.out, "error: the report on the error stream is cut short: "
                      "No space left on device\n");
  Outcome redirected = run(kSim, {"-redir:sim", "/dev/full", path("t.din")});
  EXPECT_EQ(redirected.status, 1);
  EXPECT_EQ(redirected.err, "error: -redir:sim: the report in `/dev/full' is "
                            "cut short: No space left on device\n");
}

// ---- The reference limit ------------------------------------------------

TEST_F(HostileTest, LimitStopsTheRunWithAnExactReport) {
  std::vector<uint64_t> addrs = make_addresses(500, 1);
  write_file(path("t.hex"), as_lines(addrs, "%llx\n"));
  write_file(path("t.din"), as_din(addrs));
  for (const char *file : {"t.hex", "t.din"}) {
    SCOPED_TRACE(file);
    Outcome o = run_trace(path(file), {"-out:json", path("r.json")}, "321");
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "sim: reference limit of 321 reached; the rest "
                           "of the input is not simulated\n")) << o.err;
    EXPECT_TRUE(has(read_file(path("r.json")),
                    "\n  \"ended_early\": \"reference limit\",\n"));
    EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 321);
    EXPECT_EQ(stat_value(o.err, "sim_num_refs"), 321);
    // vantle-sim stops before the library would have to ignore anything.
    EXPECT_FALSE(has(o.err, "libvantle: reference limit")) << o.err;
    expect_family(read_results(path("r.txt")),
                  first(addrs, 321));
  }
}

TEST_F(HostileTest, LimitCountsOnlyTheReferencesFed) {
  // Fetch, load, fetch, store, fetch, load, load: with data references
  // only and a limit of 2, the load at line 6 is the first past the limit.
  write_file(path("t.din"),
             "2 100\n0 200\n2 104\n1 300\n2 108\n0 200\n0 400\n");
  Outcome o = run_trace(path("t.din"), {"-trace:refs", "data"}, "2");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, "sim: reference limit of 2 reached")) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 2);
  EXPECT_EQ(stat_value(o.err, "sim_num_refs"), 5);
  EXPECT_EQ(stat_value(o.err, "sim_num_insn"), 3);
  EXPECT_EQ(stat_value(o.err, "sim_num_loads"), 1);
  EXPECT_EQ(stat_value(o.err, "sim_num_stores"), 1);
  expect_family(read_results(path("r.txt")), {0x200, 0x300});
}

TEST_F(HostileTest, MaxAndLimitTogetherCountWhatWasRead) {
  // The same seven records with data references only. -trace:max stops
  // right after the reference that reaches it; the limit stops before the
  // first reference past it; when both are equal, -trace:max wins.
  write_file(path("t.din"),
             "2 100\n0 200\n2 104\n1 300\n2 108\n0 200\n0 400\n");
  struct Case {
    const char *max, *limit;
    bool message;
    long long fed, read, insn, loads, stores;
  } cases[] = {
      {"2", nullptr, false, 2, 4, 2, 1, 1},
      {"2", "2", false, 2, 4, 2, 1, 1},
      {"3", "2", true, 2, 5, 3, 1, 1},
      {"3", nullptr, false, 3, 6, 3, 2, 1},
      {"3", "4", false, 3, 6, 3, 2, 1},
      {"9", "3", true, 3, 6, 3, 2, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("max ") + c.max + ", limit " +
                 (c.limit ? c.limit : "none"));
    Outcome o = run_trace(path("t.din"),
                          {"-trace:refs", "data", "-trace:max", c.max},
                          c.limit);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(has(o.err, kLimitMessage), c.message) << o.err;
    EXPECT_EQ(stat_value(o.err, "sim_num_fed"), c.fed);
    EXPECT_EQ(stat_value(o.err, "sim_num_refs"), c.read);
    EXPECT_EQ(stat_value(o.err, "sim_num_insn"), c.insn);
    EXPECT_EQ(stat_value(o.err, "sim_num_loads"), c.loads);
    EXPECT_EQ(stat_value(o.err, "sim_num_stores"), c.stores);
  }
}

// With several families, -trace:max at the limit stops each family at its
// fill: the limit, which no family gets past, neither ends the run nor
// cuts short the family that waits longest for its references.
TEST_F(HostileTest, MaxAtTheLimitGivesEveryFamilyItsFill) {
  write_file(path("t.din"),
             "2 100\n0 200\n2 104\n1 300\n2 108\n0 200\n0 400\n");
  std::string inst = std::string("inst: ") + kFamily;
  Outcome o = run(kSimTestLimit,
                  {"-trace:max", "3", "-cache:opts", kFamily, "-cache:opts",
                   inst, "-out:csv", path("r.csv"), path("t.din")},
                  "3");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, kLimitMessage)) << o.err;
  EXPECT_TRUE(has(o.err, "sim: family 2 of 2: `" + inst +
                             "': 3 references fed\n")) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_insn"), 3);
  // Every row of both families counts 3 references (the 8th field).
  std::vector<std::string> rows = lines_of(read_file(path("r.csv")));
  ASSERT_GT(rows.size(), 1u);
  for (size_t r = 1; r < rows.size(); r++) {
    size_t at = 0;
    for (int comma = 0; comma < 7; comma++) at = rows[r].find(',', at) + 1;
    EXPECT_EQ(rows[r].substr(at, rows[r].find(',', at) - at), "3")
        << rows[r];
  }
}

TEST_F(HostileTest, TraceOfExactlyTheLimitIsNotCut) {
  std::vector<uint64_t> addrs = make_addresses(40, 2);
  write_file(path("t.din"), as_din(addrs));
  Outcome o = run_trace(path("t.din"), {}, "40");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, kLimitMessage)) << o.err;
  expect_family(read_results(path("r.txt")), addrs);
}

TEST_F(HostileTest, RecordsPastTheLimitAreNeverRead) {
  // A malformed record after the limit does not turn the run into a
  // failure: the input ends, for the simulator, at the limit.
  std::vector<uint64_t> addrs = make_addresses(30, 3);
  write_file(path("t.din"), as_din(addrs) + "9 nonsense\n");
  Outcome o = run_trace(path("t.din"), {}, "10");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, "malformed")) << o.err;
  expect_family(read_results(path("r.txt")), first(addrs, 10));
  // -trace:max below the limit ends the run first, without the message.
  o = run_trace(path("t.din"), {"-trace:max", "5"}, "10");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, kLimitMessage));
  expect_family(read_results(path("r.txt")), first(addrs, 5));
}

TEST_F(HostileTest, TheRealProgramHasNoWayToLowerTheLimit) {
  std::vector<uint64_t> addrs = make_addresses(50, 4);
  write_file(path("t.din"), as_din(addrs));
  std::vector<std::string> args{path("t.din")};
  Outcome o = run(kSim, args, "10");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, kLimitMessage));
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 50);
}

// ---- Broken and odd trace files ---------------------------------------

// Files that cannot be used at all: one fatal line naming the file,
// status 1, and no statistics (nothing was simulated).
TEST_F(HostileTest, UnusableFilesNameTheFileAndPrintNoStatistics) {
  write_file(path("empty"), "");
  write_file(path("secret"), "0 10\n");
  // root reads any file; /proc/self/mem opens but cannot be read at 0.
  std::string unreadable = path("secret");
  if (geteuid() == 0)
    unreadable = "/proc/self/mem";
  else
    chmod(unreadable.c_str(), 0);
  struct Case {
    std::string file, message;
  } cases[] = {
      {path("empty"), "trace file `" + path("empty") + "' is empty"},
      {unreadable, "trace file `" + unreadable + "'"},
      {dir_, "trace file `" + dir_ + "': it is a directory"},
  };
  for (auto &c : cases) {
    Outcome o = run_trace(c.file);
    EXPECT_EQ(o.status, 1) << c.file;
    EXPECT_TRUE(has(o.err, "fatal: ")) << o.err;
    EXPECT_TRUE(has(o.err, c.message)) << o.err;
    EXPECT_FALSE(has(o.err, "simulation statistics")) << o.err;
  }
}

// Files that break off or go bad part of the way: the statistics and the
// exact report of the records before the fault, then the error naming the
// file and, for text, the line.
void expect_stopped_after(const Outcome &o, const std::string &message,
                          long long fed) {
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.signal, 0);
  size_t at = o.err.find(message);
  ASSERT_NE(at, std::string::npos) << o.err;
  size_t report = o.err.find("** end of simulation **");
  EXPECT_LT(report, at) << "report first";
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), fed);
}

TEST_F(HostileTest, TruncatedGzipReportsWholeLinesBeforeTheCut) {
  std::vector<uint64_t> addrs = make_addresses(60000, 5);
  write_file(path("t.din"), as_din(addrs));
  ASSERT_EQ(system(("gzip -c '" + path("t.din") + "' > '" + path("t.gz") +
                    "'").c_str()), 0);
  std::string gz = read_file(path("t.gz"));
  write_file(path("cut.gz"), gz.substr(0, gz.size() / 2));
  Outcome o = run_trace(path("cut.gz"));
  long long lines = stat_value(o.err, "sim_num_fed");
  ASSERT_GT(lines, 0) << o.err;
  ASSERT_LT(lines, 60000);
  expect_stopped_after(o, "`" + path("cut.gz") + "', after line " +
                              std::to_string(lines) +
                              ": gzip could not decompress the rest", lines);
  // A line cut in two by the break is not simulated as a shorter address.
  expect_family(read_results(path("r.txt")),
                first(addrs, static_cast<size_t>(lines)));
}

TEST_F(HostileTest, BinaryGarbageGivenAsText) {
  std::vector<uint64_t> addrs = make_addresses(3, 6);
  std::string garbage("\x7f\x00\xfe\x13\x88\xff\x01\x02\x9c\x00", 10);
  const char *formats[][2] = {
      {"din", "0 %llx\n"}, {"lackey", " L %llx,4\n"}, {"hex", "%llx\n"}};
  for (auto &f : formats) {
    SCOPED_TRACE(f[0]);
    std::string lines = as_lines(addrs, f[1]);
    write_file(path("t.bad"), lines + garbage + "\n" + lines);
    Outcome o = run_trace(path("t.bad"), {"-trace:format", f[0]});
    expect_stopped_after(o, "`" + path("t.bad") + "', line 4: malformed " +
                                f[0] + " record: `\\x7f\\x00\\xfe\\x13",
                         3);
    expect_family(read_results(path("r.txt")), addrs);
  }
}

TEST_F(HostileTest, TextGivenAsBin32WithARaggedEnd) {
  // 14 bytes: three whole little-endian words and two bytes over.
  std::string text = "0 1000\n0 2000\n";
  write_file(path("t.txt"), text);
  Outcome o = run_trace(path("t.txt"), {"-trace:format", "bin32"});
  expect_stopped_after(o, "`" + path("t.txt") + "': 2 trailing bytes", 3);
  std::vector<uint64_t> words;
  for (int w = 0; w < 3; w++) {
    uint64_t v = 0;
    for (int b = 3; b >= 0; b--)
      v = v << 8 | static_cast<unsigned char>(text[4 * w + b]);
    words.push_back(v);
  }
  expect_family(read_results(path("r.txt")), words);
}

TEST_F(HostileTest, LineOfAMegabyte) {
  std::vector<uint64_t> addrs = make_addresses(2, 7);
  write_file(path("t.din"), as_din(addrs) + "0 40 " +
                                std::string(1 << 20, 'x') + "\n" +
                                as_din(addrs));
  Outcome o = run_trace(path("t.din"));
  expect_stopped_after(o, "`" + path("t.din") + "', line 3: malformed din "
                          "record: `0 40 xxxx", 2);
  EXPECT_TRUE(has(o.err, "(line too long)"));
  EXPECT_LT(o.err.size(), 20000u) << "the line is not echoed whole";
}

TEST_F(HostileTest, LastLineWithoutNewlineCounts) {
  std::vector<uint64_t> addrs = make_addresses(25, 8);
  addrs.push_back(0x7777);  // a line of its own in no other reference
  std::string text = as_din(addrs);
  text.pop_back();
  write_file(path("t.din"), text);
  Outcome o = run_trace(path("t.din"));
  EXPECT_EQ(o.status, 0) << o.err;
  expect_family(read_results(path("r.txt")), addrs);
}

// ---- A traced program killed by a signal ------------------------------

bool valgrind_on_path() {
  return system("command -v valgrind > /dev/null 2>&1") == 0;
}

TEST_F(HostileTest, ProgramKilledByASignal) {
  if (!valgrind_on_path()) GTEST_SKIP() << "valgrind is not installed";
  write_file(path("die.sh"), "#!/bin/sh\nkill -TERM $$\n");
  chmod(path("die.sh").c_str(), 0755);
  std::vector<std::string> args{"-redir:prog", path("prog.txt"),
                                path("die.sh")};
  Outcome o = run(kSim, args);
  EXPECT_EQ(o.status, 128 + SIGTERM) << o.err;
  size_t at = o.err.find("sim: program `" + path("die.sh") +
                         "' terminated by signal 15");
  ASSERT_NE(at, std::string::npos) << o.err;
  EXPECT_LT(at, o.err.find("simulation statistics"));
  EXPECT_GT(stat_value(o.err, "sim_num_fed"), 1000);  // the shell ran
}

TEST_F(HostileTest, ProgramStoppedAtTheLimitExitsZero) {
  if (!valgrind_on_path()) GTEST_SKIP() << "valgrind is not installed";
  write_file(path("three.sh"), "#!/bin/sh\nexit 3\n");
  chmod(path("three.sh").c_str(), 0755);
  std::vector<std::string> args{"-redir:prog", path("prog.txt"),
                                path("three.sh")};
  Outcome o = run(kSimTestLimit, args, "1000");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, "sim: reference limit of 1000 reached"));
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 1000);
}

// ---- Exhausted memory ---------------------------------------------------

// Address-space limits clash with the sanitizers' shadow memory.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLimitsWork = false;
#else
constexpr bool kLimitsWork = true;
#endif

TEST_F(HostileTest, TablesBeyondTheMemoryLimitAreRefusedWithoutStatistics) {
  if (!kLimitsWork) GTEST_SKIP() << "address-space limits clash with ASan";
  write_file(path("t.din"), "0 10\n");
  const char *families[] = {"-Cfa -Rlru -l0 -M1073741824",
                            "-Csa -Ropt -a0 -b20 -n10",
                            "-Cdm -a0 -b20 -c30"};
  for (const char *words : families) {
    std::vector<std::string> args{"-cache:opts", words, path("t.din")};
    Outcome o = run(kSim, args, nullptr, size_t{256} << 20);
    EXPECT_EQ(o.signal, 0) << words;
    EXPECT_EQ(o.status, 1) << words;
    EXPECT_TRUE(has(o.err, "libvantle: this family's tables take ")) << o.err;
    EXPECT_FALSE(has(o.err, "simulation statistics")) << o.err;
  }
}

TEST_F(HostileTest, ExhaustedMemoryDuringTheRunPrintsWhatWasSimulated) {
  if (!kLimitsWork) GTEST_SKIP() << "address-space limits clash with ASan";
  // Three million distinct lines: every growing family needs far more
  // than the 64 MiB it is given.
  std::string words;
  for (uint32_t i = 0; i < 3000000; i++) {
    uint32_t addr = i * 16;
    words.append(reinterpret_cast<const char *>(&addr), 4);
  }
  write_file(path("t.bin"), words);
  const char *families[] = {"-Cfa -Rlru -M16777216", "-Cfa -Ropt -M16777216",
                            "-Csa -Ropt -a4 -b14 -n1"};
  for (const char *family : families) {
    SCOPED_TRACE(family);
    write_file(path("r.csv"), "earlier run\n");
    std::vector<std::string> args{"-cache:opts", family, "-out:csv",
                                  path("r.csv"), path("t.bin")};
    Outcome o = run(kSim, args, nullptr, size_t{64} << 20);
    // The run failed: the earlier results stay as they were.
    EXPECT_EQ(read_file(path("r.csv")), "earlier run\n");
    EXPECT_EQ(o.signal, 0) << o.err;
    EXPECT_EQ(o.status, 1);
    size_t fatal = o.err.find("fatal: out of virtual memory\n");
    ASSERT_NE(fatal, std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("fatal:", fatal + 1), std::string::npos) << o.err;
    long long fed = stat_value(o.err, "sim_num_fed");
    EXPECT_GT(fed, 0) << o.err;
    EXPECT_LT(fed, 3000000);
    EXPECT_TRUE(has(o.err, "** end of simulation **"));
    EXPECT_FALSE(has(o.err, "the run goes on")) << o.err;
  }
}

}  // namespace
