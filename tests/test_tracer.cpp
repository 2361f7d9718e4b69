// The QEMU plugin: small programs with known access patterns run under
// qemu-x86_64 with the plugin writing to a file or a pipe, and their
// records read back. Skipped where QEMU is not installed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"
#include "transport/fold_map.h"
#include "transport/trace_record.h"
#ifdef VANTLE_QEMU_PLUGIN
#include "tracer_run.h"
#endif

namespace {

#ifdef VANTLE_QEMU_PLUGIN
// Each run loads n words of the array and stores m: exactly those show in
// the array, each right after the fetch of its instruction; between two
// runs, the totals of loads and stores differ by the kernel's alone, and
// the fetches by at least one instruction per word.
TEST_F(TracerTest, KernelLoadsAndStoresAreSeenExactly) {
  struct {
    const char *n, *m;
    std::vector<long long> counts;
  } runs[] = {{"01000", "00200", {}}, {"03000", "00700", {}}};
  for (auto &run : runs) {
    GuestRun g = trace({kKernel, run.n, run.m});
    ASSERT_EQ(g.status, 0) << g.err;
    EXPECT_EQ(g.err, "");
    bool whole;
    std::vector<Record> records = records_of(g.records, &whole);
    ASSERT_TRUE(whole);
    run.counts = kind_counts(records);
    EXPECT_EQ(run.counts[0], 0) << "records of no kind";
    std::vector<Range> array = printed_ranges(g.out);
    ASSERT_EQ(array.size(), 1u) << g.out;
    count_in_ranges(records, &array);
    EXPECT_EQ(array[0].loads, atoll(run.n));
    EXPECT_EQ(array[0].stores, atoll(run.m));
    long long after_fetch = 0;
    for (size_t i = 1; i < records.size(); i++)
      if (records[i].address - array[0].base < array[0].size &&
          records[i - 1].kind == TRACE_KIND_FETCH)
        after_fetch++;
    EXPECT_EQ(after_fetch, atoll(run.n) + atoll(run.m));
  }
  EXPECT_EQ(runs[1].counts[TRACE_KIND_LOAD] - runs[0].counts[TRACE_KIND_LOAD],
            2000);
  EXPECT_EQ(
      runs[1].counts[TRACE_KIND_STORE] - runs[0].counts[TRACE_KIND_STORE],
      500);
  EXPECT_GE(
      runs[1].counts[TRACE_KIND_FETCH] - runs[0].counts[TRACE_KIND_FETCH],
      2500);
}

// Four threads run at once, each on its own vCPU and buffer, for far more
// than a buffer's worth of records: every record whole and of a valid
// kind, and each thread's every load and store of its array there.
TEST_F(TracerTest, FourThreadsAreTracedWithoutLoss) {
  const long long rounds = 100;
  GuestRun g = trace({kThreads, std::to_string(rounds)});
  ASSERT_EQ(g.status, 0) << g.err;
  EXPECT_EQ(g.signal, 0);
  bool whole;
  std::vector<Record> records = records_of(g.records, &whole);
  EXPECT_TRUE(whole);
  EXPECT_EQ(kind_counts(records)[0], 0) << "records of no kind";
  std::vector<Range> arrays = printed_ranges(g.out);
  ASSERT_EQ(arrays.size(), 4u) << g.out;
  count_in_ranges(records, &arrays);
  for (const Range &a : arrays) {
    long long words = static_cast<long long>(a.size / sizeof(long));
    EXPECT_EQ(a.loads, rounds * words);
    EXPECT_EQ(a.stores, rounds * words);
  }
}

// Code that QEMU translates anew as it runs is recorded as it runs: a
// function whose second instruction straddles two pages (which ends a
// translated block early) and whose third stores into the page it runs
// from (which makes QEMU restart that instruction) gives, each call, four
// fetches and one store. A loop that jumps back into the tail of a block,
// past its last access, looks like a block cut short there, and is not:
// five rounds of two instructions and three more give 13 fetches a call.
TEST_F(TracerTest, CodeTranslatedAnewIsRecordedOncePerRun) {
  const long long calls = 50;
  GuestRun g = trace({kJit, std::to_string(calls)});
  if (g.status == 77) GTEST_SKIP() << "the function is x86-64 code";
  ASSERT_EQ(g.status, 0) << g.err;
  bool whole;
  std::vector<Record> records = records_of(g.records, &whole);
  ASSERT_TRUE(whole);
  std::vector<Range> code = printed_ranges(g.out);
  ASSERT_EQ(code.size(), 2u) << g.out;
  long long fetches[2] = {0, 0};
  for (const Record &r : records)
    for (int f = 0; f < 2; f++)
      fetches[f] += r.kind == TRACE_KIND_FETCH &&
                    r.address - code[f].base < code[f].size;
  EXPECT_EQ(fetches[0], 4 * calls);
  EXPECT_EQ(fetches[1], 13 * calls);
  std::vector<Range> target(1);
  target[0].base = code[0].base + 12 + 0x100;  // rip after the store + 0x100
  target[0].size = 4;
  count_in_ranges(records, &target);
  EXPECT_EQ(target[0].stores, calls);
}

// A reader that has gone away stops the records, not the program: it ends
// as it would untraced, with no signal and nothing said.
TEST_F(TracerTest, ReaderGoneLeavesTheProgramAlone) {
  GuestRun g = trace({kThreads, "20"}, true);
  EXPECT_EQ(g.status, 0) << g.err;
  EXPECT_EQ(g.signal, 0);
  EXPECT_EQ(g.err, "");
  EXPECT_EQ(printed_ranges(g.out).size(), 4u);
}

// A program that execs another leaves QEMU with no exit callback: the
// plugin writes what it holds before the exec.
TEST_F(TracerTest, ExecWritesTheRecordsHeldBeforeIt) {
  long long loads[2];
  const char *counts[] = {"01000", "03000"};
  for (int i = 0; i < 2; i++) {
    GuestRun g = trace({kEnding, "exec", counts[i]});
    ASSERT_EQ(g.status, 0) << g.err;
    bool whole;
    loads[i] = kind_counts(records_of(g.records, &whole))[TRACE_KIND_LOAD];
    EXPECT_TRUE(whole);
  }
  EXPECT_EQ(loads[1] - loads[0], 2000);
}

TEST_F(TracerTest, PluginWithoutDescriptorRefusesToLoad) {
  for (const char *args : {"", ",fd=x", ",fd=77"}) {
    GuestRun g = trace({kKernel, "1", "1"}, false, args);
    EXPECT_NE(g.status, 0) << args;
    EXPECT_TRUE(has(g.err, "vantle plugin: needs an open descriptor as fd=N"))
        << args << ": " << g.err;
    EXPECT_EQ(g.out, "") << args;
  }
}
// The live run sees the records the plugin writes, every one: the same
// counts and, folded the same way, the same hits as a trace file of them.
TEST_F(SimTracerTest, LiveRunMatchesAFileOfTheSameRecords) {
  GuestRun g = trace({kKernel, "01000", "00200"});
  ASSERT_EQ(g.status, 0) << g.err;
  bool whole;
  std::vector<Record> records = records_of(g.records, &whole);
  ASSERT_TRUE(whole);
  std::vector<long long> counts = kind_counts(records);
  write_file(path("records.din"), as_din(records));
  const std::string family = "-a1 -b6 -n2 -l5";
  Outcome live = sim({"-cache:opts", family, "-out:csv", path("live.csv"),
                      "-trace:tracer", "qemu", "-redir:prog", path("prog"),
                      kKernel, "01000", "00200"});
  ASSERT_EQ(live.status, 0) << live.err;
  EXPECT_TRUE(has(live.err, "traced live under " + qemu_ +
                                " with vantle's plugin")) << live.err;
  EXPECT_FALSE(has(live.err, "sim: input: trace file")) << live.err;
  EXPECT_EQ(stat_value(live.err, "sim_num_insn"), counts[TRACE_KIND_FETCH]);
  EXPECT_EQ(stat_value(live.err, "sim_num_loads"), counts[TRACE_KIND_LOAD]);
  EXPECT_EQ(stat_value(live.err, "sim_num_stores"),
            counts[TRACE_KIND_STORE]);
  Outcome file = sim({"-cache:opts", family, "-out:csv", path("file.csv"),
                      path("records.din")});
  ASSERT_EQ(file.status, 0) << file.err;
  std::vector<NaiveRow> want = read_results(path("file.csv")),
                        got = read_results(path("live.csv"));
  ASSERT_EQ(got.size(), want.size());
  ASSERT_FALSE(want.empty());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].references, want[i].references) << i;
    EXPECT_EQ(got[i].hits, want[i].hits) << i;
  }
}

