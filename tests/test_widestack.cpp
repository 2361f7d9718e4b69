// Fully-associative LRU: hits of every cache size against a naive LRU stack,
// the report text on small traces worked out by hand, the line limit, the
// periodic messages, the hash table's entry points, and the size of the
// time axis.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "isolate.h"
#include "late_start.h"
#include "libvantle/widestack.h"
#include "lru_traces.h"
#include "reference/naive_lru.h"

namespace {

constexpr size_t kRefs = 200000;

const char kHeading[] = "\nlibvantle: ** end of simulation **\n";

// A fully-associative LRU family: line size 2^line_bits, largest cache
// max_lines lines, report step interval_lines lines.
struct Family {
  int line_bits;
  uint32_t max_lines;
  uint32_t interval_lines;
  std::string words() const {
    return "-Cfa -Rlru -l" + std::to_string(line_bits) + " -M" +
           std::to_string(uint64_t{max_lines} << line_bits) + " -i" +
           std::to_string(uint64_t{interval_lines} << line_bits);
  }
};

std::string format_row(uint64_t bytes, uint64_t hits, size_t refs) {
  char text[64];
  snprintf(text, sizeof text, "%llu\t\t\t%1.6f\n",
           static_cast<unsigned long long>(bytes),
           1.0 - static_cast<double>(hits) / static_cast<double>(refs));
  return text;
}

// The report rows (and closing line) that the naive stack predicts.
std::string expected_rows(const Family &f, const std::vector<uint64_t> &hits,
                          size_t distinct, size_t refs) {
  bool exceeded = distinct > f.max_lines;
  size_t end = exceeded ? f.max_lines : distinct;
  std::string text;
  for (size_t k = f.interval_lines; k <= end; k += f.interval_lines)
    text += format_row(uint64_t{k} << f.line_bits, hits[k], refs);
  if (!exceeded) {
    char closing[80];
    snprintf(closing, sizeof closing,
             "Miss ratio is %f for all bigger caches\n",
             1.0 - static_cast<double>(hits[f.max_lines]) / refs);
    text += closing;
  }
  return text + "\n";
}

size_t distinct_lines(const std::vector<uint32_t> &trace, int line_bits) {
  std::vector<uint32_t> lines;
  for (uint32_t a : trace) lines.push_back(a >> line_bits);
  std::sort(lines.begin(), lines.end());
  return std::unique(lines.begin(), lines.end()) - lines.begin();
}

// Insertions of lines into a stack that keeps MAX_LINES + 2 entries, the
// bottom one a sentinel at first that no line matches: the distinct-line
// count of a run past the line limit, where a line that was evicted and
// comes back counts again. It depends on exactly which line each new line
// evicts, down to the two entries below the largest cache.
size_t insertions_past_limit(const std::vector<uint32_t> &trace,
                             int line_bits, size_t max_lines) {
  std::vector<uint32_t> seen;
  for (uint32_t a : trace) seen.push_back(a >> line_bits);
  std::sort(seen.begin(), seen.end());
  uint32_t sentinel = 0;  // the smallest line the trace never touches
  for (uint32_t line : seen)
    if (line == sentinel) sentinel++;
  NaiveLruStack stack(max_lines + 2);
  stack.access(sentinel);
  size_t insertions = 0;
  for (uint32_t a : trace) insertions += stack.access(a >> line_bits) == 0;
  return insertions;
}

// Simulates trace and compares every configuration's hits, the printed
// rows and the distinct-line count with the naive stack.
void expect_matches_naive(const Family &f, const std::vector<uint32_t> &trace) {
  ChildOutcome o = simulate(f.words(), trace);
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<vantle_result> rows = received_results(o);
  std::vector<uint64_t> hits = naive_lru_hits(trace, f.line_bits, f.max_lines);
  ASSERT_EQ(rows.size(), f.max_lines / f.interval_lines);
  int wrong = 0;
  for (size_t r = 0; r < rows.size() && wrong < 5; r++) {
    uint64_t lines = uint64_t{r + 1} * f.interval_lines;
    EXPECT_EQ(rows[r].organisation, 3);
    EXPECT_EQ(rows[r].line_size, 1u << f.line_bits);
    EXPECT_EQ(rows[r].cache_size, lines << f.line_bits);
    EXPECT_EQ(rows[r].references, trace.size());
    if (rows[r].hits != hits[lines]) {
      ADD_FAILURE() << "cache of " << lines << " lines: " << rows[r].hits
                    << " hits, naive " << hits[lines];
      wrong++;
    }
  }
  size_t distinct = distinct_lines(trace, f.line_bits);
  size_t table = o.out.find("Miss Ratio\n");
  ASSERT_NE(table, std::string::npos) << o.out;
  EXPECT_EQ(o.out.substr(table + 11),
            expected_rows(f, hits, distinct, trace.size()));
  if (distinct <= f.max_lines) {
    EXPECT_NE(o.out.find("Number of distinct lines  " +
                         std::to_string(distinct) + "\n"),
              std::string::npos);
    EXPECT_EQ(o.err, "");
  } else {
    EXPECT_NE(o.out.find("Number of distinct lines  " +
                         std::to_string(insertions_past_limit(
                             trace, f.line_bits, f.max_lines)) +
                         "\n"),
              std::string::npos);
    EXPECT_EQ(o.err.find("libvantle: distinct entries limit exceeded\n"),
              0u) << o.err;
    // No consistency warning, and the limit is announced once.
    EXPECT_EQ(o.err.find("libvantle: addresses processed"),
              o.err.rfind("libvantle: addresses processed"));
    EXPECT_EQ(o.err.find("not found"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("inconsistency"), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("lft ptr"), std::string::npos) << o.err;
  }
}

TEST(WidestackDifferential, UniformWithinLimit) {
  expect_matches_naive({4, 4096, 16}, uniform_trace(kRefs, 3000 * 16, 0, 1));
}

TEST(WidestackDifferential, UniformPastLimit) {
  expect_matches_naive({4, 256, 1}, uniform_trace(kRefs, 400 * 16, 4096, 2));
}

TEST(WidestackDifferential, StridedSweeps) {
  // 1250 lines of 32 bytes against 1024: every sweep passes the limit.
  expect_matches_naive({5, 1024, 1}, strided_trace(kRefs, 40000, 12, 64));
  expect_matches_naive({2, 2048, 8}, strided_trace(kRefs, 6000, 4, 0));
}

TEST(WidestackDifferential, LoopingWorkingSet) {
  expect_matches_naive({4, 1024, 4}, looping_trace(kRefs, 700, 16, 3));
  expect_matches_naive({4, 512, 2}, looping_trace(kRefs, 700, 16, 4));
}

TEST(WidestackDifferential, MixedWorkingSetsPastLimit) {
  expect_matches_naive({4, 512, 8}, mixed_trace(kRefs, 300, 16, 20000, 5));
}

TEST(WidestackDifferential, NoReuseEvictsOnEveryReference) {
  expect_matches_naive({4, 64, 1}, strided_trace(kRefs, 1u << 30, 16, 0));
}

TEST(WidestackDifferential, TinyLimits) {
  for (uint32_t max_lines : {1u, 2u, 3u, 7u})
    expect_matches_naive({4, max_lines, 1},
                         uniform_trace(20000, 6 * 16, 0, max_lines));
}

// Lines that share hash buckets, line address 1 among them, so that
// evictions remove bucket heads with followers and records inside chains.
TEST(WidestackDifferential, CollidingLinesAndLineOne) {
  Rng rng(6);
  std::vector<uint32_t> trace(kRefs);
  for (auto &addr : trace) addr = rng.below(700) * 7211 + rng.below(2);
  expect_matches_naive({0, 512, 1}, trace);
  expect_matches_naive({0, 1024, 16}, trace);
}

TEST(WidestackDifferential, LineOneOftenFromTheStart) {
  Rng rng(7);
  std::vector<uint32_t> trace(kRefs);
  for (auto &addr : trace)
    addr = rng.below(4) == 0 ? 16 + rng.below(16) : rng.below(300 * 16);
  expect_matches_naive({4, 128, 1}, trace);
  expect_matches_naive({4, 512, 32}, trace);
}

// Byte addresses of the given line numbers, at varying offsets in the line.
// Runs that cross 2^31 and 2^32 references, some past the line limit: every
// count and depth of the histogram in full, against the naive stack. Each
// address comes three times in a row, so that the hits at depth 1 pass
// 2^32 too.
TEST(WidestackLongRuns, CountsPastBothEdgesOf32Bits) {
  const size_t n = 21000;
  for (const Family &f : {Family{4, 256, 1}, Family{6, 4096, 64}}) {
    std::vector<uint32_t> trace;
    for (uint32_t addr : uniform_trace(n / 3, 600 << f.line_bits, 0, 5))
      trace.insert(trace.end(), 3, addr);
    std::vector<uint64_t> naive = naive_lru_hits(trace, f.line_bits,
                                                 f.max_lines);
    std::vector<uint64_t> want;
    for (uint32_t k = f.interval_lines; k <= f.max_lines;
         k += f.interval_lines)
      want.push_back(naive[k]);
    for (uint64_t start : starts_across_edges(n))
      expect_run_across(simulate_from(start, f.words(), trace), start, n,
                        want, "Addresses processed : ",
                        "libvantle: addresses processed ");
  }
}

std::vector<uint32_t> lines16(const std::vector<uint32_t> &lines) {
  std::vector<uint32_t> trace;
  for (size_t i = 0; i < lines.size(); i++)
    trace.push_back(lines[i] * 16 + static_cast<uint32_t>(i * 5 % 16));
  return trace;
}

std::string report(const std::string &body) {
  return std::string(kHeading) + body;
}

TEST(WidestackReport, SmallTraces) {
  const std::string words = "-Cfa -Rlru -l4 -i16 -M64";  // 4 lines, step 1
  const std::string header = "Cache size (bytes)\tMiss Ratio\n";
  struct Case {
    std::vector<uint32_t> lines;
    std::string text;
  } cases[] = {
      {{10, 11, 12, 10},
       "Addresses processed : 4\nLine size : 16 bytes \n"
       "Number of distinct lines  3\n" + header +
           "16\t\t\t1.000000\n32\t\t\t1.000000\n48\t\t\t0.750000\n"
           "Miss ratio is 0.750000 for all bigger caches\n\n"},
      {{10, 11, 10},
       "Addresses processed : 3\nLine size : 16 bytes \n"
       "Number of distinct lines  2\n" + header +
           "16\t\t\t1.000000\n32\t\t\t0.666667\n"
           "Miss ratio is 0.666667 for all bigger caches\n\n"},
      {{10, 10, 10, 10},
       "Addresses processed : 4\nLine size : 16 bytes \n"
       "Number of distinct lines  1\n" + header +
           "16\t\t\t0.250000\n"
           "Miss ratio is 0.250000 for all bigger caches\n\n"},
      {{10, 11, 12},
       "Addresses processed : 3\nLine size : 16 bytes \n"
       "Number of distinct lines  3\n" + header +
           "16\t\t\t1.000000\n32\t\t\t1.000000\n48\t\t\t1.000000\n"
           "Miss ratio is 1.000000 for all bigger caches\n\n"},
      // Line address 1 as the first line of the run.
      {{1, 2, 1},
       "Addresses processed : 3\nLine size : 16 bytes \n"
       "Number of distinct lines  2\n" + header +
           "16\t\t\t1.000000\n32\t\t\t0.666667\n"
           "Miss ratio is 0.666667 for all bigger caches\n\n"},
      {{2, 1, 1, 2},
       "Addresses processed : 4\nLine size : 16 bytes \n"
       "Number of distinct lines  2\n" + header +
           "16\t\t\t0.750000\n32\t\t\t0.500000\n"
           "Miss ratio is 0.500000 for all bigger caches\n\n"},
  };
  for (const Case &c : cases) {
    ChildOutcome o = simulate(words, lines16(c.lines));
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.out, report(c.text));
    EXPECT_EQ(o.err, "");
  }
}

TEST(WidestackReport, FewerLinesThanTheInterval) {
  // Default interval: 512 bytes, 32 lines; five lines give no row.
  ChildOutcome o = simulate("-Cfa -Rlru", lines16({3, 4, 5, 3, 6, 7}));
  EXPECT_EQ(o.out, report("Addresses processed : 6\nLine size : 16 bytes \n"
                          "Number of distinct lines  5\n"
                          "Cache size (bytes)\tMiss Ratio\n"
                          "Miss ratio is 0.833333 for all bigger caches\n\n"));
}

TEST(WidestackReport, PassingTheLineLimit) {
  // Two lines at most. At the 4th reference three lines are known: the
  // limit is announced once. b hits at depth 2, a is at depth 3 (a miss),
  // d evicts the bottom record without a warning, e evicts b, and b comes
  // back as a new line, counted again among the distinct lines.
  ChildOutcome o = simulate("-Cfa -Rlru -l4 -i16 -M32",
                            lines16({10, 11, 12, 11, 10, 13, 12, 14, 11}));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err,
            "libvantle: distinct entries limit exceeded\n"
            "libvantle: addresses processed 3\n");
  EXPECT_EQ(o.out, report("Addresses processed : 9\nLine size : 16 bytes \n"
                          "Number of distinct lines  6\n"
                          "Cache size (bytes)\tMiss Ratio\n"
                          "16\t\t\t1.000000\n32\t\t\t0.888889\n\n"));
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].hits, 0u);
  EXPECT_EQ(rows[1].hits, 1u);
}

