// vantle-sim as a user runs it: the built program in a subprocess, on small
// traces in every format and on the example program traced under valgrind,
// checking its output, its files and its exit status. Expected miss ratios
// come from the naive model in tests/reference/.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/naive_sim.h"
#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const char *const kMatmul = MATMUL_PATH;

class SimTest : public ScratchDirTest {
 protected:
  // Runs vantle-sim with args; path_env replaces PATH when non-null, and
  // standard input is /dev/null or the file input.
  Outcome run(const std::vector<std::string> &args,
              const char *path_env = nullptr, const char *input = nullptr) {
    Launch launch;
    launch.path_env = path_env;
    launch.input = input;
    return run_program(kSim, args, launch);
  }
};

// A deterministic mixed trace: kind 0 load, 1 store, 2 fetch, 3 modify.
struct Ref {
  uint64_t addr;
  int kind;
};

std::vector<Ref> make_trace(int n, uint64_t seed, bool wide = false) {
  std::vector<Ref> refs;
  uint64_t x = seed * 2654435761u + 1;
  const uint64_t wide_bases[] = {0x400000ull, 0x1ffefff000ull,
                                 0x7fff12000000ull, 0x4a00000ull,
                                 0x5555aa000000ull};
  for (int i = 0; i < n; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t r = static_cast<uint32_t>(x >> 33);
    uint64_t base = wide ? wide_bases[r % 5] : 0x10000ull * (r % 3);
    uint64_t addr = base + ((r >> 3) % 2048) * 4;
    refs.push_back({addr, static_cast<int>((r >> 20) % 4)});
  }
  return refs;
}

std::string as_din(const std::vector<Ref> &refs) {
  static const char label[] = {'0', '1', '2', '0'};  // a modify as a read
  std::string text;
  char line[64];
  for (auto &r : refs) {
    snprintf(line, sizeof line, "%c %llx\n", label[r.kind],
             static_cast<unsigned long long>(r.addr));
    text += line;
  }
  return text;
}

std::string as_lackey(const std::vector<Ref> &refs) {
  static const char *const head[] = {" L ", " S ", "I  ", " M "};
  std::string text = "==123== Lackey, an example Valgrind tool\n";
  char line[64];
  for (auto &r : refs) {
    snprintf(line, sizeof line, "%s%08llx,%d\n", head[r.kind],
             static_cast<unsigned long long>(r.addr), 4);
    text += line;
  }
  return text + "==123== \n";
}

std::string as_hex(const std::vector<Ref> &refs) {
  std::string text = "# a hex trace\n";
  char line[64];
  for (size_t i = 0; i < refs.size(); i++) {
    snprintf(line, sizeof line, i % 2 ? "0x%llx\n" : "%llx  # odd one\n",
             static_cast<unsigned long long>(refs[i].addr));
    text += line;
  }
  return text;
}

std::string as_bin32(const std::vector<Ref> &refs) {
  std::string bytes;
  for (auto &r : refs)
    for (int b = 0; b < 4; b++)
      bytes.push_back(static_cast<char>((r.addr >> (8 * b)) & 0xff));
  return bytes;
}

std::vector<uint64_t> addresses(const std::vector<Ref> &refs,
                                bool (*keep)(int kind)) {
  std::vector<uint64_t> out;
  for (auto &r : refs)
    if (keep(r.kind)) out.push_back(r.addr);
  return out;
}

bool any_kind(int) { return true; }
bool data_kind(int kind) { return kind != 2; }
bool inst_kind(int kind) { return kind == 2; }
bool store_kind(int kind) { return kind == 1 || kind == 3; }

const char *const kFamily = "-a1 -b4 -n2 -l4";  // 2..16 sets, 1..4 ways

void expect_family(const std::vector<NaiveRow> &got,
                   const std::vector<uint64_t> &trace) {
  std::vector<NaiveRow> want = naive_family(trace, 1, 4, 2, 4);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].sets, want[i].sets) << i;
    EXPECT_EQ(got[i].associativity, want[i].associativity) << i;
    EXPECT_EQ(got[i].references, want[i].references) << i;
    EXPECT_EQ(got[i].hits, want[i].hits) << "sets " << want[i].sets
                                         << " ways " << want[i].associativity;
  }
}

std::string stat_line(const std::string &err, const std::string &name) {
  size_t at = err.find("\n" + name + " ");
  if (at == std::string::npos) return "";
  size_t end = err.find('\n', at + 1);
  return err.substr(at + 1, end - at - 1);
}

long long stat_value(const std::string &err, const std::string &name) {
  std::string line = stat_line(err, name);
  if (line.empty()) return -1;
  return atoll(line.c_str() + name.size());
}

TEST_F(SimTest, NoArgumentPrintsBannerAndUsage) {
  Outcome o = run({});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err.rfind("vantle-sim: ", 0), 0u) << o.err;  // last component
  EXPECT_NE(o.err.find(std::string("Usage: ") + kSim +
                       " {-options} executable {arguments}"),
            std::string::npos);
  EXPECT_NE(o.err.find("-redir:prog"), std::string::npos);
  EXPECT_EQ(o.err.find("error:"), std::string::npos);
}

TEST_F(SimTest, HelpWithExecutableLoadsNothing) {
  write_file(path("t.hex"), "10\n");
  Outcome o = run({"-h", path("t.hex")});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("Usage: "), std::string::npos);
  EXPECT_EQ(o.err.find("sim: command line"), std::string::npos);
}

TEST_F(SimTest, NoExecutableIsAnError) {
  Outcome o = run({"-seed", "7", "-v"});
  EXPECT_EQ(o.status, 1);
  size_t error = o.err.find("error: no executable specified\n");
  ASSERT_NE(error, std::string::npos) << o.err;
  EXPECT_GT(o.err.find("Usage: "), error);
  EXPECT_LT(o.err.find("vantle-sim: "), error);  // banner first
}

TEST_F(SimTest, BadOptionsAreOneLineErrors) {
  write_file(path("t.hex"), "10\n");
  const std::vector<std::vector<std::string>> cases = {
      {"-seed", "x1", path("t.hex")},
      {"-bogus", path("t.hex")},
      {"-trace:refs", "code", path("t.hex")},
      {"-trace:format", "csv", path("t.hex")},
      {"-trace:max", "-3", path("t.hex")},
      {"-trace:refs", "inst", path("t.hex")},  // hex has no kinds
      {"-chkpt", path("t.hex"), path("t.hex")},
      {"-nice"}};
  for (auto &args : cases) {
    Outcome o = run(args);
    EXPECT_EQ(o.status, 1) << args[0];
    EXPECT_NE(o.err.find("error: "), std::string::npos) << args[0];
    EXPECT_EQ(o.err.find("simulation statistics"), std::string::npos);
  }
}

