// Fully-associative OPT simulator: every cache size against naive Belady
// replacement with complete knowledge of the trace, the report text, and
// the priority tree and unknown-priority table on their own.
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "isolate.h"
#include "late_start.h"
#include "libvantle/lookahead.h"
#include "libvantle/wideseer.h"
#include "reference/naive_opt.h"
#include "rng.h"

namespace {


// Byte addresses of the given lines, each at a varying offset in its line.
std::vector<md_addr_t> to_bytes(const std::vector<uint32_t> &lines, int l,
                                uint64_t seed = 1) {
  Rng rng(seed);
  std::vector<md_addr_t> bytes;
  bytes.reserve(lines.size());
  for (uint32_t line : lines)
    bytes.push_back((line << l) | (rng.below(1u << l)));
  return bytes;
}

std::string words_for(int l, uint32_t max_lines) {
  return "-Cfa -Ropt -l" + std::to_string(l) + " -i" +
         std::to_string(1u << l) + " -M" + std::to_string(max_lines << l);
}

// Diagnostics that never fire while the stack is consistent.
void expect_no_fault_messages(const std::string &err) {
  for (const char *text :
       {"inconsistent", "error in", "hit at root", "unknown has",
        "already in hash", "not found"})
    EXPECT_EQ(err.find(text), std::string::npos) << err.substr(0, 2000);
}

// Runs the trace with every size 1 .. max_lines a row and checks each row's
// hits against Mattson's stack with exact next-use times.
void expect_matches_opt(const std::vector<uint32_t> &lines,
                        uint32_t max_lines, const std::string &name,
                        int l = 4, size_t keep = SIZE_MAX) {
  ChildOutcome o = simulate(words_for(l, max_lines), to_bytes(lines, l));
  ASSERT_EQ(o.status, 0) << name << "\n" << o.err.substr(0, 2000);
  expect_no_fault_messages(o.err);
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), max_lines) << name;
  std::vector<uint64_t> want =
      naive_opt::opt_stack_hits(lines, max_lines, keep);
  int wrong = 0;
  for (uint32_t k = 1; k <= max_lines && wrong < 5; k++) {
    const vantle_result &row = rows[k - 1];
    EXPECT_EQ(row.cache_size, static_cast<uint64_t>(k) << l) << name;
    EXPECT_EQ(row.references, lines.size()) << name;
    if (row.hits != want[k]) {
      ADD_FAILURE() << name << ": " << k << " lines: " << row.hits
                    << " hits, optimal " << want[k];
      wrong++;
    }
  }
}

// --- trace families ---

std::vector<uint32_t> uniform(size_t n, uint32_t distinct, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> t(n);
  for (auto &x : t) x = 1000 + rng.below(distinct);
  return t;
}

// A hot set referenced most of the time and a cold pool whose lines come
// back only after long gaps (mean gap about pool / cold_share references).
std::vector<uint32_t> hot_cold(size_t n, uint32_t hot, uint32_t pool,
                               double cold_share, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> t(n);
  for (auto &x : t)
    x = rng.chance(cold_share) ? 50000 + rng.below(pool) : 7 + rng.below(hot);
  return t;
}

// Hot references with a cyclic sweep over a pool interleaved every `every`
// references: each pool line returns after exactly pool * every references.
std::vector<uint32_t> hot_sweep(size_t n, uint32_t hot, uint32_t pool,
                                uint32_t every, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> t(n);
  uint32_t cursor = 0;
  for (size_t i = 0; i < n; i++) {
    if (i % every == 0) {
      t[i] = 900000 + cursor;
      cursor = (cursor + 1) % pool;
    } else {
      t[i] = 3 + rng.below(hot);
    }
  }
  return t;
}

// Loops of varying sizes and strides, with phase changes.
std::vector<uint32_t> loops(size_t n, uint64_t seed) {
  Rng rng(seed);
  std::vector<uint32_t> t;
  while (t.size() < n) {
    uint32_t size = 1 + rng.below(80), stride = 1 + rng.below(3);
    uint32_t base = rng.below(200), reps = 1 + rng.below(6);
    for (uint32_t r = 0; r < reps; r++)
      for (uint32_t i = 0; i < size && t.size() < n; i++)
        t.push_back(base + i * stride);
  }
  return t;
}

// --- the yardstick itself ---

TEST(NaiveOpt, StackModelAgreesWithOneSimulationPerSize) {
  for (uint64_t seed = 1; seed <= 12; seed++) {
    std::vector<uint32_t> t =
        seed % 3 ? uniform(600, 5 + seed * 7, seed) : loops(600, seed);
    std::vector<uint64_t> stack = naive_opt::opt_stack_hits(t, 120);
    std::vector<uint64_t> per_size = naive_opt::belady_hits_per_size(t, 120);
    ASSERT_EQ(stack, per_size) << "seed " << seed;
    std::vector<uint64_t> kept = naive_opt::opt_stack_hits(t, 20, 20);
    ASSERT_TRUE(std::equal(kept.begin(), kept.end(), per_size.begin()))
        << "seed " << seed;
  }
}