TEST(WidestackReport, LineOneSurvivesTheFirstEviction) {
  // Lines 1, 2, 3 fill the stack; 4 evicts the bottom record, which must
  // not take line 1's entry with it: 1 is then at depth 4, then at depth 1.
  ChildOutcome o = simulate("-Cfa -Rlru -l4 -i16 -M32",
                            lines16({1, 2, 3, 4, 1, 1}));
  EXPECT_EQ(o.err,
            "libvantle: distinct entries limit exceeded\n"
            "libvantle: addresses processed 3\n");
  EXPECT_EQ(o.out, report("Addresses processed : 6\nLine size : 16 bytes \n"
                          "Number of distinct lines  4\n"
                          "Cache size (bytes)\tMiss Ratio\n"
                          "16\t\t\t0.833333\n32\t\t\t0.833333\n\n"));
}

TEST(WidestackReport, ResultsRowsCoverSizesBeyondTheLinesSeen) {
  ChildOutcome o = simulate("-Cfa -Rlru -l4 -i32 -M128",
                            lines16({10, 11, 12, 10, 10}));
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 4u);  // 2, 4, 6 and 8 lines
  uint64_t expected[] = {1, 2, 2, 2};
  for (size_t r = 0; r < 4; r++) {
    EXPECT_EQ(rows[r].cache_size, 32u * (r + 1));
    EXPECT_EQ(rows[r].hits, expected[r]);
    EXPECT_EQ(rows[r].references, 5u);
    EXPECT_EQ(rows[r].sets, 0u);
  }
}