// The library skips unknown words and reads "-a5x" as 5 for the programs
// that call it; vantle-sim refuses such words before anything is
// simulated or written, naming the word.
TEST_F(SimTest, MistypedCacheWordsStopTheRunBeforeItStarts) {
  write_file(path("t.din"), as_din(make_trace(50, 4)));
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-cache:opts", "-Cfa -x5"},
       "error: -cache:opts: `-x5' is not a cache option word"},
      {{"-cache:opts", "--assoc=4"},
       "error: -cache:opts: `--assoc=4' is not a cache option word"},
      {{"-cache:opts", "-A3 -a3"},
       "error: -cache:opts: `-A3' is not a cache option word"},
      {{"-cache:opts", "-"}, "error: -cache:opts: `-' is not a cache option"},
      {{"-cache:opts", "-Csa 4"},
       "error: -cache:opts: `4' is not a cache option word"},
      {{"-cache:opts", "-Csa -b8 -a"},
       "error: -cache:opts: `-a' needs a number glued to its letter"},
      {{"-cache:opts", "-aX"},
       "error: -cache:opts: `-aX' needs a decimal number after its letter"},
      {{"-cache:opts", "-a5x"},
       "error: -cache:opts: `-a5x' needs a decimal number after its letter"},
      {{"-cache:opts", "-Cfa -M65536 -i1 -l4 -n+"},
       "error: -cache:opts: `-n+' needs a decimal number after its letter"},
      {{"-cache:opts", "-Cfa -i1024 -M512"},
       "error: -cache:opts: -i1024 is larger than -M512: the report would "
       "list no cache size"},
      {{"-cache:opts", "-i1024 -M512 -CFA"},
       "error: -cache:opts: -i1024 is larger than -M512"},
      {{"-cache:opts", "-Cfa -M256"},
       "error: -cache:opts: -i512 (the default) is larger than -M256"},
      {{"-cache:opts", "-Cfa -i1048576"},
       "error: -cache:opts: -i1048576 is larger than -M524288 (the default)"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-out:csv", path("r.csv"), path("t.din")});
    Outcome o = run(args);
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(has(o.err, c.message)) << o.err;
    EXPECT_EQ(count(o.err, "error:"), 1) << o.err;
    EXPECT_FALSE(has(o.err, "libvantle:")) << o.err;
    EXPECT_FALSE(has(o.err, "simulation parameters")) << o.err;
    EXPECT_EQ(access(path("r.csv").c_str(), F_OK), -1);
  }
}

TEST_F(SimTest, WellFormedCacheWordsAreLeftToTheLibrary) {
  write_file(path("t.din"), as_din(make_trace(50, 4)));
  // A sign, -i equal to -M, and -i above -M outside the fully associative
  // family (which has no report step) are accepted.
  for (const char *words : {"-a+1 -b3 -n1", "-Cfa -i512 -M512",
                            "-Csa -i1024 -M512 -Cdm -c10 -a2 -b4",
                            "-Cfa -Rlru -i-8 -M512"}) {
    Outcome o = run({"-cache:opts", words, path("t.din")});
    EXPECT_EQ(o.status, 0) << words << o.err;
    EXPECT_TRUE(has(o.err, "** end of simulation **")) << words;
  }
  // Values out of range and unknown families are the library's to refuse.
  Outcome range = run({"-cache:opts", "-Cfa -M-512", path("t.din")});
  EXPECT_EQ(range.status, 1);
  EXPECT_TRUE(has(range.err,
                  "libvantle: -M: `-512' is out of range 0..4294967295\n"))
      << range.err;
  EXPECT_FALSE(has(range.err, "error:")) << range.err;
  Outcome family = run({"-cache:opts", "-Cxx", path("t.din")});
  EXPECT_EQ(family.status, 1);
  EXPECT_TRUE(has(family.err, "libvantle: configuration `xx' not supported"))
      << family.err;
}

TEST_F(SimTest, QuitAfterInitialisationPrintsNoStatistics) {
  write_file(path("t.din"), as_din(make_trace(50, 1)));
  Outcome o = run({"-q", path("t.din")});
  EXPECT_EQ(o.status, 0);
  EXPECT_NE(o.err.find("sim: command line: " + std::string(kSim) + " -q " +
                       path("t.din") + " \n"),
            std::string::npos) << o.err;
  EXPECT_NE(o.err.find("sim: simulation started @ "), std::string::npos);
  EXPECT_NE(o.err.find("options follow:\n"), std::string::npos);
  EXPECT_NE(o.err.find("simulation parameters"), std::string::npos);
  EXPECT_EQ(o.err.find("simulation statistics"), std::string::npos);
  EXPECT_EQ(o.err.find("end of simulation"), std::string::npos);
}

TEST_F(SimTest, ShortRunAtNiceZeroReportsOneSecond) {
  write_file(path("t.din"), as_din(make_trace(100, 2)));
  Outcome o = run({"-nice", "0", path("t.din")});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_elapsed_time"), 1);
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 100);
  EXPECT_EQ(count(o.err, "sim: ** simulation statistics **"), 1);
  EXPECT_EQ(count(o.err, "** end of simulation **"), 1);
  EXPECT_EQ(o.err.find('\r'), std::string::npos);  // no progress off a tty
}

TEST_F(SimTest, DebuggerStepsReportsAndQuits) {
  write_file(path("t.din"), as_din(make_trace(100, 2)));
  write_file(path("commands"), "s 10\nbogus\nr\ns\nq\n");
  Outcome o = run({"-i", path("t.din")}, nullptr, path("commands").c_str());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.err.find("qlint (10 references)> "), std::string::npos)
      << o.err;
  EXPECT_NE(o.err.find("qlint commands:"), std::string::npos);
  EXPECT_EQ(count(o.err, "sim: ** simulation statistics **"), 2);
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 10);  // the interim report
  size_t last = o.err.rfind("sim: ** simulation statistics **");
  EXPECT_EQ(stat_value(o.err.substr(last), "sim_num_fed"), 11);
  // The library heads both reports "end of simulation": a line before the
  // first says what it is; the last follows a note on why the run ended.
  EXPECT_EQ(count(o.err, "sim: interim report after 10 references; the run "
                         "goes on\n\nlibvantle: ** end of simulation **"),
            1) << o.err;
  EXPECT_EQ(count(o.err, "the run goes on"), 1);
  size_t note = o.err.find("sim: run ended early by the debugger's q command "
                           "after 11 references; the rest of the input is "
                           "not simulated\n");
  EXPECT_NE(note, std::string::npos) << o.err;
  EXPECT_LT(note, last);
}

TEST_F(SimTest, RedirectSimulatorOutput) {
  write_file(path("t.din"), as_din(make_trace(100, 3)));
  Outcome o = run({"-redir:sim", path("sim.txt"), path("t.din")});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  std::string text = read_file(path("sim.txt"));
  EXPECT_EQ(text.rfind("vantle-sim: ", 0), 0u);
  EXPECT_NE(text.find("sim: ** simulation statistics **"), std::string::npos);
  EXPECT_NE(text.find("** end of simulation **"), std::string::npos);
}

TEST_F(SimTest, RedirectionToABadPathIsFatal) {
  write_file(path("t.din"), "0 10\n");
  std::string bad = path("no/such/dir/out.txt");
  Outcome sim = run({"-redir:sim", bad, path("t.din")});
  EXPECT_NE(sim.status, 0);
  EXPECT_NE(sim.err.find("unable to redirect simulator output to file `" +
                         bad + "'"),
            std::string::npos) << sim.err;
  Outcome prog = run({"-redir:prog", bad, path("t.din")});
  EXPECT_NE(prog.status, 0);
  EXPECT_NE(prog.err.find("unable to redirect program output to file `" +
                          bad + "'"),
            std::string::npos);
  EXPECT_EQ(prog.err.find("simulation statistics"), std::string::npos);
}