TEST(NaiveOpt, HandWorkedCases) {
  // x y x z y: a 2-line optimal cache keeps y when z comes (x is not used
  // again), so both the second x and the second y hit.
  std::vector<uint64_t> h =
      naive_opt::belady_hits_per_size({1, 2, 1, 3, 2}, 3);
  EXPECT_EQ(h, (std::vector<uint64_t>{0, 0, 2, 2}));
  // a b c a b c with two lines: Belady hits on a and b... keeps a, evicts
  // b at c (b is used after a), then a hits, b misses, c hits.
  h = naive_opt::belady_hits_per_size({1, 2, 3, 1, 2, 3}, 3);
  EXPECT_EQ(h, (std::vector<uint64_t>{0, 0, 2, 3}));
}

// --- every size against the yardstick ---

TEST(WideseerOpt, SmallCases) {
  expect_matches_opt({1, 2, 1, 3, 2}, 8, "x y x z y");
  expect_matches_opt({5, 5, 5, 6, 6, 5, 5, 7, 7, 7, 6, 5}, 8, "repeats");
  std::vector<uint32_t> no_reuse(300);
  for (uint32_t i = 0; i < 300; i++) no_reuse[i] = i * 3;
  expect_matches_opt(no_reuse, 512, "no reuse");
  expect_matches_opt({9, 8, 9, 8, 9}, 1, "one-line family");
  expect_matches_opt({9, 8, 7, 9, 8, 7, 9}, 2, "stack of three");
}

TEST(WideseerOpt, FirstBlockWithOneLineOrNone) {
  expect_matches_opt({}, 4, "empty");
  expect_matches_opt({42}, 4, "one reference");
  expect_matches_opt(std::vector<uint32_t>(5000, 42), 4, "one line");
  // A first block of one line, then new lines in later blocks.
  std::vector<uint32_t> t(100000, 42);
  std::vector<uint32_t> rest = hot_cold(150000, 20, 400, 0.05, 3);
  t.insert(t.end(), rest.begin(), rest.end());
  t.push_back(42);
  expect_matches_opt(t, 512, "one-line first block");
  // Two lines only, the second arriving in the last reference of a block.
  std::vector<uint32_t> u(99999, 5);
  u.push_back(6);
  u.push_back(5);
  expect_matches_opt(u, 4, "second line at 99999");
}

TEST(WideseerOpt, RandomAndStructuredTraces) {
  for (uint64_t seed = 1; seed <= 6; seed++) {
    expect_matches_opt(uniform(4000, 30 + 40 * seed, seed), 600,
                       "uniform " + std::to_string(seed));
    expect_matches_opt(loops(4000, seed), 300,
                       "loops " + std::to_string(seed));
  }
  expect_matches_opt(hot_cold(5000, 16, 300, 0.3, 9), 400, "hot-cold small");
  expect_matches_opt(loops(3000, 17), 64, "loops, line size 64", 6);
  expect_matches_opt(uniform(3000, 100, 5), 128, "line size 1", 0);
}

// Lengths around the block and window boundaries, with cold lines that come
// back after more than 100000 and more than 200000 references.
TEST(WideseerOpt, LongReuseAcrossBlockBoundaries) {
  for (size_t n : {99999u, 100000u, 100001u, 200000u, 200001u}) {
    expect_matches_opt(hot_cold(n, 48, 2500, 0.02, n), 4096,
                       "hot-cold " + std::to_string(n));
  }
  expect_matches_opt(hot_sweep(300001, 40, 1500, 90, 5), 2048,
                     "sweep of 135000");
  expect_matches_opt(hot_sweep(700000, 40, 1200, 190, 6), 2048,
                     "sweep of 228000");
}

TEST(WideseerOpt, AboutOneMillionReferences) {
  const size_t n = 1000003;
  expect_matches_opt(hot_cold(n, 64, 3000, 0.02, 77), 4096, "hot-cold 1M");
  std::vector<uint32_t> mix = hot_cold(n, 32, 6000, 0.03, 78);
  std::vector<uint32_t> sweep = hot_sweep(n, 24, 900, 150, 79);
  for (size_t i = 0; i < n; i++)  // phases of one family, then the other
    if ((i / 50000) % 3 == 1) mix[i] = sweep[i];
  expect_matches_opt(mix, 8192, "mixed phases 1M");
}

// Past MAX_LINES the stack stops growing and drops its bottom entry; every
// size up to MAX_LINES must stay exact.
TEST(WideseerOpt, PastTheLineLimit) {
  expect_matches_opt(uniform(4000, 300, 31), 40, "uniform over limit");
  expect_matches_opt(loops(4000, 32), 16, "loops over limit");
  expect_matches_opt(hot_cold(250000, 48, 2500, 0.02, 33), 64,
                     "hot-cold over limit");
  expect_matches_opt(hot_cold(450000, 30, 5000, 0.05, 34), 300,
                     "hot-cold, long, over limit");
  expect_matches_opt(hot_sweep(400000, 20, 1500, 100, 35), 200,
                     "sweep over limit");
}

