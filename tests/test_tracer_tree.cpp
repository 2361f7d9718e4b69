// Process trees traced live under QEMU: every process a program forks or
// execs (through a shell, posix_spawn, a script, a static program) runs
// under QEMU with the plugin, folds with the one map, and is counted; the
// ones that cannot are named. Skipped where QEMU is not installed.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"
#ifdef VANTLE_QEMU_PLUGIN
#include "tracer_run.h"
#endif

namespace {

#ifdef VANTLE_QEMU_PLUGIN
class TreeTest : public SimTracerTest {
 protected:
  // The loads fed of vantle-sim running args under tracer, after checking
  // its exit status.
  long long loads(std::vector<std::string> args, int status = 0,
                  Outcome *seen = nullptr) {
    args.insert(args.begin(), {"-trace:refs", "load", "-redir:prog",
                               path("prog")});
    Outcome o = sim(args);
    EXPECT_EQ(o.status, status) << o.err;
    if (seen) *seen = o;
    return stat_value(o.err, "sim_num_fed");
  }
  // An executable script of text.
  std::string script(const std::string &name, const std::string &text) {
    write_file(path(name), text);
    chmod(path(name).c_str(), 0755);
    return path(name);
  }
};

// A parent that forks, a child that execs /bin/sh -c, a "#!" script that
// runs a static program: every process is traced, as valgrind traces
// them, counted alike and with the counts of each kind within 1 % (a
// modify, which valgrind counts once, is a load and a store under QEMU).
TEST_F(TreeTest, EveryProcessIsTracedAsValgrindTracesIt) {
  if (access("/usr/bin/valgrind", X_OK) != 0)
    GTEST_SKIP() << "valgrind is not installed";
  std::string leaf = script(
      "leaf.sh", "#!/bin/sh\n" + std::string(kTreeStatic) + " \"$1\" leaf\n");
  std::vector<std::string> tree{"-redir:prog", path("prog"), kTree, "150",
                                "fork-sh", leaf};
  std::vector<std::string> by_qemu = tree, by_valgrind = tree;
  by_qemu.insert(by_qemu.begin(), {"-trace:tracer", "qemu"});
  by_valgrind.insert(by_valgrind.begin(), {"-trace:tracer", "valgrind"});
  Outcome q = sim(by_qemu), v = sim(by_valgrind);
  ASSERT_EQ(q.status, 0) << q.err;
  ASSERT_EQ(v.status, 0) << v.err;
  EXPECT_EQ(stat_value(q.err, "sim_num_procs"), 4) << q.err;
  EXPECT_EQ(stat_value(v.err, "sim_num_procs"), 4) << v.err;
  long long modifies = stat_value(v.err, "sim_num_modifies");
  const struct {
    const char *stat;
    long long valgrind;
  } kinds[] = {
      {"sim_num_insn", stat_value(v.err, "sim_num_insn")},
      {"sim_num_loads", stat_value(v.err, "sim_num_loads") + modifies},
      {"sim_num_stores", stat_value(v.err, "sim_num_stores") + modifies}};
  for (const auto &k : kinds) {
    double qemu = static_cast<double>(stat_value(q.err, k.stat));
    EXPECT_GT(k.valgrind, 3 * 150 * 8192) << k.stat;
    EXPECT_NEAR(qemu / k.valgrind, 1.0, 0.01) << k.stat;
  }
}

// An exec keeps its process, and the program it runs is traced: through
// execve of a static program, and through posix_spawn; a shell's child
// that clears its environment is traced too.
TEST_F(TreeTest, ExecsAreFollowedHoweverTheyAreMade) {
  const struct {
    const char *what;
    std::vector<std::string> before;
    long long processes;
  } ways[] = {
      {"a static program's execve", {kTreeStatic, "1", "exec", kKernel}, 1},
      {"posix_spawn", {kTree, "1", "spawn", kKernel}, 2},
      {"env -i", {"/bin/sh", "-c", std::string("env -i ") + kKernel + " \"$@\"",
                  "sh"}, 2}};
  for (const auto &way : ways) {
    std::vector<std::string> few = way.before, many = way.before;
    few.insert(few.end(), {"01000", "00100"});
    many.insert(many.end(), {"03000", "00100"});
    Outcome o;
    long long more = loads(many, 0, &o);
    EXPECT_EQ(more - loads(few), 2000) << way.what;
    EXPECT_EQ(stat_value(o.err, "sim_num_procs"), way.processes) << way.what;
    EXPECT_FALSE(has(o.err, "untraced")) << way.what << ": " << o.err;
  }
}

// A set-user-ID program runs untraced (QEMU would run it without its
// privileges), and the run names it.
TEST_F(TreeTest, SetUserIdProgramRunsUntracedAndIsNamed) {
  std::string copy = path("kernel-setuid");
  std::string cp = "cp '" + std::string(kKernel) + "' '" + copy + "'";
  ASSERT_EQ(system(cp.c_str()), 0);
  ASSERT_EQ(chmod(copy.c_str(), 04755), 0);
  auto run = [&](const char *n, Outcome *o) {
    return loads({"/bin/sh", "-c", copy + " " + n + " 00100"}, 0, o);
  };
  Outcome o;
  EXPECT_EQ(run("03000", &o) - run("01000", nullptr), 0);
  EXPECT_TRUE(has(o.err, "sim: program `" + copy + "' ran untraced: it is "
                         "set-user-ID or set-group-ID, and QEMU would run "
                         "it without its privileges\n")) << o.err;
  EXPECT_TRUE(has(read_file(path("prog")), "0x")) << "it did run";
}

// The processes of a forked pair each touch pages of their own, first
// after the fork: they fold apart (every page one more line of a fully
// associative cache that holds them all), as they would with one map.
TEST_F(TreeTest, ForkedProcessesFoldWithOneMap) {
  auto misses = [&](const char *k) {
    std::string csv = path(std::string("far") + k + ".csv");
    Outcome o = sim({"-cache:opts", "-Cfa -l12 -M1073741824", "-trace:refs",
                     "data", "-out:csv", csv, kTree, k, "far"});
    EXPECT_EQ(o.status, 0) << o.err;
    std::vector<std::string> rows = lines_of(read_file(csv));
    unsigned long long size, refs = 0, hits = 0;
    EXPECT_EQ(sscanf(rows.empty() ? "" : rows.back().c_str(),
                     "fully-associative,LRU,4096,0,0,%llu,%llu,%llu,", &size,
                     &refs, &hits),
              3);
    return static_cast<long long>(refs - hits);
  };
  EXPECT_EQ(misses("50") - misses("0"), 100);
}

// The run goes on until every process has ended: a background child that
// outlives the shell that started it is traced to its end.
TEST_F(TreeTest, ProcessesThatOutliveTheirParentAreTracedToTheirEnd) {
  auto run = [&](const char *n) {
    return loads({"/bin/sh", "-c",
                  std::string("(sleep 0.3; ") + kKernel + " " + n +
                      " 00100) &"});
  };
  EXPECT_EQ(run("03000") - run("01000"), 2000);
}

// A program given as a script, or a shim that execs the real program (as
// pyenv's and rbenv's do, through env), runs under QEMU, its interpreter
// and the program it execs traced.
TEST_F(TreeTest, ScriptsAndShimsRunUnderQemu) {
  std::string shim = script("shim", "#!/usr/bin/env sh\nexec " +
                                        std::string(kKernel) + " \"$@\"\n");
  Outcome o;
  long long more = loads({shim, "03000", "00100"}, 0, &o);
  EXPECT_EQ(more - loads({shim, "01000", "00100"}), 2000);
  EXPECT_TRUE(has(o.err, "sim: input: program `" + shim +
                             "' traced live under " + qemu_)) << o.err;
  EXPECT_EQ(stat_value(o.err, "sim_num_procs"), 1) << o.err;
}
#else
TEST(TreeTest, PluginIsNotBuilt) {
  GTEST_SKIP() << "the QEMU plugin is not built on this host";
}
#endif

}  // namespace