// Through vantle-sim, -trace:refs load (store) feeds exactly the kernel's
// extra loads (stores) between two runs, and inst counts its fetches.
TEST_F(SimTracerTest, ReferenceKindsSelectTheKernelsReferences) {
  auto fed = [&](const char *refs, const char *n, const char *m) {
    Outcome o = sim({"-trace:refs", refs, "-trace:tracer", "qemu",
                     "-redir:prog", path("prog"), kKernel, n, m});
    EXPECT_EQ(o.status, 0) << o.err;
    return stat_value(o.err, "sim_num_fed");
  };
  EXPECT_EQ(fed("load", "03000", "00200") - fed("load", "01000", "00200"),
            2000);
  EXPECT_EQ(fed("store", "01000", "00900") - fed("store", "01000", "00200"),
            700);
  EXPECT_EQ(fed("data", "03000", "00900") - fed("data", "01000", "00200"),
            2700);
  EXPECT_GE(fed("inst", "03000", "00900") - fed("inst", "01000", "00200"),
            2700);
}

// The program's exit status is vantle-sim's; a program killed by a signal
// is reported, with 128 + the signal; -trace:max stops the program.
TEST_F(SimTracerTest, ExitStatusSignalAndMaxPassThrough) {
  Outcome o = sim({"-trace:tracer", "qemu", "-redir:prog", path("prog"),
                   kMatmul, "-s", "3", "8"});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_EQ(count(o.err, "sim: ** simulation statistics **"), 1);
  EXPECT_TRUE(has(read_file(path("prog")), "matmul plain n=8: checksum"));
  o = sim({"-trace:tracer", "qemu", "-redir:prog", path("prog"), "/bin/sh",
           "-c", "kill -SEGV $$"});
  EXPECT_EQ(o.status, 128 + SIGSEGV) << o.err;
  EXPECT_TRUE(has(o.err, "sim: program `/bin/sh' terminated by signal 11"))
      << o.err;
  o = sim({"-trace:tracer", "qemu", "-trace:max", "5000", "-redir:prog",
           path("prog"), kMatmul, "200"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 5000);
}

// The plugin folds the addresses: a program that touches memory in more
// regions than the folding map has places (a family whose every address
// bit picks a set leaves it one) stops at the first that does not fold,
// after what came before it is simulated.
TEST_F(SimTracerTest, FullFoldingMapEndsTheRunAtItsAddress) {
  Outcome o = sim({"-cache:opts", "-Csa -a20 -b20 -n1 -l12", "-trace:tracer",
                   "qemu", kFar, "3"});
  EXPECT_NE(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, "address 0x1000000000: the map folding 64-bit "
                         "addresses into 32 bits is full")) << o.err;
  EXPECT_GT(stat_value(o.err, "sim_num_fed"), 0);
}