// Past 10000000 references with the limit passed, the unknown-priority
// table is purged of records whose lines have left the stack.
TEST(WideseerOpt, PurgeAfterTenMillionReferences) {
  std::vector<uint32_t> t = hot_cold(10200000, 40, 3000, 0.02, 99);
  expect_matches_opt(t, 256, "hot-cold 10.2M over limit", 4, 1024);
}

// Runs that cross 2^31 and 2^32 references, past the line limit, with cold
// lines whose next uses lie on the far side of each edge: every count in
// full; the priority clock's epoch, group numbers and unknown priorities
// started late, so that the epoch moves and both are numbered afresh; and
// the hits of every size against Mattson's stack. The window hands a block off 50000 references before
// 2^31 - 1, where a 32-bit schedule wrapped.
TEST(WideseerOpt, CountsPastBothEdgesOf32Bits) {
  const size_t n = 400000;
  const uint32_t max_lines = 1024;
  std::vector<uint32_t> lines = hot_cold(n, 64, 3000, 0.02, 41);
  // Every other reference sweeps 150000 lines, each back after 300000
  // references, past the window: half the priorities are unknown ones.
  std::vector<uint32_t> sweep = hot_sweep(n, 64, 150000, 2, 42);
  for (size_t i = 0; i < n; i += 2) lines[i] = sweep[i];
  std::vector<md_addr_t> bytes = to_bytes(lines, 4);
  std::vector<uint64_t> naive =
      naive_opt::opt_stack_hits(lines, max_lines, max_lines);
  std::vector<uint64_t> want(naive.begin() + 1, naive.end());
  for (uint64_t start : starts_across_edges(n)) {
    ChildOutcome o = simulate_from(start, words_for(4, max_lines), bytes);
    expect_run_across(o, start, n, want, "Addresses processed : ",
                      "libvantle: addresses processed  ");
    expect_no_fault_messages(o.err);
    EXPECT_EQ(o.err.rfind("libvantle: tot_addrs limit exceeded, t_entries=" +
                              std::to_string(start / 1000000),
                          0),
              0u)
        << o.err.substr(0, 200);
  }
}

// --- report text ---

std::string report_of(const std::string &words,
                      const std::vector<md_addr_t> &trace,
                      std::string *err = nullptr) {
  ChildOutcome o = simulate(words, trace);
  EXPECT_EQ(o.status, 0) << o.err;
  if (err) *err = o.err;
  return o.out;
}

const char kHeading[] = "\nlibvantle: ** end of simulation **\n";

TEST(WideseerReport, FiveReferenceExample) {
  // x y x z y: both second references hit at position 2; 2 of 5 hit in
  // caches of 2 lines and more.
  EXPECT_EQ(report_of("-Cfa -Ropt -i16", {0x100, 0x208, 0x10f, 0x300, 0x200}),
            std::string(kHeading) +
                "Addresses processed : 5\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  3\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t1.000000\n"
                "32\t\t\t0.600000\n"
                "48\t\t\t0.600000\n"
                "Miss ratio is 0.600000 for all bigger caches\n"
                "\n\n\n");
}

TEST(WideseerReport, TracesOfOneLineOrNone) {
  std::string empty = report_of("-Cfa -Ropt", {});
  EXPECT_EQ(empty.substr(0, empty.find("Miss ratio is")),
            std::string(kHeading) +
                "Addresses processed : 0\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  0\n"
                "Cache size (bytes)\tMiss Ratio\n");
  EXPECT_NE(empty.find("nan for all bigger caches\n\n\n\n"), std::string::npos)
      << empty;
  EXPECT_EQ(report_of("-Cfa -Ropt -i16", {0x40}),
            std::string(kHeading) +
                "Addresses processed : 1\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  1\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t1.000000\n"
                "Miss ratio is 1.000000 for all bigger caches\n"
                "\n\n\n");
  EXPECT_EQ(report_of("-Cfa -Ropt -i16", {0x40, 0x44, 0x48, 0x4c, 0x40}),
            std::string(kHeading) +
                "Addresses processed : 5\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  1\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t0.200000\n"
                "Miss ratio is 0.200000 for all bigger caches\n"
                "\n\n\n");
}

TEST(WideseerReport, FewerLinesThanTheInterval) {
  // Three distinct lines, 32-line interval: no rows, only the closing line.
  EXPECT_EQ(report_of("-Cfa -Ropt", {0x0, 0x10, 0x20, 0x0}),
            std::string(kHeading) +
                "Addresses processed : 4\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  3\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "Miss ratio is 0.750000 for all bigger caches\n"
                "\n\n\n");
}

