// Threads traced live under QEMU: one cache for all of them, fed in turns
// of a few hundred references however the host schedules the threads, or
// a family per thread. Skipped where QEMU is not installed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"
#include "toolset/live_reader.h"
#include "transport/live_ring.h"
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

// A thread's turns wait in its slot, and those the ring has taken stay
// there until the slot fills from the start again: when the process dies,
// vantle-sim takes from the slot only the records the ring has not.
TEST(ThreadSlots, DeadProcessesSlotGivesOnlyWhatTheRingHasNotTaken) {
  int fd = lr_share(18);
  ASSERT_GE(fd, 0);
  pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  lr_first_process(child, "dies");
  trace_file f{};
  ASSERT_TRUE(trace_file_map(&f, fd, 0));
  int index = 0;
  while (lr_record()->processes[index].pid != child) index++;
  trace_slot *slot = trace_slot_at(&f, 0);
  slot->thread = 1;
  slot->pid = child;
  for (uint32_t i = 0; i < 300; i++) {
    slot->addresses[i] = 0x1000 + 4 * i;
    slot->kinds[i] = TRACE_KIND_LOAD;
  }
  slot->count = 300;
  slot->taken = 100;
  slot->owner = trace_slot_owner(index, 0);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  std::vector<md_addr_t> given;
  const md_addr_t *addrs;
  const unsigned char *kinds;
  while (size_t n = lr_read(64, nullptr, "dies", &addrs, &kinds))
    given.insert(given.end(), addrs, addrs + n);
  ASSERT_EQ(given.size(), 200u);
  EXPECT_EQ(given.front(), 0x1000u + 4 * 100);
  EXPECT_EQ(given.back(), 0x1000u + 4 * 299);
  trace_file_unmap(&f);
  lr_reset();
}

// A writer that died holding the write lock while it copied a turn: once
// the turn is whole in the ring, the slot's records up to the turn's end
// count as taken and the turns after it stay; else the slot keeps all.
// The next holder settles it whether it takes the lock or only tries it.
TEST(ThreadSlots, TurnOfAWriterThatDiedIsTakenOnlyWhenWhole) {
  int fd = lr_share(18);
  ASSERT_GE(fd, 0);
  trace_file f{};
  ASSERT_TRUE(trace_file_map(&f, fd, 0));
  trace_slot *slot = trace_slot_at(&f, 3);
  for (bool tried : {false, true})
  for (uint64_t short_by : {0, 8}) {
    slot->count = 300;
    slot->taken = 100;
    pid_t writer = fork();
    if (writer == 0) {
      trace_live_lock(&f, &f.live->write_lock);
      f.live->pending.end = f.ring->written + short_by;
      f.live->pending.taken = 200;
      f.live->pending.slot = 3 + 1;
      _exit(0);
    }
    ASSERT_GT(writer, 0);
    waitpid(writer, nullptr, 0);
    if (tried)
      ASSERT_TRUE(trace_live_trylock(&f, &f.live->write_lock));
    else
      trace_live_lock(&f, &f.live->write_lock);
    trace_live_unlock(&f.live->write_lock);
    EXPECT_EQ(slot->taken, short_by ? 100u : 200u) << short_by << tried;
    EXPECT_EQ(slot->count, 300u) << short_by << tried;
    EXPECT_EQ(f.live->pending.slot, 0u);
  }
  // Whole again: tried while free, it is held.
  ASSERT_TRUE(trace_live_trylock(&f, &f.live->write_lock));
  trace_live_unlock(&f.live->write_lock);
  trace_file_unmap(&f);
  lr_reset();
}

}  // namespace