// Without the plugin beside vantle-sim, auto falls back to valgrind and
// says why, and how much slower that is; -trace:tracer qemu refuses,
// naming the plugin's path. Without QEMU on PATH, auto says that. Asked
// for, valgrind comes without a word on its speed.
TEST_F(SimTracerTest, MissingPluginOrQemuFallsBackToValgrind) {
  std::string copy = path("vantle-sim");
  std::string cp = "cp '" + std::string(kSim) + "' '" + copy + "'";
  ASSERT_EQ(system(cp.c_str()), 0);
  std::string plugin = path("vantle-qemu.so");
  Outcome o = sim({"-trace:tracer", "qemu", kKernel, "1", "1"},
                  copy.c_str());
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "cannot trace `" + std::string(kKernel) +
                             "' under QEMU: vantle's QEMU plugin `" + plugin +
                             "' is missing")) << o.err;
  std::string valgrind_dir = path("bin");
  mkdir(valgrind_dir.c_str(), 0755);
  if (access("/usr/bin/valgrind", X_OK) != 0)
    GTEST_SKIP() << "valgrind is not installed";
  write_file(valgrind_dir + "/valgrind",
             "#!/bin/sh\nexec /usr/bin/valgrind \"$@\"\n");
  chmod((valgrind_dir + "/valgrind").c_str(), 0755);
  const std::string lackey =
      "' traced live under valgrind --tool=lackey (lackey records), not "
      "QEMU: ";
  o = sim({"-trace:max", "1000", kKernel, "1", "1"}, copy.c_str());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, std::string(kKernel) + lackey +
                             "vantle's QEMU plugin `" + plugin +
                             "' is missing\n")) << o.err;
  o = sim({"-trace:max", "1000", kKernel, "1", "1"}, kSim,
          valgrind_dir.c_str());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_TRUE(has(o.err, std::string(kKernel) + lackey +
                             "qemu-x86_64 is not installed (not found on "
                             "PATH)\nsim: valgrind traces some 40 to 200 "
                             "times slower than QEMU with vantle's plugin, "
                             "chosen only because QEMU cannot trace it "
                             "here\n")) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_fed"), 1000);
  o = sim({"-trace:tracer", "valgrind", "-trace:max", "1000", kKernel, "1",
           "1"});
  EXPECT_FALSE(has(o.err, "times slower")) << "valgrind was asked for";
  EXPECT_FALSE(has(o.err, "sim: input: trace file")) << o.err;
}