TEST(WideseerReport, LineLimitReachedAndPassed) {
  // Exactly MAX_LINES (2) distinct lines: table to 32 bytes, closing line.
  std::string err;
  EXPECT_EQ(report_of("-Cfa -Ropt -i16 -M32", {0x0, 0x10, 0x0, 0x10}, &err),
            std::string(kHeading) +
                "Addresses processed : 4\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  2\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t1.000000\n"
                "32\t\t\t0.500000\n"
                "Miss ratio is 0.500000 for all bigger caches\n"
                "\n\n\n");
  EXPECT_EQ(err, "");
  // One more line: the limit message once, at the reference that passes
  // it, and no closing line. a b c a b c a: an optimal 2-line cache keeps
  // a at c (b comes later), keeps c at b (a comes later): 2 hits of 7.
  std::string out = report_of("-Cfa -Ropt -i16 -M32",
                              {0x0, 0x10, 0x20, 0x0, 0x10, 0x20, 0x0}, &err);
  EXPECT_EQ(err, "libvantle: tot_addrs limit exceeded, t_entries=3\n");
  EXPECT_EQ(out.substr(out.find("Number")),
            "Number of distinct addresses  3\n"
            "Cache size (bytes)\tMiss Ratio\n"
            "16\t\t\t1.000000\n"
            "32\t\t\t0.714286\n"
            "\n\n\n");
}

TEST(WideseerReport, InterimReportLeavesTheWindowAlone) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -i16");
    for (md_addr_t a : {0x0u, 0x10u, 0x0u}) vantle_access(a);
    vantle_stats(stdout, 1);
    vantle_stats(stdout, 0);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  std::string interim = o.out.substr(0, o.out.find(kHeading, 1));
  EXPECT_NE(interim.find("Addresses processed : 0\n"), std::string::npos);
  EXPECT_NE(interim.find("Number of distinct addresses  0\n"
                         "Cache size (bytes)\tMiss Ratio\nMiss ratio is "),
            std::string::npos)
      << interim;
  EXPECT_NE(interim.find("nan for all"), std::string::npos) << interim;
  std::string final_report = o.out.substr(interim.size());
  EXPECT_EQ(final_report,
            std::string(kHeading) +
                "Addresses processed : 3\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  2\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t1.000000\n"
                "32\t\t\t0.666667\n"
                "Miss ratio is 0.666667 for all bigger caches\n"
                "\n\n\n");
}

TEST(WideseerReport, ProgressLinesAndTheReferenceLimit) {
  // T and P_INTERVAL have no option; set them behind the front end's back.
  // The first two references build the stack, so progress is first checked
  // at the third. Processing stops right after the reference that takes
  // the count above T, in the middle of the block.
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -i16");
    P_INTERVAL = 2;
    T = 5;
    for (int i = 0; i < 10; i++) vantle_access(i % 2 ? 0x10 : 0x20);
    vantle_stats(stdout, 0);
  });
  ASSERT_EQ(o.status, 0);
  EXPECT_EQ(o.err,
            "libvantle: addresses processed  4\n"
            "libvantle: addresses processed  6\n");
  EXPECT_EQ(o.out,
            std::string(kHeading) +
                "Addresses processed : 6\n"
                "Line size : 16 bytes \n"
                "Number of distinct addresses  2\n"
                "Cache size (bytes)\tMiss Ratio\n"
                "16\t\t\t1.000000\n"
                "32\t\t\t0.333333\n"
                "Miss ratio is 0.333333 for all bigger caches\n"
                "\n\n\n");
}

