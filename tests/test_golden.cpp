// Golden outputs: for every family, the complete text of the interim and
// final reports, everything written to stderr, and every vantle_results row
// on fixed traces, compared byte for byte with files recorded before the
// simulators were rewritten for speed. The differential tests prove each
// family right; these prove a faster structure changed nothing a user sees,
// diagnostics and quirks included.
//
// To record the files anew (only when a report is meant to change):
//   VANTLE_GOLDEN_RECORD=1 ./test_golden
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "rng.h"

namespace {

// The benchmark's mix at test scale: 60 % a skewed hot set of ws/16 lines,
// 30 % uniform over ws lines, 10 % a stream of new 16-byte lines.
std::vector<md_addr_t> mixed_trace(size_t count, uint32_t ws, uint64_t seed) {
  Rng rng(seed);
  std::vector<md_addr_t> trace(count);
  uint32_t stream = 0x80000000u;
  for (auto &addr : trace) {
    uint32_t r = rng.below(100);
    if (r < 90) {
      uint32_t a = rng.below(ws / 16 + 1), b = rng.below(ws / 16 + 1);
      uint32_t line = r < 60 ? (a < b ? a : b) : rng.below(ws);
      addr = 0x10000000u + line * 16 + rng.below(16);
    } else {
      addr = stream += 8;
    }
  }
  return trace;
}

struct Case {
  const char *name;   // file name under tests/golden/
  const char *words;  // library options
  int trace;          // index into traces()
};

// 0: 300 k references over 20000 lines, past one look-ahead window.
// 1: 1.2 M references over 300000 lines: many distinct lines, many windows.
// 2: 10.3 M references over 1500 lines: past the OPT table's clean-up time.
const std::vector<md_addr_t> &trace_of(int which) {
  static std::vector<md_addr_t> traces[3];
  static const struct { size_t count; uint32_t ws; } shapes[3] = {
      {300000, 20000}, {1200000, 300000}, {10300000, 1500}};
  if (traces[which].empty())
    traces[which] = mixed_trace(shapes[which].count, shapes[which].ws,
                                static_cast<uint64_t>(which) + 11);
  return traces[which];
}

const Case kCases[] = {
    {"fa_lru_default_mixed", "-Cfa -Rlru", 0},
    {"fa_lru_default_wide", "-Cfa -Rlru", 1},
    {"fa_lru_small_wide", "-Cfa -Rlru -M16384 -i64", 1},
    {"fa_lru_roomy_mixed", "-Cfa -Rlru -M4194304 -i4096", 0},
    {"fa_opt_default_mixed", "-Cfa -Ropt", 0},
    {"fa_opt_default_wide", "-Cfa -Ropt", 1},
    {"fa_opt_small_wide", "-Cfa -Ropt -M16384 -i64", 1},
    {"fa_opt_roomy_mixed", "-Cfa -Ropt -M4194304 -i4096", 0},
    {"fa_opt_tiny_long", "-Cfa -Ropt -M4096 -i16", 2},
    {"sa_lru_default_mixed", "-Csa -Rlru", 0},
    {"sa_lru_wide_wide", "-Csa -Rlru -a0 -b10 -n3 -l5", 1},
    {"sa_opt_default_mixed", "-Csa -Ropt", 0},
    {"sa_opt_default_wide", "-Csa -Ropt", 1},
    {"sa_opt_wide_wide", "-Csa -Ropt -a0 -b8 -n3 -l5", 1},
    {"dm_default_mixed", "-Cdm", 0},
    {"dm_small_wide", "-Cdm -a2 -b9 -c12", 1},
};

std::string describe_rows(const std::vector<vantle_result> &rows) {
  std::string text;
  char line[256];
  for (const vantle_result &r : rows) {
    snprintf(line, sizeof line, "%d %d %u %u %u %llu %llu %llu %.17g\n",
             r.organisation, r.policy, r.line_size, r.sets, r.associativity,
             static_cast<unsigned long long>(r.cache_size),
             static_cast<unsigned long long>(r.references),
             static_cast<unsigned long long>(r.hits), r.miss_ratio);
    text += line;
  }
  return text;
}

// Everything a user or caller sees of one run: two interim reports (a third
// and two thirds through), the final report, stderr, the result rows.
std::string observe(const Case &c) {
  const std::vector<md_addr_t> &trace = trace_of(c.trace);
  ChildOutcome o = run_isolated([&] {
    init_with(c.words);
    size_t n = trace.size();
    for (size_t i = 0; i < n; i++) {
      if (i == n / 3 || i == 2 * n / 3) vantle_stats(stdout, 1);
      vantle_access(trace[i]);
    }
    vantle_stats(stdout, 0);
    send_results();
  });
  char status[64];
  snprintf(status, sizeof status, "status %d signal %d\n", o.status,
           o.signal);
  return std::string("== ") + c.words + "\n" + status + "--- stdout\n" +
         o.out + "--- stderr\n" + o.err + "--- results\n" +
         describe_rows(received_results(o));
}

std::string golden_path(const Case &c) {
  return std::string(VANTLE_GOLDEN_DIR) + "/" + c.name + ".txt";
}

bool read_file(const std::string &path, std::string *text) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
  fclose(f);
  return true;
}

class Golden : public ::testing::TestWithParam<Case> {};

TEST_P(Golden, EverythingSeenIsAsRecorded) {
  const Case &c = GetParam();
  std::string seen = observe(c);
  std::string path = golden_path(c);
  if (getenv("VANTLE_GOLDEN_RECORD")) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_TRUE(f) << path;
    fwrite(seen.data(), 1, seen.size(), f);
    fclose(f);
    return;
  }
  std::string recorded;
  ASSERT_TRUE(read_file(path, &recorded)) << "missing " << path;
  // Compare line by line so that a failure names the first difference.
  size_t at = 0, line = 1;
  while (at < seen.size() && at < recorded.size() && seen[at] == recorded[at]) {
    if (seen[at] == '\n') line++;
    at++;
  }
  if (at == seen.size() && at == recorded.size()) return;
  size_t from = seen.rfind('\n', at ? at - 1 : 0);
  from = from == std::string::npos ? 0 : from + 1;
  ADD_FAILURE() << c.name << ": first difference on line " << line
                << "\n  seen:     " << seen.substr(from, 120)
                << "\n  recorded: " << recorded.substr(from, 120);
}

INSTANTIATE_TEST_SUITE_P(
    EveryFamily, Golden, ::testing::ValuesIn(kCases),
    [](const ::testing::TestParamInfo<Case> &info) {
      return std::string(info.param.name);
    });

}  // namespace
