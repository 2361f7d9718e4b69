// The QEMU plugin: small programs with known access patterns run under
// qemu-x86_64 with the plugin writing to a file or a pipe, and their
// records read back. Skipped where QEMU is not installed.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/trace_record.h"
#include "sim_run.h"

namespace {

#ifdef VANTLE_QEMU_PLUGIN
const char *const kPlugin = VANTLE_QEMU_PLUGIN;
const char *const kKernel = KERNEL_PATH;
const char *const kThreads = THREADS_PATH;

// The full path of qemu-x86_64 on PATH, or "".
std::string find_qemu() {
  const char *path = getenv("PATH");
  std::string dirs = path ? path : "";
  size_t at = 0;
  while (at <= dirs.size()) {
    size_t colon = dirs.find(':', at);
    if (colon == std::string::npos) colon = dirs.size();
    std::string full = dirs.substr(at, colon - at) + "/qemu-x86_64";
    if (colon > at && access(full.c_str(), X_OK) == 0) return full;
    at = colon + 1;
  }
  return "";
}

// A guest run: its exit status, its standard output and error, the plugin's
// bytes.
struct GuestRun {
  int status = -1;
  int signal = 0;
  std::string out, err, records;
};

// The references of a trace, by kind, within [base, base + size).
struct Range {
  uint64_t base = 0, size = 0;
  long long loads = 0, stores = 0;
};

class TracerTest : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    qemu_ = find_qemu();
    if (qemu_.empty()) GTEST_SKIP() << "qemu-x86_64 is not installed";
  }

  // Runs program under QEMU with the plugin writing to descriptor 3, which
  // is a file, or a pipe whose reader is gone when reader_gone.
  GuestRun trace(const std::vector<std::string> &args,
                 bool reader_gone = false, const char *plugin_args = ",fd=3") {
    std::string out = path("out"), err = path("err"), rec = path("rec");
    int p[2] = {-1, -1};
    if (reader_gone && pipe(p) != 0) return {};
    pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_DFL);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int r = reader_gone ? p[1]
                          : open(rec.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                 0644);
      if (reader_gone) close(p[0]);
      dup2(o, 1);
      dup2(e, 2);
      dup2(r, 3);
      std::string plugin = std::string(kPlugin) + plugin_args;
      std::vector<const char *> argv{qemu_.c_str(), "-plugin",
                                     plugin.c_str()};
      for (auto &a : args) argv.push_back(a.c_str());
      argv.push_back(nullptr);
      execv(qemu_.c_str(), const_cast<char **>(argv.data()));
      _exit(127);
    }
    if (reader_gone) {
      close(p[0]);
      close(p[1]);
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    GuestRun g;
    g.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    g.signal = WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : 0;
    g.out = read_file(out);
    g.err = read_file(err);
    if (!reader_gone) g.records = read_file(rec);
    return g;
  }

  std::string qemu_;
};

std::vector<uint64_t> records_of(const std::string &bytes) {
  std::vector<uint64_t> records(bytes.size() / TRACE_RECORD_BYTES);
  memcpy(records.data(), bytes.data(), records.size() * TRACE_RECORD_BYTES);
  return records;
}

// Counts per kind (index 0: records of no valid kind).
std::vector<long long> kind_counts(const std::vector<uint64_t> &records) {
  std::vector<long long> counts(4, 0);
  for (uint64_t r : records) counts[trace_record_kind(r)]++;
  return counts;
}

// The ranges the guest printed, one "address size" line each.
std::vector<Range> printed_ranges(const std::string &out) {
  std::vector<Range> ranges;
  size_t at = 0;
  while (at < out.size()) {
    Range r;
    unsigned long long base, size;
    if (sscanf(out.c_str() + at, "%llx %llu", &base, &size) != 2) break;
    r.base = base;
    r.size = size;
    ranges.push_back(r);
    at = out.find('\n', at);
    if (at == std::string::npos) break;
    at++;
  }
  return ranges;
}

void count_in_ranges(const std::vector<uint64_t> &records,
                     std::vector<Range> *ranges) {
  for (uint64_t r : records)
    for (Range &range : *ranges) {
      uint64_t a = trace_record_address(r);
      if (a < range.base || a - range.base >= range.size) continue;
      if (trace_record_kind(r) == TRACE_KIND_LOAD) range.loads++;
      if (trace_record_kind(r) == TRACE_KIND_STORE) range.stores++;
    }
}

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
    ASSERT_EQ(g.records.size() % TRACE_RECORD_BYTES, 0u);
    std::vector<uint64_t> records = records_of(g.records);
    run.counts = kind_counts(records);
    EXPECT_EQ(run.counts[0], 0) << "records of no kind";
    std::vector<Range> array = printed_ranges(g.out);
    ASSERT_EQ(array.size(), 1u) << g.out;
    count_in_ranges(records, &array);
    EXPECT_EQ(array[0].loads, atoll(run.n));
    EXPECT_EQ(array[0].stores, atoll(run.m));
    long long after_fetch = 0;
    for (size_t i = 1; i < records.size(); i++) {
      uint64_t a = trace_record_address(records[i]);
      if (a - array[0].base < array[0].size &&
          trace_record_kind(records[i - 1]) == TRACE_KIND_FETCH)
        after_fetch++;
    }
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
  ASSERT_EQ(g.records.size() % TRACE_RECORD_BYTES, 0u);
  std::vector<uint64_t> records = records_of(g.records);
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

// A reader that has gone away stops the records, not the program: it ends
// as it would untraced, with no signal and nothing said.
TEST_F(TracerTest, ReaderGoneLeavesTheProgramAlone) {
  GuestRun g = trace({kThreads, "20"}, true);
  EXPECT_EQ(g.status, 0) << g.err;
  EXPECT_EQ(g.signal, 0);
  EXPECT_EQ(g.err, "");
  EXPECT_EQ(printed_ranges(g.out).size(), 4u);
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
#else
TEST(TracerTest, PluginIsNotBuilt) {
  GTEST_SKIP() << "the QEMU plugin is not built on this host";
}
#endif

}  // namespace