TEST(WideseerReport, InterimReportsAndProgressWithAnIntervalSetLater) {
  // SAVE_INTERVAL and P_INTERVAL have no option either; the unit is set up
  // by hand. Interim reports go to stderr once the count passes each
  // multiple of SAVE_INTERVAL, before that reference is processed; progress
  // lines come at the multiples of P_INTERVAL as it is when the window
  // hands the references over (the first 100000 at the 200000th reference
  // fed, the rest at the end).
  std::vector<uint32_t> lines = hot_cold(350000, 30, 900, 0.1, 4);
  ChildOutcome o = run_isolated([&] {
    L = 4, MAX_LINES = 32768, MISS_RATIO_INTERVAL = 1, T = 2147483647;
    SAVE_INTERVAL = 100000;
    P_INTERVAL = 150000;
    init_wideseer();
    init_optpp();
    for (size_t i = 0; i < lines.size(); i++) {
      if (i == 260000) P_INTERVAL = 70000;
      optpp(lines[i] << 4, 4, stack_proc_fa, inf_handler_fa);
    }
    term_optpp(stack_proc_fa);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  std::string marks;
  for (size_t at = 0; at < o.err.size();) {
    size_t end = o.err.find('\n', at);
    std::string line = o.err.substr(at, end - at);
    if (line.rfind("libvantle: addresses processed", 0) == 0 ||
        line.rfind("Addresses processed", 0) == 0)
      marks += line + "\n";
    at = end + 1;
  }
  EXPECT_EQ(marks,
            "Addresses processed : 100001\n"
            "libvantle: addresses processed  140000\n"
            "Addresses processed : 200001\n"
            "libvantle: addresses processed  210000\n"
            "libvantle: addresses processed  280000\n"
            "Addresses processed : 300001\n"
            "libvantle: addresses processed  350000\n");
  expect_no_fault_messages(o.err);
}

// Cache sizes of 2 GiB and more print as the unsigned sizes they are, as in
// the LRU family's report; a report step of 0 lines, set behind the front
// end's back, lists every size instead of dividing by zero.
TEST(WideseerReport, SizesPastTwoGibibytesAndAStepOfZero) {
  std::vector<md_addr_t> trace;
  for (md_addr_t line = 0; line < 2100; line++) trace.push_back(line << 20);
  ChildOutcome o = run_isolated([&] {
    init_with("-Cfa -Ropt -l20 -M2147483648");
    for (md_addr_t a : trace) vantle_access(a);
    vantle_stats(stdout, 0);
    MISS_RATIO_INTERVAL = 0;
    outpr_wideseer(stdout);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_NE(o.out.find("\n2147483648\t\t\t1.000000\n"), std::string::npos);
  EXPECT_EQ(o.out.find("\n-"), std::string::npos);
  // Both reports list all 2048 sizes.
  size_t rows = 0;
  for (size_t at = o.out.find("\t\t\t"); at != std::string::npos;
       at = o.out.find("\t\t\t", at + 1))
    rows++;
  EXPECT_EQ(rows, 2u * 2048u);
}

TEST(WideseerReport, ResultsRowsReachTheLargestCache) {
  // -i32 over 4 lines of 16 bytes: rows at 2 and 4 lines; two distinct
  // lines, so the 4-line row carries the "all bigger caches" hits.
  ChildOutcome o = simulate("-Cfa -Ropt -i32 -M64", {0x0, 0x10, 0x0, 0x10});
  ASSERT_EQ(o.status, 0);
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].cache_size, 32u);
  EXPECT_EQ(rows[1].cache_size, 64u);
  for (const vantle_result &r : rows) {
    EXPECT_EQ(r.organisation, 3);
    EXPECT_EQ(r.policy, 1);
    EXPECT_EQ(r.line_size, 16u);
    EXPECT_EQ(r.references, 4u);
    EXPECT_EQ(r.hits, 2u);
    EXPECT_DOUBLE_EQ(r.miss_ratio, 0.5);
  }
}

// --- priority tree ---

using Key = std::pair<int32_t, int32_t>;  // (grpno, prty)

// Stack order: shallower first.
struct StackOrder {
  bool operator()(const Key &a, const Key &b) const {
    return a.first < b.first || (a.first == b.first && a.second > b.second);
  }
};

tree_node probe(Key k) {
  tree_node n{};
  n.grpno = k.first;
  n.prty = k.second;
  return n;
}

// The reference stack: every key with its line.
using RefStack = std::map<Key, md_addr_t, StackOrder>;

// Highest negative priority of the reference, as Get_max_prty_unknown
// gives it.
int32_t max_unknown(const RefStack &ref) {
  int32_t max = -2147483642;
  for (const auto &[key, addr] : ref)
    if (key.second < 0 && key.second > max) max = key.second;
  return max;
}

// In the child: prints a line for every disagreement between the stack,
// walked from the top with Lookup_next and back with Lookup_prev, and the
// reference.
void check_tree(tree_node *top, const RefStack &ref, const char *when) {
  std::vector<std::pair<Key, md_addr_t>> down;
  for (tree_node *n = top; n && down.size() <= ref.size() + 1;
       n = Lookup_next(n))
    down.push_back({{n->grpno, n->prty}, n->addr});
  std::vector<std::pair<Key, md_addr_t>> want(ref.begin(), ref.end());
  if (down != want) {
    printf("order differs %s: %zu entries walked, %zu expected\n", when,
           down.size(), want.size());
    return;
  }
  for (size_t i = 0; i < want.size(); i++) {
    tree_node p = probe(want[i].first);
    tree_node *above = Lookup_prev(&p);
    if (i == 0 ? above != nullptr
               : !above || Key(above->grpno, above->prty) != want[i - 1].first)
      printf("Lookup_prev wrong at %zu %s\n", i, when);
  }
  if (Get_max_prty_unknown() != max_unknown(ref))
    printf("highest unknown priority wrong %s\n", when);
}

// Entries go into the stack by copy and come back as the unit's records,
// so one local node serves every insertion.
TEST(PriorityTree, RandomInsertsDeletesAndReplacements) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -M1048576");
    Rng rng(2024);
    RefStack ref;
    static tree_node top{};  // grpno 0: the top entry, the tree's root
    Insert(&top);
    ref[{0, 0}] = 0;
    int ops = 0;
    auto random_key = [&] {
      return Key(1 + rng.below(40), static_cast<int32_t>(rng.below(4000)) -
                                        2000);
    };
    // Deletes a present key other than the top's.
    auto delete_one = [&] {
      auto it = std::next(ref.begin(), 1 + rng.below(ref.size() - 1));
      Key above = std::prev(it)->first;
      tree_node p = probe(it->first), *prev = nullptr;
      tree_node *gone = Delete(&p, &prev);
      if (!gone || Key(gone->grpno, gone->prty) != it->first ||
          gone->addr != it->second)
        printf("Delete returned the wrong entry\n");
      if (!prev || Key(prev->grpno, prev->prty) != above)
        printf("Delete reported the wrong entry above\n");
      ref.erase(it);
    };
    for (int step = 0; step < 30000; step++) {
      uint32_t what = rng.below(10);
      if (what < 5 || ref.size() < 3) {  // insert a fresh key
        Key k = random_key();
        if (ref.count(k)) continue;
        tree_node n{};
        n.grpno = k.first;
        n.prty = k.second;
        n.addr = static_cast<md_addr_t>(step);
        Insert(&n);
        ref[k] = n.addr;
      } else if (what < 8) {
        delete_one();
      } else {  // first entry of a group becomes last of the group above
        auto it = std::next(ref.begin(), 1 + rng.below(ref.size() - 1));
        Key above = std::prev(it)->first;
        auto below = std::next(it);
        Key fresh(above.first, above.second - 1);
        bool fits = above.first != 0 && fresh != it->first &&
                    (below == ref.end() || StackOrder()(fresh, below->first));
        if (!fits) {  // else shift the priority within its own place
          fresh = Key(it->first.first, it->first.second + 1);
          fits = StackOrder()(above, fresh) && fresh != above;
        }
        if (!fits) continue;
        tree_node p = probe(it->first), ins = probe(fresh);
        ins.addr = 77;
        tree_node *n = Lookup_Delete_Insert(&p, &ins);
        if (!n || Key(n->grpno, n->prty) != fresh || n->addr != 77)
          printf("Lookup_Delete_Insert returned the wrong entry\n");
        ref.erase(it);
        ref[fresh] = 77;
      }
      if (++ops % 97 == 0) check_tree(&top, ref, "during the run");
    }
    check_tree(&top, ref, "at the end");
    // The deepest entry has nothing below; the top has the first group's
    // first entry below.
    tree_node deepest = probe(ref.rbegin()->first);
    if (Lookup_next(&deepest) != nullptr) printf("deepest has a next\n");
    tree_node *first = Lookup_next(&top);
    Key second = std::next(ref.begin())->first;
    if (!first || Key(first->grpno, first->prty) != second)
      printf("next of top wrong\n");
    // Emptied again, groups closing one by one: the top stays alone.
    while (ref.size() > 1) {
      delete_one();
      if (ref.size() % 61 == 0) check_tree(&top, ref, "while emptying");
    }
    check_tree(&top, ref, "emptied");
    if (Lookup_next(&top) != nullptr) printf("emptied stack has a next\n");
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "");
}