// vantle-sim killed outright while the plugin waits for room in the ring
// (a slow family falls behind): the plugin stops recording and the program
// runs on, untraced, to its end. A child that takes in orphans stands in
// for init, so that QEMU can be waited for.
TEST_F(SimTracerTest, ProgramOutlivesAKilledVantleSim) {
  std::string prog = path("prog"), err = path("err");
  pid_t keeper = fork();
  if (keeper == 0) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_t sim = fork();
    if (sim == 0) {
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(e, 2);
      execl(kSim, kSim, "-v", "-progress", "false", "-cache:opts",
            "-Cfa -Ropt", "-trace:tracer", "qemu", "-redir:prog",
            prog.c_str(), kMatmul, "128", static_cast<char *>(nullptr));
      _exit(127);
    }
    usleep(300000);  // the ring fills long before
    kill(sim, SIGKILL);
    int status = 0;
    for (int waited = 0; waited < 200; waited++) {  // 20 s at most
      pid_t done = waitpid(-1, &status, WNOHANG);
      if (done < 0) _exit(0);  // vantle-sim and QEMU both gone
      if (done == 0) usleep(100000);
    }
    _exit(1);  // QEMU still waits
  }
  int status = 0;
  waitpid(keeper, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the program did not end";
  EXPECT_TRUE(has(read_file(err), "sim: tracing")) << read_file(err);
  EXPECT_TRUE(has(read_file(prog), "checksum")) << read_file(prog);
}