// Every format, plain and gzip-compressed, recognised by content and named
// explicitly, gives the naive model's hits for every cache of the family.
TEST_F(SimTest, EveryFormatMatchesTheNaiveModel) {
  std::vector<Ref> refs = make_trace(4000, 4);
  struct Format {
    const char *name;
    std::string text;
  } formats[] = {{"din", as_din(refs)},
                 {"lackey", as_lackey(refs)},
                 {"hex", as_hex(refs)},
                 {"bin32", as_bin32(refs)}};
  std::vector<uint64_t> all = addresses(refs, any_kind);
  for (auto &f : formats) {
    std::string file = path(std::string("trace.") + f.name);
    write_file(file, f.text);
    std::string gz = "gzip -c '" + file + "' > '" + file + ".gz'";
    ASSERT_EQ(system(gz.c_str()), 0);
    for (std::string input : {file, file + ".gz"}) {
      for (std::string format : {std::string("auto"), std::string(f.name)}) {
        SCOPED_TRACE(input + " as " + format);
        Outcome o = run({"-cache:opts", kFamily, "-out:csv",
                         path("r.txt"), "-trace:format", format, input});
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_NE(o.err.find(std::string("(") + f.name), std::string::npos);
        expect_family(read_results(path("r.txt")), all);
      }
    }
  }
}

bool tool_on_path(const char *tool) {
  return system((std::string("command -v ") + tool + " >/dev/null").c_str()) ==
         0;
}

// The report, from the library's end-of-simulation line on.
std::string report_of(const std::string &err) {
  size_t at = err.find("libvantle: ** end of simulation **");
  return at == std::string::npos ? "" : err.substr(at);
}

// A trace compressed by xz, bzip2 or zstd is read through that tool and
// gives the plain trace's report; bin32 content too, which a compressed
// file read as it is would resemble. A cut file names its tool.
TEST_F(SimTest, EveryCompressionGivesThePlainTracesReport) {
  for (const char *tool : {"xz", "bzip2", "zstd"})
    if (!tool_on_path(tool)) GTEST_SKIP() << tool << " is not installed";
  std::vector<Ref> refs = make_trace(3000, 6);
  struct Plain {
    std::string file, text;
  } plains[] = {{path("t.din"), as_din(refs)},
                {path("t.bin"), as_bin32(refs)}};
  for (auto &p : plains) {
    write_file(p.file, p.text);
    Outcome plain = run({"-cache:opts", kFamily, "-trace:format", "auto",
                         p.file});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_NE(report_of(plain.err), "");
    for (const char *tool : {"xz", "bzip2", "zstd"}) {
      std::string packed = p.file + "." + tool;
      std::string cmd = std::string(tool) + " -c '" + p.file + "' > '" +
                        packed + "' 2>/dev/null";
      ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
      SCOPED_TRACE(packed);
      Outcome o = run({"-cache:opts", kFamily, packed});
      ASSERT_EQ(o.status, 0) << o.err;
      EXPECT_EQ(report_of(o.err), report_of(plain.err));
      o = run({"-cache:opts", kFamily, "-"}, nullptr, packed.c_str());
      ASSERT_EQ(o.status, 0) << "on standard input: " << o.err;
      EXPECT_EQ(report_of(o.err), report_of(plain.err));
      if (p.file == path("t.din")) {
        std::string whole = read_file(packed);
        write_file(packed, whole.substr(0, whole.size() / 2));
        o = run({packed});
        EXPECT_EQ(o.status, 1);
        EXPECT_TRUE(has(o.err, std::string(tool) +
                                   " could not decompress the rest"))
            << o.err;
      }
    }
  }
}

// Without the tool, or from a pipe, a compressed trace is refused before
// anything is simulated, naming the format and the tool.
TEST_F(SimTest, CompressedTraceWithoutItsToolIsRefused) {
  ASSERT_EQ(mkdir(path("empty-bin").c_str(), 0755), 0);
  struct Case {
    const char *tool;
    std::string magic;
  } cases[] = {{"xz", std::string("\xfd" "7zXZ\0\0\0", 8)},
               {"bzip2", "BZh91AY&SY"},
               {"zstd", std::string("\x28\xb5\x2f\xfd\0\0\0\0", 8)}};
  for (auto &c : cases) {
    std::string file = path(std::string("t.") + c.tool);
    write_file(file, c.magic + std::string(64, '\x01'));
    Outcome o = run({file}, path("empty-bin").c_str());
    EXPECT_EQ(o.status, 1) << c.tool;
    EXPECT_TRUE(has(o.err, std::string("cannot read ") + c.tool +
                               "-compressed trace `" + file + "': " + c.tool +
                               " is not installed"))
        << o.err;
    EXPECT_FALSE(has(o.err, "simulation statistics")) << o.err;
    std::string piped = "cat '" + file + "' | '" + kSim + "' -";
    o = run_program("/bin/sh", {"-c", piped});
    EXPECT_EQ(o.status, 1) << c.tool;
    EXPECT_TRUE(has(o.err, std::string("(e.g. ") + c.tool + " -dc file"))
        << o.err;
  }
  // "BZh" not followed by a digit is no bzip2 header.
  write_file(path("t.bin"), "BZhx");
  Outcome o = run({"-trace:format", "bin32", path("t.bin")},
                  path("empty-bin").c_str());
  EXPECT_EQ(o.status, 0) << o.err;
}

TEST_F(SimTest, ReferenceKindsSelectWhatFeedsTheCache) {
  std::vector<Ref> refs = make_trace(3000, 5);
  write_file(path("t.din"), as_din(refs));
  write_file(path("t.lk"), as_lackey(refs));
  // din records a modify as a read, so its stores are the plain stores.
  struct Case {
    const char *file;
    const char *refs;
    bool (*keep)(int);
  } cases[] = {{"t.lk", "data", data_kind},
               {"t.lk", "inst", inst_kind},
               {"t.lk", "store", store_kind},
               {"t.din", "data", data_kind},
               {"t.din", "inst", inst_kind}};
  for (auto &c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + c.refs);
    Outcome o = run({"-cache:opts", kFamily, "-out:csv", path("r.txt"),
                     "-trace:refs", c.refs, path(c.file)});
    ASSERT_EQ(o.status, 0) << o.err;
    expect_family(read_results(path("r.txt")), addresses(refs, c.keep));
    EXPECT_EQ(stat_value(o.err, "sim_num_refs"), 3000);
  }
  int fetches = 0;
  for (auto &r : refs) fetches += r.kind == 2;
  Outcome o = run({"-trace:refs", "data", path("t.lk")});
  EXPECT_EQ(stat_value(o.err, "sim_num_insn"), fetches);
}

TEST_F(SimTest, DashReadsStandardInput) {
  std::vector<Ref> refs = make_trace(500, 14);
  write_file(path("t.lk"), as_lackey(refs));
  Outcome o = run({"-cache:opts", kFamily, "-out:csv", path("r.txt"),
                   "-"}, nullptr, path("t.lk").c_str());
  ASSERT_EQ(o.status, 0) << o.err;
  expect_family(read_results(path("r.txt")), addresses(refs, any_kind));
}

