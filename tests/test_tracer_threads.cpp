// Threads traced live under QEMU: one cache for all of them, fed in turns
// of a few hundred references however the host schedules the threads, or
// a family per thread. Skipped where QEMU is not installed.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"
#ifdef VANTLE_QEMU_PLUGIN
#include "tracer_run.h"
#endif

namespace {

#ifdef VANTLE_QEMU_PLUGIN
const char *const kPair = PAIR_PATH;

class ThreadsTest : public SimTracerTest {
 protected:
  // The -out:csv rows of a run of `pair threads 20' with the options
  // given, fed the stores (the threads' loads include their wait for each
  // other at the start, which is as long as the host makes it), and its
  // error stream in *o.
  std::vector<std::string> rows(std::vector<std::string> options,
                                const char *threads, Outcome *o) {
    std::string csv = path("rows.csv");
    options.insert(options.end(), {"-trace:refs", "store", "-out:csv", csv,
                                   kPair, threads, "20"});
    *o = sim(options);
    EXPECT_EQ(o->status, 0) << o->err;
    return lines_of(read_file(csv));
  }
};

// The miss ratio of a 96 KiB fully associative cache fed the stores of
// two threads that each pass over a 64 KiB array of its own.
const char kFamily[] = "-Cfa -l4 -M131072";
double shared_ratio(const std::vector<std::string> &rows) {
  for (const std::string &row : rows) {
    unsigned long long refs, hits;
    if (sscanf(row.c_str(), "fully-associative,LRU,16,0,0,98304,%llu,%llu,",
               &refs, &hits) == 2 && refs)
      return 1.0 - static_cast<double>(hits) / static_cast<double>(refs);
  }
  return -1;
}

// Either array fits the cache, both do not: the result depends on how
// finely the threads' references interleave, and it is the same (within
// 0.0005) for turns of 64, 256 and 1024 references. (Turns of a whole
// batch, 65536, are no turns: batches then go out as the host schedules
// the threads, and the result with them.)
TEST_F(ThreadsTest, SharedCacheDoesNotDependOnTheTurnsLength) {
  Outcome o;
  double by_default = shared_ratio(rows({"-cache:opts", kFamily}, "2", &o));
  EXPECT_TRUE(has(o.err, "sim: threads: shared: every thread of every "
                         "process feeds the one cache, the threads of a "
                         "process in turns of at most 256 references while "
                         "several run\n")) << o.err;
  ASSERT_GT(by_default, 0.4) << "each thread's passes would hit";
  for (const char *turn : {"64", "1024"})
    EXPECT_NEAR(shared_ratio(rows({"-cache:opts", kFamily,
                                   "-trace:interleave", turn}, "2", &o)),
                by_default, 0.0005) << turn;
}

// With a family per thread, a thread's results equal those of the same
// thread run alone; the threads' results are summed, references and hits
// per cache.
TEST_F(ThreadsTest, PrivateFamilyOfAThreadEqualsTheThreadRunAlone) {
  const std::vector<std::string> opts{"-trace:threads", "private",
                                      "-cache:opts", "-Csa -a4 -b10 -n2 -l5"};
  Outcome two, one;
  std::vector<std::string> with_other = rows(opts, "2", &two);
  std::vector<std::string> alone = rows(opts, "1", &one);
  auto of_thread = [](const std::vector<std::string> &all, const char *t) {
    std::vector<std::string> mine;
    for (const std::string &row : all)
      if (row.rfind(std::string("thread ") + t + ": ", 0) == 0)
        mine.push_back(row);
    return mine;
  };
  EXPECT_EQ(of_thread(with_other, "2"), of_thread(alone, "2"));
  EXPECT_EQ(of_thread(with_other, "2").size(), 7u * 4u);
  EXPECT_EQ(of_thread(with_other, "3").size(), 7u * 4u);
  EXPECT_TRUE(has(two.err, "sim: threads: private: each thread of the "
                           "program feeds a family of its own")) << two.err;
  EXPECT_TRUE(has(two.err, "\nsim: thread 3 (process ")) << two.err;
  size_t summed = two.err.find("sim: the 3 threads summed");
  ASSERT_NE(summed, std::string::npos) << two.err;
  unsigned line, sets, ways;
  unsigned long long bytes, refs;
  std::vector<std::string> table = lines_of(two.err.substr(summed));
  ASSERT_GE(table.size(), 3u);
  ASSERT_EQ(sscanf(table[2].c_str(), "%u %u %u %llu %llu", &line, &sets,
                   &ways, &bytes, &refs), 5);
  EXPECT_EQ(static_cast<long long>(refs), stat_value(two.err, "sim_num_fed"));
}

// A family per thread needs a program under QEMU, whose plugin says each
// reference's thread, and one family to copy; the options take no other
// values.
TEST_F(ThreadsTest, ThreadOptionsRefuseWhatTheyCannotDo) {
  write_file(path("t.din"), "0 10\n0 20\n");
  const struct {
    std::vector<std::string> args;
    std::string said;
  } refused[] = {
      {{"-trace:threads", "private", path("t.din")},
       "error: -trace:threads private needs a program traced under QEMU, "
       "which tells each reference's thread; `" + path("t.din") +
           "' is not"},
      {{"-trace:threads", "private", "-trace:tracer", "valgrind", kKernel,
        "1", "1"},
       "error: -trace:threads private needs a program traced under QEMU"},
      {{"-trace:threads", "private", "-cache:opts", "-Cdm", "-cache:opts",
        "-Cfa", kKernel, "1", "1"},
       "error: -trace:threads private takes one -cache:opts family, not 2"},
      {{"-trace:threads", "private", "-explain", kKernel, "1", "1"},
       "error: -trace:threads private takes no -explain"},
      {{"-trace:threads", "own", kKernel, "1", "1"},
       "error: -trace:threads must be shared or private, not `own'"},
      {{"-trace:interleave", "0", kKernel, "1", "1"},
       "error: -trace:interleave needs a count of references from 1 to "
       "65536, not `0'"}};
  for (const auto &r : refused) {
    Outcome o = sim(r.args);
    EXPECT_EQ(o.status, 1) << r.said;
    EXPECT_TRUE(has(o.err, r.said)) << o.err;
  }
}
#else
TEST(ThreadsTest, PluginIsNotBuilt) {
  GTEST_SKIP() << "the QEMU plugin is not built on this host";
}
#endif

}  // namespace