// The user signals are answered while a program under QEMU waits (its
// shell blocks on a FIFO): an interim report, then, once the program goes
// on and ends, the final one.
TEST_F(SimTracerTest, FirstUserSignalWhileTheProgramWaits) {
  std::string fifo = path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string script = "echo waiting >&2; read x < " + fifo;
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 2);
    close(p[0]);
    execl(kSim, kSim, "-progress", "false", "-trace:tracer", "qemu",
          "/bin/sh", "-c", script.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(p[1]);
  std::string err;
  auto read_until = [&](const std::string &marker) {
    char buf[4096];
    for (int waits = 0; !has(err, marker) && waits < 200; waits++) {
      pollfd f = {p[0], POLLIN, 0};
      if (poll(&f, 1, 100) <= 0) continue;
      ssize_t n = read(p[0], buf, sizeof buf);
      if (n <= 0) break;
      err.append(buf, static_cast<size_t>(n));
    }
    return has(err, marker);
  };
  ASSERT_TRUE(read_until("waiting\n")) << err;
  kill(pid, SIGUSR1);
  EXPECT_TRUE(read_until("** end of simulation **")) << err;
  FILE *writer = fopen(fifo.c_str(), "w");
  ASSERT_NE(writer, nullptr);
  fputs("go\n", writer);
  fclose(writer);
  read_until("\x01never");
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  close(p[0]);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0) << err;
  EXPECT_EQ(count(err, "sim: ** simulation statistics **"), 2) << err;
  EXPECT_EQ(count(err, "** end of simulation **"), 2) << err;
  size_t last = err.rfind("sim: ** simulation statistics **");
  EXPECT_GT(stat_value(err.substr(last), "sim_num_fed"),
            stat_value(err.substr(0, last), "sim_num_fed"));
}

// Whatever a program does to its descriptors (those vantle-sim handed QEMU
// included) it is traced to its end: runs of 1000 and 3000 loads differ by
// 2000 loads.
TEST_F(SimTracerTest, NothingDoneToDescriptorsCutsTheTrace) {
  for (const char *how : {"close", "dup2", "read"})
    EXPECT_EQ(ending_loads(how, "03000", 0) -
                  ending_loads(how, "01000", 0),
              2000)
        << how;
}

// A program that dies by a signal (its own abort, a fault, SIGKILL), or
// execs another program, ends QEMU without an exit callback: every
// reference it made is fed all the same, and how it ended is said.
TEST_F(SimTracerTest, ProgramEndedWithoutExitLosesNoReference) {
  const struct {
    const char *how;
    int status;
    std::string said;
  } endings[] = {
      {"abort", 128 + SIGABRT, "terminated by signal 6 (Aborted)"},
      {"fault", 128 + SIGSEGV, "terminated by signal 11 (Segmentation"},
      {"kill", 128 + SIGKILL, "terminated by signal 9 (Killed)"},
      {"exec", 0, ""}};
  for (const auto &e : endings)
    EXPECT_EQ(ending_loads(e.how, "03000", e.status, e.said) -
                  ending_loads(e.how, "01000", e.status, e.said),
              2000)
        << e.how;
}

// A forked child is traced too, its records kept apart from the parent's
// unwritten ones: runs of 1000 and 3000 loads differ by the parent's 2000,
// and the child's four passes over the array come on top of what the
// program that forks nothing loads.
TEST_F(SimTracerTest, ForkedChildIsTracedApartFromItsParent) {
  long long forked = ending_loads("fork", "03000", 0);
  EXPECT_EQ(forked - ending_loads("fork", "01000", 0), 2000);
  EXPECT_GE(forked - ending_loads("exit", "03000", 0), 4 * 65536);
}

// A forked child killed with records in its batch: they are fed all the
// same (the parent's loads and the child's each differ by 2000).
TEST_F(SimTracerTest, ChildKilledWithRecordsUnwrittenLosesNone) {
  EXPECT_EQ(ending_loads("childdies", "03000", 0) -
                ending_loads("childdies", "01000", 0),
            4000);
}