// valgrind's header lines may come through a pipe before any record: the
// format is recognised once the first records arrive.
TEST_F(SimTest, PipeIsRecognisedByItsFirstRecordsAfterAHeader) {
  std::string feed = "(printf '==1== Lackey\\n'; sleep 0.3; "
                     "printf 'I  0400,3\\n L 10,4\\n') | '" +
                     std::string(kSim) + "' -";
  Outcome o = run_program("/bin/sh", {"-c", feed});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, "trace file `-' (lackey)")) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 2);
}

// A trace on a standard input FIFO whose writer finished before vantle-sim
// started (as with `vantle-sim - < fifo`): the FIFO is read to its end
// (opening it anew must not wait for a writer), and every reference counts.
TEST_F(SimTest, StandardInputFifoWhoseWriterHasGone) {
  std::vector<Ref> refs = make_trace(3000, 21);
  std::string text = as_din(refs);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  int p[2];
  p[0] = open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
  p[1] = open(path("fifo").c_str(), O_WRONLY);
  ASSERT_GE(p[0], 0);
  ASSERT_GE(p[1], 0);
  fcntl(p[0], F_SETFL, 0);        // blocking, as a shell opens it
  ASSERT_LT(text.size(), 65536u);  // the FIFO holds it all
  ASSERT_EQ(write(p[1], text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  close(p[1]);
  std::string err = path("err.txt");
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[0], 0);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(e, 2);
    execl(kSim, kSim, "-cache:opts", kFamily, "-out:csv",
          path("r.txt").c_str(), "-", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[0]);
  int wstatus = 0;
  bool ended = false;
  for (int waits = 0; waits < 200 && !ended; waits++) {
    ended = waitpid(pid, &wstatus, WNOHANG) == pid;
    if (!ended) usleep(100000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
  }
  ASSERT_TRUE(ended) << "vantle-sim waited for a writer that is gone";
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0)
      << read_file(err);
  expect_family(read_results(path("r.txt")), addresses(refs, any_kind));
}

// The run stopped at -trace:max says so, before the statistics and in the
// JSON file; a run that reads its input to the end says nothing.
TEST_F(SimTest, MaxStopsAfterThatManyReferences) {
  std::vector<Ref> refs = make_trace(1000, 6);
  write_file(path("t.bin"), as_bin32(refs));
  Outcome o = run({"-cache:opts", kFamily, "-out:csv", path("r.txt"),
                   "-out:json", path("r.json"), "-trace:max", "300",
                   path("t.bin")});
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<uint64_t> first(300);
  for (int i = 0; i < 300; i++) first[i] = refs[i].addr;
  expect_family(read_results(path("r.txt")), first);
  size_t note = o.err.find("\nsim: run ended early by -trace:max after 300 "
                           "references; the rest of the input is not "
                           "simulated\n");
  EXPECT_NE(note, std::string::npos) << o.err;
  EXPECT_LT(note, o.err.find("sim: ** simulation statistics **"));
  EXPECT_TRUE(has(read_file(path("r.json")),
                  "\n  \"ended_early\": \"-trace:max\",\n"));
  o = run({"-out:json", path("r.json"), "-trace:max", "1000", path("t.bin")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, "ended early")) << o.err;
  EXPECT_TRUE(has(read_file(path("r.json")), "\"ended_early\": null,"));
}

// With several families, -trace:max stops each where it has its fill, all
// within one batch here: the statistics and the note count the records up
// to the last one a family took, as they do for one family, not the
// whole batch that was read.
TEST_F(SimTest, MaxOverSeveralFamiliesCountsWhatTheLastOneTook) {
  std::vector<Ref> refs = make_trace(3000, 9);
  write_file(path("t.din"), as_din(refs));
  // The instruction family takes its 300th fetch (kind 2) last.
  long long records = 0, fetches = 0;
  while (fetches < 300) fetches += refs[records++].kind == 2;
  Outcome o = run({"-trace:max", "300", "-cache:opts", kFamily,
                   "-cache:opts", std::string("inst: ") + kFamily,
                   path("t.din")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_refs"), records) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_insn"), 300);
  EXPECT_TRUE(has(o.err, "sim: run ended early by -trace:max after " +
                             std::to_string(records) + " references;"))
      << o.err;
}

// Addresses of a 64-bit program fold into 32 bits without two lines
// sharing a place: hits equal those on the unfolded addresses.
TEST_F(SimTest, WideAddressesFoldWithoutCollisions) {
  std::vector<Ref> refs = make_trace(4000, 7, true);
  write_file(path("t.lk"), as_lackey(refs));
  write_file(path("t.hex"), as_hex(refs));
  for (const char *file : {"t.lk", "t.hex"}) {
    Outcome o = run({"-cache:opts", kFamily, "-out:csv", path("r.txt"),
                     path(file)});
    ASSERT_EQ(o.status, 0) << o.err;
    expect_family(read_results(path("r.txt")), addresses(refs, any_kind));
  }
}

// Regions of 1 MiB (the direct-mapped cache's size): 4096 far regions fill
// the 4 GiB of the 32-bit space, and the next one stops the run.
TEST_F(SimTest, FoldingMapFullOnlyPast4GiBOfDistinctMemory) {
  std::string text;
  char line[64];
  for (int region = 0; region <= 4096; region++) {
    snprintf(line, sizeof line, "%llx\n",
             (static_cast<unsigned long long>(region) + 1) << 36);
    text += line;
  }
  write_file(path("t.hex"), text);
  Outcome o = run({"-cache:opts", "-Cdm -a4 -b6 -c20", path("t.hex")});
  EXPECT_NE(o.status, 0);
  EXPECT_TRUE(has(o.err, "line 4097: address 0x1001000000000: the map "
                         "folding 64-bit addresses into 32 bits is full: the "
                         "input touched more than 4 GiB of distinct memory, "
                         "counted in 4096 regions of 1 MiB")) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 4096);  // statistics still out
}

// One row of an -out:csv file, whatever the family.
struct CsvRow {
  std::string organisation;
  unsigned line_size, sets, associativity;
  unsigned long long cache_size, references, hits;
};

std::vector<CsvRow> read_csv_rows(const std::string &file) {
  std::vector<CsvRow> rows;
  std::string text = read_file(file);
  for (size_t at = 0, nl; at < text.size(); at = nl + 1) {
    nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(at, nl - at);
    size_t organisation_end = line.find(',');
    size_t policy_end = line.find(',', organisation_end + 1);
    if (policy_end == std::string::npos) continue;
    CsvRow r;
    r.organisation = line.substr(0, organisation_end);
    if (sscanf(line.c_str() + policy_end + 1, "%u,%u,%u,%llu,%llu,%llu,",
               &r.line_size, &r.sets, &r.associativity, &r.cache_size,
               &r.references, &r.hits) == 6)
      rows.push_back(r);
  }
  return rows;
}