TEST(PriorityTree, DuplicateKeyLeavesTheTreeValid) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -M4096");
    static tree_node top{}, a{}, b{}, c{}, dup1{}, dup2{};
    RefStack ref{{{0, 0}, 0}};
    Insert(&top);
    md_addr_t line = 0xa0;
    for (tree_node *n : {&a, &b, &c}) {
      n->grpno = 5;
      n->prty = static_cast<int32_t>(ref.size()) * 10;
      n->addr = line++;
      Insert(n);
      ref[{n->grpno, n->prty}] = n->addr;
    }
    dup1.grpno = dup2.grpno = 5;
    dup1.prty = dup2.prty = 20;
    dup1.addr = 0xd1;
    dup2.addr = 0xd2;
    Insert_no_Balance(&dup1);
    Insert_and_Balance(&dup2);
    check_tree(&top, ref, "after duplicates");
    tree_node p = probe({5, 20}), *prev = nullptr;
    tree_node *gone = Delete(&p, &prev);
    if (!gone || gone->addr != b.addr)
      printf("the original entry was replaced\n");
    ref.erase({5, 20});
    check_tree(&top, ref, "after deleting the key");
    // An absent key: reported, nothing changes.
    if (Delete(&p, &prev) != nullptr) printf("deleted an absent key\n");
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "libvantle: error in insert\n"
            "libvantle: error in Insert\n"
            "libvantle: error in delete\n");
}

TEST(PriorityTree, BothUnknownSearchesFindTheEntryToDisplace) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -M65536");
    Rng rng(7);
    std::set<Key, StackOrder> ref;
    static tree_node top{};
    top.prty = 1000;
    Insert(&top);
    ref.insert({0, 1000});
    for (int i = 0; i < 300; i++) {
      Key k(1 + rng.below(6), static_cast<int32_t>(rng.below(61)) - 30);
      if (k.second == 0 || ref.count(k)) continue;
      tree_node *n = new tree_node{};
      n->grpno = k.first;
      n->prty = k.second;
      Insert(n);
      ref.insert(k);
    }
    for (int q = 0; q < 3000; q++) {
      int32_t g = 1 + rng.below(6), s = -1 - static_cast<int32_t>(rng.below(31));
      int32_t d = s + 1 + static_cast<int32_t>(rng.below(-s));  // s < d <= 0
      // Expected: the key itself, else the entry just above its place
      // when that entry is in group g with a priority below d.
      Key want(-1, 0);
      auto it = ref.lower_bound({g, s});
      if (it != ref.end() && *it == Key(g, s)) {
        want = *it;
      } else {
        Key above = *std::prev(it);
        if (above.first == g && above.second < d) want = above;
      }
      tree_node key = probe({g, s});
      tree_node *a = Get_first_unknown_wobacking(g, s, d);
      tree_node *b = Get_first_unknown(&key, s, d);
      Key got_a = a ? Key(a->grpno, a->prty) : Key(-1, 0);
      Key got_b = b ? Key(b->grpno, b->prty) : Key(-1, 0);
      if (got_a != want || got_b != want)
        printf("query (%d,%d,%d): want (%d,%d), got (%d,%d) and (%d,%d)\n",
               g, s, d, want.first, want.second, got_a.first, got_a.second,
               got_b.first, got_b.second);
    }
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
}

