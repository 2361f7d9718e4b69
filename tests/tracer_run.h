// What the tracer tests share: QEMU found on PATH, a program run under it
// with the plugin writing to a file, the plugin's batches read back as
// records, and vantle-sim run on programs. Included by the tracer tests
// only where the plugin is built (VANTLE_QEMU_PLUGIN).
#ifndef VANTLE_TESTS_TRACER_RUN_H_
#define VANTLE_TESTS_TRACER_RUN_H_

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"
#include "transport/fold_map.h"
#include "transport/trace_record.h"

const char *const kPlugin = VANTLE_QEMU_PLUGIN;
const char *const kKernel = KERNEL_PATH;
const char *const kThreads = THREADS_PATH;
const char *const kFar = FAR_PATH;
const char *const kJit = JIT_PATH;
const char *const kEnding = ENDING_PATH;
const char *const kSim = VANTLE_SIM_PATH;
const char *const kMatmul = MATMUL_PATH;
const char *const kTree = TREE_PATH;
const char *const kTreeStatic = TREE_STATIC_PATH;

// The full path of qemu-x86_64 on PATH, or "".
inline std::string find_qemu() {
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

// A reference the plugin recorded, its address unfolded.
struct Record {
  uint64_t address;
  unsigned kind;
};

// The plugin's batches as records, each address unfolded through the
// regions the batches place (the plugin folds by its default regions);
// *whole says whether the bytes are whole batches whose counts hold.
inline std::vector<Record> records_of(const std::string &bytes,
                                      bool *whole) {
  const int bits = FM_DEFAULT_REGION_BITS;
  std::map<uint64_t, uint64_t> region_at;  // place to region
  std::vector<Record> records;
  size_t at = 0;
  *whole = true;
  while (at + sizeof(trace_batch) <= bytes.size()) {
    trace_batch head;
    memcpy(&head, bytes.data() + at, sizeof head);
    if (at + trace_batch_bytes(&head) > bytes.size()) break;
    const char *batch = bytes.data() + at;
    for (uint32_t i = 0; i < head.regions; i++) {
      trace_region r;
      memcpy(&r, batch + sizeof head + i * sizeof r, sizeof r);
      region_at[r.place] = r.region;
    }
    long long loads = 0, stores = 0;
    for (uint32_t i = 0; i < head.references; i++) {
      uint32_t folded;
      memcpy(&folded, batch + trace_batch_addresses(&head) + 4 * i, 4);
      unsigned kind = static_cast<unsigned char>(
          batch[trace_batch_kinds(&head) + i]);
      auto region = region_at.find(folded >> bits);
      if (region == region_at.end()) *whole = false;  // placed nowhere
      uint64_t low = folded & ((1u << bits) - 1);
      records.push_back({region == region_at.end()
                             ? ~0ull
                             : region->second << bits | low,
                         kind});
      loads += kind == TRACE_KIND_LOAD;
      stores += kind == TRACE_KIND_STORE;
    }
    if (loads != head.loads || stores != head.stores) *whole = false;
    at += trace_batch_bytes(&head);
  }
  if (at != bytes.size()) *whole = false;
  return records;
}

// Counts per kind (index 0: records of no valid kind).
inline std::vector<long long> kind_counts(
    const std::vector<Record> &records) {
  std::vector<long long> counts(4, 0);
  for (const Record &r : records) counts[r.kind > 3 ? 0 : r.kind]++;
  return counts;
}

// The ranges the guest printed, one "address size" line each.
inline std::vector<Range> printed_ranges(const std::string &out) {
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

inline void count_in_ranges(const std::vector<Record> &records,
                            std::vector<Range> *ranges) {
  for (const Record &r : records)
    for (Range &range : *ranges) {
      if (r.address < range.base || r.address - range.base >= range.size)
        continue;
      if (r.kind == TRACE_KIND_LOAD) range.loads++;
      if (r.kind == TRACE_KIND_STORE) range.stores++;
    }
}

// vantle-sim tracing programs under QEMU.
class SimTracerTest : public TracerTest {
 protected:
  Outcome sim(std::vector<std::string> args, const char *sim = kSim,
              const char *path_env = nullptr) {
    args.insert(args.begin(), {"-progress", "false"});
    Launch launch;
    launch.path_env = path_env;
    return run_program(sim, args, launch);
  }
  long long ending_loads(const char *how, const char *n, int status,
                         const std::string &said = "");
};

inline long long stat_value(const std::string &err,
                             const std::string &name) {
  size_t at = err.rfind("\n" + name + " ");
  if (at == std::string::npos) return -1;
  return atoll(err.c_str() + at + 1 + name.size());
}

// The records as a din trace: fetch 2, load 0, store 1.
inline std::string as_din(const std::vector<Record> &records) {
  static const char label[] = {'?', '2', '0', '1'};
  std::string text;
  char line[64];
  for (const Record &r : records) {
    snprintf(line, sizeof line, "%c %llx\n", label[r.kind],
             static_cast<unsigned long long>(r.address));
    text += line;
  }
  return text;
}

// The loads vantle-sim feeds of `ending how n' traced under QEMU, checking
// its exit status and that its error stream says said.
inline long long SimTracerTest::ending_loads(const char *how, const char *n,
                                             int status,
                                             const std::string &said) {
  Outcome o = sim({"-trace:tracer", "qemu", "-trace:refs", "load", kEnding,
                   how, n});
  EXPECT_EQ(o.status, status) << how << ": " << o.err;
  EXPECT_TRUE(has(o.err, said)) << how << ": " << o.err;
  EXPECT_FALSE(has(o.err, "fatal")) << how << ": " << o.err;
  return stat_value(o.err, "sim_num_fed");
}

#endif  // VANTLE_TESTS_TRACER_RUN_H_