// Naive models on full 64-bit addresses: one fully associative LRU cache
// of `lines` lines, one direct-mapped cache.
uint64_t naive_fa_lru_hits(const std::vector<uint64_t> &trace, size_t lines,
                           int line_bits) {
  std::vector<uint64_t> stack;  // most recent first
  uint64_t hits = 0;
  for (uint64_t addr : trace) {
    uint64_t line = addr >> line_bits;
    auto at = std::find(stack.begin(), stack.end(), line);
    if (at != stack.end()) {
      hits++;
      stack.erase(at);
    } else if (stack.size() == lines) {
      stack.pop_back();
    }
    stack.insert(stack.begin(), line);
  }
  return hits;
}

uint64_t naive_dm_hits(const std::vector<uint64_t> &trace, int line_bits,
                       int cache_bits) {
  std::vector<uint64_t> held(size_t{1} << (cache_bits - line_bits), ~0ull);
  uint64_t hits = 0;
  for (uint64_t addr : trace) {
    uint64_t line = addr >> line_bits;
    uint64_t &slot = held[line & (held.size() - 1)];
    hits += slot == line;
    slot = line;
  }
  return hits;
}

// A trace over 3000 far-apart places of a 48-bit space, skewed towards a
// few, each touched within 4 KiB: thousands of regions of any size.
std::vector<uint64_t> spread_trace(int n, uint64_t seed) {
  uint64_t x = seed;
  auto next = [&x] {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    return x >> 16;
  };
  std::vector<uint64_t> bases(3000);
  for (uint64_t &b : bases) b = next() & ~0xfffull;
  std::vector<uint64_t> trace;
  for (int i = 0; i < n; i++) {
    uint64_t a = next() % bases.size(), b = next() % bases.size();
    trace.push_back(bases[std::min(a, b)] + next() % 4096);
  }
  return trace;
}

// Every family kind folds such a trace with results equal to an unfolded
// simulation: the folding keeps the bits that pick a set, and equal lines.
TEST_F(SimTest, WidelySpreadTraceFoldsLikeAnUnfoldedRunInEveryFamily) {
  std::vector<uint64_t> trace = spread_trace(20000, 41);
  std::vector<Ref> refs;
  for (uint64_t a : trace) refs.push_back({a, 0});
  write_file(path("t.hex"), as_hex(refs));
  {
    SCOPED_TRACE("set-associative");
    Outcome o = run({"-cache:opts", kFamily, "-out:csv", path("sa.csv"),
                     path("t.hex")});
    ASSERT_EQ(o.status, 0) << o.err;
    expect_family(read_results(path("sa.csv")), trace);
  }
  {
    SCOPED_TRACE("fully associative");
    Outcome o = run({"-cache:opts", "-Cfa -Rlru -l4 -M2048 -i256", "-out:csv",
                     path("fa.csv"), path("t.hex")});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<CsvRow> rows = read_csv_rows(path("fa.csv"));
    ASSERT_EQ(rows.size(), 8u);
    for (const CsvRow &r : rows) {
      EXPECT_EQ(r.references, trace.size());
      EXPECT_EQ(r.hits, naive_fa_lru_hits(trace, r.cache_size / 16, 4))
          << r.cache_size << " bytes";
    }
  }
  {
    SCOPED_TRACE("direct-mapped");
    Outcome o = run({"-cache:opts", "-Cdm -a2 -b5 -c10", "-out:csv",
                     path("dm.csv"), path("t.hex")});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<CsvRow> rows = read_csv_rows(path("dm.csv"));
    ASSERT_EQ(rows.size(), 4u);
    for (const CsvRow &r : rows) {
      int line_bits = __builtin_ctz(r.line_size);
      EXPECT_EQ(r.references, trace.size());
      EXPECT_EQ(r.hits, naive_dm_hits(trace, line_bits, 10))
          << r.line_size << "-byte lines";
    }
  }
}

TEST_F(SimTest, MalformedLineStopsWithFileLineAndText) {
  std::vector<Ref> refs = make_trace(6, 8);
  std::string text = as_din(refs) + "2 zz\n" + as_din(make_trace(20, 9));
  write_file(path("t.din"), text);
  Outcome o = run({path("t.din")});
  EXPECT_EQ(o.status, 1);
  std::string message =
      "`" + path("t.din") + "', line 7: malformed din record: `2 zz'";
  size_t at = o.err.find(message);
  ASSERT_NE(at, std::string::npos) << o.err;
  EXPECT_LT(o.err.find("** end of simulation **"), at);  // report first
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 6);
  EXPECT_EQ(count(o.err, "** end of simulation **"), 1);
}

TEST_F(SimTest, UnusableInputsAreClearErrors) {
  write_file(path("empty"), "");
  write_file(path("odd.bin"), std::string("\x01\x02\x03\x04\x05\x00", 6));
  write_file(path("words.txt"), "hello world\n");
  struct Case {
    std::string file, message;
  } cases[] = {{path("empty"), "is empty"},
               {dir_, "it is a directory"},
               {path("odd.bin"), "2 trailing bytes"},
               {path("words.txt"), "cannot recognise the format"}};
  for (auto &c : cases) {
    Outcome o = run({c.file});
    EXPECT_NE(o.status, 0) << c.file;
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
  }
}

// A name that is no file was also looked for as a program: the message
// says it is neither (a bare name was searched on PATH). A named format
// asks for a file only, and the message stays the file's. The fatal line
// ends with the message; where in the source it was raised is a debugging
// line, shown by -d only.
TEST_F(SimTest, NameThatIsNeitherFileNorProgramSaysSo) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{path("missing")}, "fatal: cannot open `" + path("missing") +
                              "': it is neither a file nor a program\n"},
      {{"vantle-no-such-input"},
       "fatal: cannot open `vantle-no-such-input': it is neither a file nor "
       "a program on PATH\n"},
      {{"-trace:format", "din", path("missing")},
       "fatal: cannot open trace file `" + path("missing") +
           "': No such file or directory\n"}};
  for (auto &c : cases) {
    Outcome o = run(c.args, path("empty-bin").c_str());
    EXPECT_EQ(o.status, 1) << c.message;
    EXPECT_TRUE(has(o.err, c.message)) << o.err;
    EXPECT_FALSE(has(o.err, "ld_open")) << o.err;
    std::vector<std::string> debugging{"-d"};
    debugging.insert(debugging.end(), c.args.begin(), c.args.end());
    o = run(debugging, path("empty-bin").c_str());
    EXPECT_EQ(o.status, 1) << c.message;
    EXPECT_TRUE(has(o.err, c.message + "debug: raised in loader:ld_open, "
                                       "line "))
        << o.err;
  }
}