TEST(PriorityTree, EdgesOfTheStack) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt -M4096");
    static tree_node top{}, a{}, b{};
    top.prty = 70;
    a.grpno = b.grpno = 9;
    a.prty = 50;
    b.prty = -3;
    a.addr = 0xa;
    b.addr = 0xb;
    for (tree_node *n : {&top, &a, &b}) Insert(n);
    // Replacing an entry of the root's group, or one that is not there.
    tree_node probe_top = probe({0, 70}), probe_c = probe({9, 40});
    if (Lookup_Delete_Insert(&probe_top, &a) != nullptr)
      printf("replaced the top entry\n");
    if (Lookup_Delete_Insert(&probe_c, &a) != nullptr)
      printf("replaced an absent entry\n");
    // The top entry has nothing above it; taking it out leaves the rest.
    tree_node *prev = &a;
    tree_node *gone = Delete(&probe_top, &prev);
    if (!gone || gone->prty != 70 || prev != nullptr)
      printf("top entry removed wrongly\n");
    tree_node *first = Lookup_next(&probe_top);
    md_addr_t first_line = first ? first->addr : 0;
    tree_node *second = first ? Lookup_next(first) : nullptr;
    if (first_line != 0xa || !second || second->addr != 0xb)
      printf("the rest of the stack changed\n");
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err,
            "libvantle: hit at root\n"
            "libvantle: error in Lookup_Delete_Insert\n");
}

// Late resolution of the line that is the top entry: only its priority
// changes, once, and its record in the table stays.
TEST(LateResolution, TheTopEntryTakesItsPriorityOnce) {
  ChildOutcome o = run_isolated([] {
    L = 4, MAX_LINES = 64, MISS_RATIO_INTERVAL = 1, T = 2147483647;
    init_wideseer();
    // Line 5, next used at time 3, then line 6 of unknown next use: line 6
    // is the top entry with priority -1, line 5 the first group's.
    addr_array[0] = 5, time_array[0] = 3;
    addr_array[1] = 6, time_array[1] = 0;
    stack_proc_fa(0, 2);
    printf("%d\n", Get_max_prty_unknown());
    unk_hash_add_fa(6, 123, -7);  // a record of line 6 that is not its own
    inf_handler_fa(6, 10);
    printf("%d\n", Get_max_prty_unknown());
    inf_handler_fa(6, 11);  // known already: reported, left alone
    int prty = 0;
    int recorded = unk_hash_del_fa(6, &prty);
    printf("%d %d\n", recorded, prty);
    tree_node first = probe({2147483647, 2147483647});
    tree_node *line5 = Lookup_next(&first);
    printf("%u %d\n", line5 ? line5->addr : 0u, line5 ? line5->prty : 0);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "-1\n-2147483642\n123 -7\n5 2147483644\n");
  EXPECT_EQ(o.err, "libvantle: unknown has > 0 prty\n");
}

// --- unknown-priority table ---

// In the child: prints a removal's group number and the priority slot.
void show_del(md_addr_t addr, int *prty) {
  int grp = unk_hash_del_fa(addr, prty);
  printf("%d %d\n", grp, *prty);
}

TEST(UnknownTable, DuplicateRecordsComeOutOldestFirst) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt");
    unk_hash_add_fa(0x1234, 2147483000, -5);
    unk_hash_add_fa(0x1234, 2147482000, -9);
    int prty = 1;
    show_del(0x1234, &prty);
    show_del(0x1234, &prty);
    prty = 1;
    show_del(0x1234, &prty);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "2147483000 -5\n2147482000 -9\n0 1\n");
  EXPECT_EQ(o.err,
            "libvantle: addr already in hash table\n"
            "addr: 0x1234; t_entries: 0; prty: -5\n"
            "slot addr: 0x1234; prty: -5\n");
}

TEST(UnknownTable, HeadRemovalKeepsFollowersFindable) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt");
    const md_addr_t a = 17, b = 17 + 7211, c = 17 + 2 * 7211;
    unk_hash_add_fa(a, 100, -1);
    unk_hash_add_fa(b, 200, -2);
    unk_hash_add_fa(c, 300, -3);
    int prty = 0;
    show_del(a, &prty);  // head goes
    show_del(c, &prty);  // tail goes
    show_del(a, &prty);  // already gone
    show_del(b, &prty);  // now the head
    show_del(b, &prty);  // bucket empty
    unk_hash_add_fa(c, 400, -4);  // the emptied bucket takes a record again
    show_del(c, &prty);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "100 -1\n300 -3\n0 -3\n200 -2\n0 -2\n400 -4\n");
  EXPECT_EQ(o.err, "");
}