TEST(WidestackMessages, ProgressAndInterimReport) {
  ChildOutcome o = run_isolated([] {
    L = 4;
    MAX_LINES = 8;
    MISS_RATIO_INTERVAL = 1;
    SAVE_INTERVAL = 3;
    P_INTERVAL = 4;
    init_widestack();
    for (uint32_t addr : lines16({10, 11, 10, 12, 13, 10, 14, 15})) ptc(addr);
  });
  EXPECT_EQ(o.status, 0);
  // Interim reports come once 3 references are passed (before the 5th) and
  // once 6 are passed (before the 8th): 10 was hit at depths 2 and 3.
  EXPECT_EQ(o.err,
            "libvantle: addresses processed 4\n"
            "Addresses processed : 4\nLine size : 16 bytes \n"
            "Number of distinct lines  3\n"
            "Cache size (bytes)\tMiss Ratio\n"
            "16\t\t\t1.000000\n32\t\t\t0.750000\n48\t\t\t0.750000\n"
            "Miss ratio is 0.750000 for all bigger caches\n\n"
            "Addresses processed : 7\nLine size : 16 bytes \n"
            "Number of distinct lines  5\n"
            "Cache size (bytes)\tMiss Ratio\n"
            "16\t\t\t1.000000\n32\t\t\t0.857143\n48\t\t\t0.714286\n"
            "64\t\t\t0.714286\n80\t\t\t0.714286\n"
            "Miss ratio is 0.714286 for all bigger caches\n\n"
            "libvantle: addresses processed 8\n");
}