TEST_F(SimTest, FirstUserSignalGivesAnInterimReport) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  FifoRun r{kSim};
  r.start(path("fifo"), as_din(make_trace(100, 10)));
  kill(r.pid, SIGUSR1);
  fputs(as_din(make_trace(100, 11)).c_str(), r.input);
  EXPECT_EQ(r.finish(), 0);
  EXPECT_EQ(count(r.err, "sim: ** simulation statistics **"), 2) << r.err;
  EXPECT_EQ(count(r.err, "** end of simulation **"), 2);
  // The run went on to the end: the final statistics count everything.
  size_t last = r.err.rfind("sim: ** simulation statistics **");
  EXPECT_EQ(stat_value(r.err.substr(last), "sim_num_fed"), 200);
  long long interim = stat_value(r.err, "sim_num_fed");
  EXPECT_LT(interim, 200);
  // The interim report, under the library's "end of simulation", is
  // announced as one; the final one is not.
  size_t announced = r.err.find(
      "sim: interim report after " + std::to_string(interim) +
      " references; the run goes on\n\nlibvantle: ** end of simulation **");
  EXPECT_NE(announced, std::string::npos) << r.err;
  EXPECT_LT(announced, last);
  EXPECT_EQ(count(r.err, "interim report"), 1);
  EXPECT_FALSE(has(r.err, "ended early"));
}

TEST_F(SimTest, SecondUserSignalEndsTheRunEarly) {
  signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  FifoRun r{kSim};
  std::string json = path("r.json");
  r.start(path("fifo"), as_din(make_trace(100, 12)),
          {"-out:json", json.c_str()});
  kill(r.pid, SIGUSR2);
  std::string more = as_din(make_trace(5000, 13));
  fwrite(more.data(), 1, more.size(), r.input);
  fflush(r.input);
  EXPECT_EQ(r.finish(), 0);
  EXPECT_EQ(count(r.err, "sim: ** simulation statistics **"), 1) << r.err;
  EXPECT_EQ(count(r.err, "** end of simulation **"), 1);
  long long fed = stat_value(r.err, "sim_num_fed");
  EXPECT_LE(fed, 100);
  EXPECT_TRUE(has(r.err, "\nsim: run ended early by SIGUSR2 after " +
                             std::to_string(fed) + " references; the rest of "
                             "the input is not simulated\n\nsim: ** "
                             "simulation statistics **"))
      << r.err;
  EXPECT_TRUE(has(read_file(json), "\n  \"ended_early\": \"SIGUSR2\",\n"));
}

// The first SIGINT or SIGTERM ends the run as SIGUSR2 does, with the
// report of what was fed, a note, the -out: files, and then the status of
// a process the signal ended; a traced program is killed and reaped.
TEST_F(SimTest, InterruptOrTerminationEndsTheRunWithItsReport) {
  signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  FifoRun r{kSim};
  std::string json = path("r.json");
  r.start(path("fifo"), as_din(make_trace(100, 12)),
          {"-out:json", json.c_str()});
  kill(r.pid, SIGINT);
  std::string more = as_din(make_trace(5000, 13));
  fwrite(more.data(), 1, more.size(), r.input);
  fflush(r.input);
  EXPECT_EQ(r.finish(), 130) << r.err;
  EXPECT_EQ(count(r.err, "** end of simulation **"), 1) << r.err;
  long long fed = stat_value(r.err, "sim_num_fed");
  EXPECT_LE(fed, 100);
  EXPECT_TRUE(has(r.err, "\nsim: run ended early by SIGINT after " +
                             std::to_string(fed) + " references; the rest of "
                             "the input is not simulated\n"))
      << r.err;
  std::string written = read_file(json);
  EXPECT_TRUE(has(written, "\n  \"ended_early\": \"SIGINT\",\n"))
      << written;
  EXPECT_TRUE(has(written, "\n  \"references\": " + std::to_string(fed) +
                               ",\n"));

  // A traced program that waits on a FIFO: SIGTERM ends the run, and the
  // program (valgrind runs it in its own process) is gone.
  ASSERT_EQ(mkfifo(path("never").c_str(), 0600), 0);
  std::string script = "echo traced $$ waits >&2; read x < " + path("never");
  FifoRun t{kSim};
  t.launch({"/bin/sh", "-c", script.c_str()});
  ASSERT_TRUE(t.read_until(" waits\n")) << t.err;
  pid_t program = atoi(t.err.c_str() + t.err.rfind("traced ") + 7);
  ASSERT_GT(program, 0) << t.err;
  kill(t.pid, SIGTERM);
  EXPECT_TRUE(t.read_until("sim_num_fed")) << t.err;
  int wstatus = 0;
  ASSERT_TRUE(t.exits(&wstatus)) << t.err;
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 143) << t.err;
  if (kill(program, 0) == 0) {
    ADD_FAILURE() << "the traced program still runs";
    kill(program, SIGKILL);
  }
  t.finish();
  EXPECT_TRUE(has(t.err, "sim: run ended early by SIGTERM after ")) << t.err;
  EXPECT_EQ(count(t.err, "** end of simulation **"), 1) << t.err;
}

// A second SIGINT ends the process at once, as if vantle-sim had no
// handler, here while it is stuck writing its JSON file to a FIFO that
// nobody reads; the plot's unfinished new file is removed.
TEST_F(SimTest, SecondInterruptEndsTheProcessAtOnce) {
  signal(SIGPIPE, SIG_IGN);
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(path("json").c_str(), 0600), 0);
  std::string json = path("json"), plot = path("r.svg");
  FifoRun r{kSim};
  // Every size to 1 MiB in 16-byte steps: far more JSON than a pipe holds.
  r.launch({"-cache:opts", "-Cfa -Rlru -M1048576 -i16", "-out:json",
            json.c_str(), "-out:plot", plot.c_str(), path("fifo").c_str()});
  // A reader that never reads (open without waiting for the writer).
  int unread = open(json.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(unread, 0);
  r.input = fopen(path("fifo").c_str(), "w");
  ASSERT_NE(r.input, nullptr);
  fputs(as_din(make_trace(100, 15)).c_str(), r.input);
  fflush(r.input);
  ASSERT_TRUE(r.read_until("sim: references fed to the cache")) << r.err;
  kill(r.pid, SIGINT);
  ASSERT_TRUE(r.read_until("run ended early by SIGINT")) << r.err;
  kill(r.pid, SIGINT);
  int wstatus = 0;
  EXPECT_TRUE(r.exits(&wstatus)) << r.err;
  EXPECT_TRUE(WIFSIGNALED(wstatus) && WTERMSIG(wstatus) == SIGINT) << r.err;
  close(unread);
  r.finish();
  std::string listing;
  FILE *ls = popen(("ls -A '" + dir_ + "'").c_str(), "r");
  char name[512];
  while (ls && fgets(name, sizeof name, ls)) listing += name;
  if (ls) pclose(ls);
  EXPECT_FALSE(has(listing, "svg")) << listing;
}

// The signals are answered while the input stays silent: the report comes
// and the run ends with the pipe still open and nothing more written.
TEST_F(SimTest, SignalsAreAnsweredWhileThePipeIsSilent) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  FifoRun r{kSim};
  r.start(path("fifo"), as_din(make_trace(100, 14)));
  kill(r.pid, SIGUSR1);
  EXPECT_TRUE(r.read_until("** end of simulation **")) << r.err;
  kill(r.pid, SIGUSR2);
  EXPECT_TRUE(r.read_until("sim_num_fed")) << r.err;
  int wstatus = 0;
  EXPECT_TRUE(r.exits(&wstatus)) << r.err;
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << r.err;
  r.finish();
  EXPECT_EQ(count(r.err, "sim: ** simulation statistics **"), 2) << r.err;
  size_t last = r.err.rfind("sim: ** simulation statistics **");
  EXPECT_EQ(stat_value(r.err.substr(last), "sim_num_fed"), 100);
}