// A script runs under QEMU as the kernel would run it, its interpreter
// traced; one whose "#!" names no program QEMU can run is refused, saying
// why. A tracer of no known name is refused.
TEST_F(SimTracerTest, ScriptsAndBadTracerNames) {
  std::string script = path("script"), text = path("text");
  write_file(script, "#!/bin/sh\nexit 3\n");
  write_file(text, "#!" + path("plain") + "\n");
  write_file(path("plain"), "nothing to run\n");
  chmod(script.c_str(), 0755);
  chmod(text.c_str(), 0755);
  Outcome o = sim({"-trace:tracer", "qemu", script});
  EXPECT_EQ(o.status, 3) << o.err;
  EXPECT_GT(stat_value(o.err, "sim_num_insn"), 0) << o.err;
  o = sim({"-trace:tracer", "qemu", text});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "cannot trace `" + text + "' under QEMU: `" +
                             path("plain") + "' is not an ELF executable"))
      << o.err;
  o = sim({"-trace:tracer", "bochs", kKernel, "1", "1"});
  EXPECT_EQ(o.status, 1);
  EXPECT_TRUE(has(o.err, "error: -trace:tracer must be auto, qemu or "
                         "valgrind, not `bochs'")) << o.err;
}
// A statically linked AArch64 program runs under qemu-aarch64, its
// references counted as a native one's and its exit status passed on; a
// dynamically linked one needs its libraries' root, -trace:sysroot.
TEST_F(SimTracerTest, ForeignProgramsRunUnderTheirEmulator) {
#ifndef KERNEL_AARCH64_PATH
  GTEST_SKIP() << "no AArch64 cross compiler";
#else
  const std::string kernel = KERNEL_AARCH64_PATH;
  const std::string dynamic = kernel + "-dynamic";
  const std::string emulator =
      qemu_.substr(0, qemu_.rfind('/')) + "/qemu-aarch64";
  if (access(emulator.c_str(), X_OK) != 0)
    GTEST_SKIP() << "qemu-aarch64 is not installed";
  auto loads = [&](const std::string &program, const char *n,
                   std::vector<std::string> args = {}) {
    args.insert(args.end(), {"-trace:refs", "load", "-redir:prog",
                             path("prog"), program, n, "00100"});
    Outcome o = sim(args);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(has(o.err, "' traced live under " + emulator +
                               " with vantle's plugin")) << o.err;
    return stat_value(o.err, "sim_num_fed");
  };
  EXPECT_EQ(loads(kernel, "03000") - loads(kernel, "01000"), 2000);
  Outcome o = sim({"-redir:prog", path("prog"), kernel, "too", "many",
                   "words"});
  EXPECT_EQ(o.status, 2) << o.err;
  if (access("/usr/aarch64-linux-gnu/lib", R_OK) != 0) return;
  std::vector<std::string> root{"-trace:sysroot", "/usr/aarch64-linux-gnu"};
  EXPECT_EQ(loads(dynamic, "03000", root) - loads(dynamic, "01000", root),
            2000);
  if (access("/lib/ld-linux-aarch64.so.1", F_OK) == 0) return;
  o = sim({"-redir:prog", path("prog"), dynamic, "01000", "00100"});
  EXPECT_NE(o.status, 0) << "ran without its libraries";
#endif
}
#else
TEST(TracerTest, PluginIsNotBuilt) {
  GTEST_SKIP() << "the QEMU plugin is not built on this host";
}
#endif

// The plugins look a placed region up in the shared map without its lock:
// a region not yet placed is not found, a placed one folds as under the
// lock, and so it goes on after the map has grown into new tables many
// times over (16-byte regions, hundreds of thousands of them).
TEST(SharedFolding, LookupWithoutTheLockFindsPlacedRegionsOnly) {
  const int bits = 4;
  size_t bytes = fm_shared_bytes(bits);
  void *area = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                    MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(area, MAP_FAILED);
  fm_shared_init(area, bits);
  std::vector<uint64_t> addrs;
  uint64_t x = 7;
  for (int i = 0; i < 200000; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    addrs.push_back(x >> 8);
  }
  std::vector<uint32_t> folded(addrs.size());
  uint32_t found = 0;
  for (size_t i = 0; i < addrs.size(); i++) {
    ASSERT_FALSE(fm_shared_lookup(area, addrs[i], &found)) << i;
    ASSERT_EQ(fm_shared_fold(area, addrs[i], &folded[i]), FM_NEW_REGION);
    ASSERT_TRUE(fm_shared_lookup(area, addrs[i] ^ 9, &found)) << i;
    ASSERT_EQ(found, folded[i] ^ 9) << i;
  }
  for (size_t i = 0; i < addrs.size(); i++) {
    ASSERT_TRUE(fm_shared_lookup(area, addrs[i], &found)) << i;
    EXPECT_EQ(found, folded[i]) << i;
  }
  munmap(area, bytes);
}

}  // namespace