TEST(WidestackMessages, ProgressAtMultiplesOfAnIntervalSetLater) {
  // P_INTERVAL has no option: set behind the front end's back, and changed
  // in the middle of the run, the lines still come at its multiples.
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Rlru");
    P_INTERVAL = 3;
    for (uint32_t addr : lines16({1, 2, 3, 1, 2, 3, 4})) vantle_access(addr);
    P_INTERVAL = 2;
    for (uint32_t addr : lines16({5, 1, 2})) vantle_access(addr);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err,
            "libvantle: addresses processed 3\n"
            "libvantle: addresses processed 6\n"
            "libvantle: addresses processed 8\n"
            "libvantle: addresses processed 10\n");
}

// Positions of the time axis after a run of ptc over trace with max_lines.
uint64_t axis_after(uint32_t max_lines, const std::vector<uint32_t> &trace) {
  ChildOutcome o = run_isolated([&] {
    L = 4;
    MAX_LINES = max_lines;
    MISS_RATIO_INTERVAL = 1;
    SAVE_INTERVAL = 2147483647;
    P_INTERVAL = 2147483647;
    init_widestack();
    for (uint32_t addr : trace) ptc(addr);
    uint64_t size = test_time_axis_size();
    send_to_parent(&size, sizeof size);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  uint64_t size = 0;
  EXPECT_EQ(o.data.size(), sizeof size);
  if (o.data.size() == sizeof size) memcpy(&size, o.data.data(), sizeof size);
  return size;
}

// The time axis takes memory in proportion to the lines in the stack, not
// to MAX_LINES nor to the length of the run: it is renumbered when it fills
// and grows only while more than a quarter of it is live.
TEST(WidestackAxis, FollowsTheLinesInTheStack) {
  // 2000 lines, referenced over and over, with room for 2^22.
  EXPECT_LT(axis_after(1u << 22, uniform_trace(300000, 2000 * 16, 0, 8)),
            16u * (2000 + 64));
  // 60000 new lines after them.
  std::vector<uint32_t> trace = uniform_trace(100000, 2000 * 16, 0, 9);
  for (uint32_t line = 0; line < 60000; line++)
    trace.push_back((1u << 24) + line * 16);
  uint64_t size = axis_after(1u << 22, trace);
  EXPECT_GE(size, 62000u);
  EXPECT_LT(size, 16u * (62000 + 64));
  // A stream of new lines through a stack of 66 entries.
  EXPECT_LT(axis_after(64, strided_trace(200000, 1u << 30, 16, 0)),
            16u * (66 + 64));
}

// The hash table's entry points: a new line is inserted and counted, a known
// one answers its previous position, a removed one is new again (and counted
// again), and removing an absent line warns and removes nothing.
TEST(WidestackHash, LookupAndRemoval) {
  ChildOutcome o = run_isolated([] {
    L = 0;
    MAX_LINES = 16;
    MISS_RATIO_INTERVAL = 1;
    SAVE_INTERVAL = 2147483647;
    P_INTERVAL = 2147483647;
    init_widestack();
    ptc(99);  // takes position 1: lines looked up now get position 2
    const md_addr_t x = 5, y = 6;
    int fails = 0;
    fails += hash_lookup_add(x) != 0;
    fails += hash_lookup_add(y) != 0;
    fails += hash_lookup_add(x) != 2;
    hash_del(x);
    fails += hash_lookup_add(y) != 2;
    fails += hash_lookup_add(x) != 0;
    hash_del(7);  // absent: a warning, nothing removed
    fails += hash_lookup_add(x) != 2;
    fails += hash_lookup_add(y) != 2;
    send_to_parent(&fails, sizeof fails);
    outpr_widestack(stdout);
  });
  ASSERT_EQ(o.data.size(), sizeof(int));
  int fails;
  memcpy(&fails, o.data.data(), sizeof fails);
  EXPECT_EQ(fails, 0);
  EXPECT_EQ(o.err, "libvantle: addr not found in hash_table\n");
  EXPECT_NE(o.out.find("Number of distinct lines  4\n"), std::string::npos)
      << o.out;
}

}  // namespace