// A traced program that waits: the second signal ends the run and kills
// the program, rather than waiting for it to wake. The shell waits for a
// writer to a FIFO that never comes, and says so first on its stderr, which
// is the run's.
TEST_F(SimTest, SecondSignalKillsAWaitingProgram) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  std::string script = "echo waiting >&2; read x < " + path("fifo");
  FifoRun r{kSim};
  r.launch({"/bin/sh", "-c", script.c_str()});
  ASSERT_TRUE(r.read_until("waiting\n")) << r.err;
  kill(r.pid, SIGUSR2);
  EXPECT_TRUE(r.read_until("sim_num_fed")) << r.err;
  int wstatus = 0;
  EXPECT_TRUE(r.exits(&wstatus)) << r.err;
  EXPECT_TRUE(WIFEXITED(wstatus)) << r.err;
  r.finish();
}

// The example program traced live under valgrind (slow: kept few; QEMU,
// the default where it is installed, has its own tests in test_tracer).
TEST_F(SimTest, TracedProgramExitStatusEndsTheRun) {
  Outcome o = run({"-trace:tracer", "valgrind", "-trace:refs", "data",
                   "-redir:prog", path("prog.txt"), kMatmul, "-s", "3", "8"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(count(o.err, "sim: ** simulation statistics **"), 1);
  EXPECT_EQ(count(o.err, "** end of simulation **"), 1);
  EXPECT_GT(stat_value(o.err, "sim_num_fed"), 8 * 8 * 8 * 2);
  EXPECT_GT(stat_value(o.err, "sim_num_insn"), 8 * 8 * 8);
  EXPECT_NE(read_file(path("prog.txt")).find("matmul plain n=8: checksum"),
            std::string::npos);
}

// A wrapper script that execs the program is traced with it: the
// references are the script's and the program's (as each counts alone),
// in one process; a script that forks it makes two. The user's valgrind
// options come after vantle-sim's own, and win.
TEST_F(SimTest, WrapperScriptIsTracedWithTheProgramItStarts) {
  std::string matmul = kMatmul;
  write_file(path("exec.sh"), "#!/bin/sh\nexec " + matmul + " \"$@\"\n");
  write_file(path("fork.sh"), "#!/bin/sh\n" + matmul + " \"$@\"\nexit $?\n");
  chmod(path("exec.sh").c_str(), 0755);
  chmod(path("fork.sh").c_str(), 0755);
  auto traced = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-trace:tracer", "valgrind", "-trace:refs",
                               "data", "-redir:prog", path("prog.txt")});
    args.push_back("40");
    Outcome o = run(args);
    EXPECT_EQ(o.status, 0) << o.err;
    return o;
  };
  Outcome direct = traced({kMatmul});
  Outcome script_alone = traced(
      {"-trace:valgrind", "--trace-children=no  --error-limit=no",
       path("exec.sh")});
  Outcome through_exec = traced({path("exec.sh")});
  EXPECT_NE(read_file(path("prog.txt")).find("checksum"), std::string::npos);
  Outcome through_fork = traced({path("fork.sh")});
  long long program = stat_value(direct.err, "sim_num_fed");
  long long script = stat_value(script_alone.err, "sim_num_fed");
  long long both = stat_value(through_exec.err, "sim_num_fed");
  ASSERT_GT(program, 40 * 40 * 40 * 2);
  ASSERT_GT(script, 0);
  EXPECT_LT(script, program);  // the program itself was not traced
  EXPECT_NEAR(both, program + script, program / 100);
  EXPECT_GT(stat_value(through_fork.err, "sim_num_fed"), program);
  EXPECT_EQ(stat_value(direct.err, "sim_num_procs"), 1);
  EXPECT_EQ(stat_value(through_exec.err, "sim_num_procs"), 1);
  EXPECT_EQ(stat_value(through_fork.err, "sim_num_procs"), 2);
  EXPECT_TRUE(has(script_alone.err, "--trace-children=no  --error-limit=no"))
      << "the option's value is echoed";
}

// --help and --version answer on stdout with status 0; -h keeps its way
// (banner and usage on stderr, status 1).
TEST_F(SimTest, HelpAndVersionAnswerOnStandardOutput) {
  Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char *option : {"-cache:opts", "-trace:format", "-out:csv",
                             "-redir:sim", "-progress"})
    EXPECT_NE(help.out.find(std::string("\n") + option), std::string::npos)
        << option;
  Outcome version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vantle-sim ", 0), 0u) << version.out;
  EXPECT_GT(version.out.size(), strlen("vantle-sim \n"));
  Outcome h = run({"-h"});
  EXPECT_EQ(h.status, 1);
  EXPECT_EQ(h.out, "");
  EXPECT_NE(h.err.find("Usage: "), std::string::npos);
}