TEST(UnknownTable, PurgeRemovesRecordsAboveTheTreesHighestUnknown) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt");
    static tree_node top{}, known{}, unknown{}, lower{};
    top.prty = 50;
    known.grpno = unknown.grpno = lower.grpno = 9;
    known.prty = 100;
    unknown.prty = -7;
    lower.prty = -12;
    for (tree_node *n : {&top, &known, &unknown, &lower}) Insert(n);
    printf("%d\n", Get_max_prty_unknown());
    const md_addr_t head = 5, follower = 5 + 7211, other = 6;
    unk_hash_add_fa(head, 11, -2);      // stale: above -7
    unk_hash_add_fa(follower, 12, -7);  // the tree's own unknown entry
    unk_hash_add_fa(other, 13, -1);     // stale
    unk_hash_add_fa(other + 7211, 14, -12);
    unk_hash_add_fa(other + 2 * 7211, 15, -3);  // stale, behind a kept one
    hash_clean_fa();
    int prty = 0;
    for (md_addr_t a : {head, follower, other, other + 7211, other + 2 * 7211})
      printf("%d ", unk_hash_del_fa(a, &prty));
    printf("\n");
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "-7\n0 12 0 14 0 \n");
}

TEST(UnknownTable, PurgeOfATreeWithoutUnknownsEmptiesTheTable) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt");
    printf("%d\n", Get_max_prty_unknown());  // no tree at all
    unk_hash_add_fa(3, 1, -1);
    unk_hash_add_fa(3 + 7211, 1, -2147483000);
    hash_clean_fa();
    int prty = 0;
    printf("%d %d\n", unk_hash_del_fa(3, &prty),
           unk_hash_del_fa(3 + 7211, &prty));
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "-2147483642\n0 0\n");
}

// --- group numbers ---

// Group numbers only order the groups: numbered afresh, the groups keep
// their order and entries, and every record of the unknown-priority table
// keeps its place before, at or after each group (the late next-use
// handler starts at the record's group, or where it would be).
TEST(WideseerGroups, NumberedAfreshInTheSameOrder) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa -Ropt");
    static tree_node nodes[5];
    // Down the stack from the top entry, whose group is 0.
    const int32_t numbers[] = {0, 30, 50, 70, 90};
    for (int k = 0; k < 5; k++) {
      nodes[k].grpno = numbers[k];
      nodes[k].prty = 100 - k;
      nodes[k].addr = 0x100 + k;
      Insert(&nodes[k]);
    }
    // Records at, between, above and below the groups' numbers.
    const int32_t recorded[] = {90, 91, 95, 70, 80, 50, 31, 30, 29, 1};
    for (int k = 0; k < 10; k++)
      unk_hash_add_fa(0x200 + k, recorded[k], -1 - k);
    renumber_groups();
    std::vector<int32_t> groups;
    tree_node top = probe({0, 2147483647});
    for (tree_node *n = Lookup_next(&top); n; n = Lookup_next(n)) {
      if (n->addr != 0x100u + groups.size()) printf("entry moved\n");
      groups.push_back(n->grpno);
    }
    if (groups.size() != 5 || groups[0] != 0) printf("groups lost\n");
    for (size_t g = 2; g < groups.size(); g++)
      if (groups[g] <= groups[g - 1]) printf("groups out of order\n");
    for (int k = 0; k < 10; k++) {
      int prty = 0;
      int32_t now = unk_hash_del_fa(0x200 + k, &prty);
      for (size_t g = 1; g < groups.size(); g++) {
        int before = (recorded[k] > numbers[g]) - (recorded[k] < numbers[g]);
        int after = (now > groups[g]) - (now < groups[g]);
        if (before != after || prty != -1 - k)
          printf("record %d: %d against group %zu, now %d\n", recorded[k],
                 before, g, after);
      }
    }
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
}

// A run started late begins with group numbers near their lowest, so that
// new groups soon need the numbers afresh: group numbers stay positive,
// above the top entry's 0, and fall strictly from the bottom of the stack
// to the top.
TEST(WideseerGroups, RunLowAndAreNumberedAfreshDuringARun) {
  std::vector<md_addr_t> bytes = to_bytes(hot_cold(300000, 64, 3000, 0.02, 7), 4);
  ChildOutcome o = run_isolated([&] {
    init_with(words_for(4, 1024));
    if (test_start_at(uint64_t{1} << 32) != 0) return;
    for (md_addr_t a : bytes) vantle_access(a);
    vantle_stats(fopen("/dev/null", "w"), 0);
    std::vector<int32_t> groups;
    tree_node top = probe({0, 2147483647});
    for (tree_node *n = Lookup_next(&top); n && groups.size() <= 2000;
         n = Lookup_next(n))
      if (groups.empty() || n->grpno != groups.back())
        groups.push_back(n->grpno);
    printf("%zu groups\n", groups.size());
    for (size_t g = 1; g < groups.size(); g++)
      if (groups[g] <= groups[g - 1] || groups[g] <= 0)
        printf("group %zu numbered %d after %d\n", g, groups[g],
               groups[g - 1]);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(o.out.find("groups\n"), o.out.size() - 7) << o.out.substr(0, 500);
  EXPECT_GT(std::stoi(o.out), 10) << o.out;
}

}  // namespace