// A fully-associative family past its line limit prints the library's
// "limit exceeded" lines, unchanged; one sim: note after the final report
// says they are no error, once per run, and only when the report shows the
// limit passed (no "all bigger caches" line).
TEST_F(SimTest, LineLimitOfAFullyAssociativeFamilyIsExplainedOnce) {
  std::string trace;
  char line[32];
  for (int i = 0; i < 3000; i++) {  // 600 distinct 16-byte lines, 5 rounds
    snprintf(line, sizeof line, "0 %x\n", 0x100000 + (i % 600) * 16);
    trace += line;
  }
  write_file(path("t.din"), trace);
  const std::string note = "\nsim: note: more distinct lines than -M bytes "
                           "hold: libvantle's \"limit exceeded\" line above";
  const struct {
    std::vector<std::string> families;
    const char *library_line;  // null: within the limit
  } cases[] = {
      {{"-Cfa -Rlru -M4096 -i1024"},
       "libvantle: distinct entries limit exceeded\n"
       "libvantle: addresses processed 257\n"},
      {{"-Cfa -Ropt -M4096 -i1024"},
       "libvantle: tot_addrs limit exceeded, t_entries=257\n"},
      {{"-Cfa -Rlru -M16384 -i1024"}, nullptr},
      {{"-Cdm -c6 -a4 -b5"}, nullptr},
      {{"-Cfa -Rlru -M16384 -i1024", "-Cfa -Ropt -M4096 -i1024",
        "-Cfa -Rlru -M2048 -i1024"},
       "libvantle: tot_addrs limit exceeded, t_entries=257\n"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args{"-progress", "false"};
    for (const std::string &f : c.families)
      args.insert(args.end(), {"-cache:opts", f});
    args.push_back(path("t.din"));
    Outcome o = run(args);
    SCOPED_TRACE(c.families[0]);
    ASSERT_EQ(o.status, 0) << o.err;
    if (!c.library_line) {
      EXPECT_FALSE(has(o.err, "sim: note:")) << o.err;
      continue;
    }
    EXPECT_TRUE(has(o.err, c.library_line)) << o.err;
    EXPECT_EQ(count(o.err, note), 1) << o.err;
    // After the (first) report that passed the limit, right at its end.
    size_t at = o.err.find(note);
    EXPECT_LT(o.err.find(c.library_line), at);
    size_t report = o.err.rfind("** end of simulation **", at);
    ASSERT_NE(report, std::string::npos);
    std::string between = o.err.substr(report, at - report);
    EXPECT_TRUE(has(between, "Cache size (bytes)\tMiss Ratio\n"));
    EXPECT_FALSE(has(between, "bigger caches")) << between;
  }
}

// --help lists the library's words by family with their defaults: a
// family given only its -C word must give the same rows as one given every
// default --help shows, and every letter the library reads is listed.
TEST_F(SimTest, HelpShowsEveryLibraryWordWithItsTrueDefault) {
  Outcome help = run({"--help"});
  ASSERT_EQ(help.status, 0);
  EXPECT_TRUE(has(help.out, "QEMU")) << "the default tracer is named";
  std::vector<std::string> lines = lines_of(help.out);
  auto table = std::find_if(lines.begin(), lines.end(), [](auto &l) {
    return l.rfind("The library's option words", 0) == 0;
  });
  ASSERT_NE(table, lines.end()) << help.out;
  std::vector<std::pair<std::string, std::string>> groups;  // name, defaults
  std::string letters;
  for (auto l = table + 1; l != lines.end() && !l->empty(); ++l) {
    char word[32], def[32];
    if (l->rfind("    -", 0) == 0 &&
        sscanf(l->c_str(), "%31s %31s", word, def) == 2) {
      ASSERT_FALSE(groups.empty()) << *l;
      EXPECT_EQ(def[1], word[1]) << *l;
      groups.back().second += std::string(" ") + def;
      letters += word[1];
    } else if (l->rfind("  ", 0) == 0 && (*l)[2] != ' ' &&
               l->find("default") == std::string::npos) {
      groups.push_back({l->substr(2), ""});
    }
  }
  for (char letter : std::string("CRabclniM"))
    EXPECT_NE(letters.find(letter), std::string::npos) << letter;
  ASSERT_EQ(groups.size(), 4u) << help.out;
  write_file(path("t.din"), as_din(make_trace(4000, 5)));
  auto rows = [&](const std::string &words) {
    std::vector<std::string> args{"-out:csv", path("r.csv"), path("t.din")};
    if (!words.empty()) args.insert(args.begin(), {"-cache:opts", words});
    Outcome o = run(args);
    EXPECT_EQ(o.status, 0) << words << ": " << o.err;
    return read_file(path("r.csv"));
  };
  // "every family": -C and -R defaults are what no word at all gives.
  // (Compared whole; a default fully-associative family has 1024 rows.)
  EXPECT_TRUE(rows("") == rows(groups[0].second.substr(1)));
  const std::pair<const char *, const char *> family_words[] = {
      {"set-associative", "-Csa"}, {"fully-associative", "-Cfa"},
      {"direct-mapped", "-Cdm"}};
  for (auto [name, word] : family_words) {
    auto g = std::find_if(groups.begin(), groups.end(),
                          [&](auto &g) { return g.first == name; });
    ASSERT_NE(g, groups.end()) << name;
    SCOPED_TRACE(g->second);
    std::string alone = rows(word);
    EXPECT_GT(lines_of(alone).size(), 1u);
    EXPECT_TRUE(alone == rows(word + g->second));
  }
}

// The three examples of --help run as written, in a directory holding the
// files they name (./a.out, trace.din.gz), shortened by -trace:max.
TEST_F(SimTest, HelpExamplesRunAsWritten) {
  Outcome help = run({"--help"});
  std::vector<std::string> commands;
  bool more = false;
  for (const std::string &line : lines_of(help.out)) {
    size_t start = line.find_first_not_of(' ');
    std::string text = start == std::string::npos ? "" : line.substr(start);
    if (more) commands.back() += " " + text;
    else if (text.rfind("vantle-sim ", 0) == 0) commands.push_back(text);
    else continue;
    more = !commands.back().empty() && commands.back().back() == '\\';
    if (more) commands.back().pop_back();
  }
  ASSERT_EQ(commands.size(), 3u) << help.out;
  ASSERT_EQ(symlink(kMatmul, path("a.out").c_str()), 0);
  write_file(path("trace.din"), as_din(make_trace(3000, 9)));
  ASSERT_EQ(system(("gzip '" + path("trace.din") + "'").c_str()), 0);
  std::string bin = kSim;
  bin.erase(bin.rfind('/'));
  for (std::string command : commands) {
    SCOPED_TRACE(command);
    command.insert(strlen("vantle-sim "), "-trace:max 20000 ");
    std::string shell = "cd '" + dir_ + "' && PATH='" + bin + "':\"$PATH\" " +
                        command + " >out.txt 2>err.txt </dev/null";
    EXPECT_EQ(system(shell.c_str()), 0) << read_file(path("err.txt"));
    EXPECT_TRUE(has(read_file(path("err.txt")), "** end of simulation **"));
  }
  EXPECT_TRUE(has(read_file(path("l1.svg")), "</svg>"));
}

// An unquoted -cache:opts value reaches vantle-sim as several words: the
// error names the quoting that was meant. Words that are not the library's
// keep the plain error.
TEST_F(SimTest, SplitCacheOptsValueIsToldToQuoteItsWords) {
  write_file(path("t.din"), as_din(make_trace(100, 1)));
  const struct {
    std::vector<std::string> args;
    const char *said;
  } cases[] = {
      {{"-cache:opts", "-Cfa", "-M65536", "-i4096", path("t.din")},
       "error: unknown option `-M65536': it reads as a word of the "
       "-cache:opts value before it; quote the value's words together: "
       "-cache:opts \"-Cfa -M65536 -i4096\"\n"},
      {{"-trace:refs", "data", "-cache:opts", "inst:", "-Csa", "-a6",
        path("t.din")},
       "-cache:opts \"inst: -Csa -a6\"\n"},
      {{"-cache:opts", "-Cfa", "-x5", path("t.din")},
       "error: unknown option `-x5' (-h lists the options)\n"},
      {{"-out:csv", "-Cfa", "-M65536", path("t.din")},
       "error: unknown option `-M65536' (-h lists the options)\n"},
  };
  for (const auto &c : cases) {
    Outcome o = run(c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(o.err.size() >= strlen(c.said) &&
                o.err.compare(o.err.size() - strlen(c.said), std::string::npos,
                              c.said) == 0) << o.err;
    EXPECT_EQ(count(o.err, "\n"), 1) << o.err;
  }
  // A quoted value and a program's own words are left alone.
  Outcome fine = run({"-cache:opts", "-Cfa -M65536", path("t.din")});
  EXPECT_EQ(fine.status, 0) << fine.err;
}

TEST_F(SimTest, WordsAfterTheProgramAreItsOwn) {
  Outcome o = run({"-redir:prog", path("prog.txt"), kMatmul, "-h"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err.find("Usage: "), std::string::npos);
  EXPECT_NE(read_file(path("prog.txt")).find("usage: matmul"),
            std::string::npos);
  EXPECT_EQ(o.out, "");
}

TEST_F(SimTest, ProgramWithoutValgrindIsAClearError) {
  Outcome o = run({kMatmul, "8"}, path("empty-bin").c_str());
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("valgrind is not installed"), std::string::npos)
      << o.err;
}

}  // namespace
