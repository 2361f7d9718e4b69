// Direct-mapped, every line size: the one-pass result must equal one plain
// direct-mapped cache per line size, hit for hit.
#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "late_start.h"
#include "libvantle/linesweep.h"
#include "reference/naive_dm.h"
#include "rng.h"

namespace {

struct Family {
  int a, b, c;
};

std::string words_of(const Family &f) {
  return "-Cdm -a" + std::to_string(f.a) + " -b" + std::to_string(f.b) +
         " -c" + std::to_string(f.c);
}


const size_t kTraceLength = 100000;

// Uniform over a region a few times the cache size, so that hits, conflict
// misses and every line size's spatial reuse all occur.
std::vector<md_addr_t> random_trace(uint64_t seed, int c) {
  Rng rng{seed};
  uint64_t span = uint64_t{4} << c;
  std::vector<md_addr_t> t(kTraceLength);
  for (auto &a : t) a = rng.below(span);
  return t;
}

// Several interleaved streams of fixed strides, some of them cache-sized
// (pure conflicts), some smaller than a line, restarted periodically.
std::vector<md_addr_t> strided_trace(uint64_t seed, int c) {
  Rng rng{seed};
  const uint32_t strides[] = {4, 64, 200, 4096, 1u << c, (1u << c) + 8};
  uint32_t pos[6] = {};
  uint32_t base[6];
  for (int s = 0; s < 6; s++) base[s] = rng.below(1ull << 31);
  std::vector<md_addr_t> t;
  t.reserve(kTraceLength);
  for (size_t i = 0; i < kTraceLength; i++) {
    int s = static_cast<int>(i % 6);
    if (rng.below(500) == 0) pos[s] = 0;
    t.push_back(base[s] + pos[s]);
    pos[s] += strides[s];
  }
  return t;
}

// A program-like mix: a hot loop body, array sweeps, a stack that grows and
// shrinks, and rare far references anywhere in the 32-bit space (the top
// addresses included, whose tags are the largest possible).
std::vector<md_addr_t> structured_trace(uint64_t seed) {
  Rng rng{seed};
  std::vector<md_addr_t> t;
  t.reserve(kTraceLength);
  uint32_t sweep = 0, sp = 0x7FFF0000u;
  while (t.size() < kTraceLength) {
    uint32_t kind = rng.below(100);
    if (kind < 40) {
      t.push_back(0x00400000u + 4 * rng.below(300));  // loop body
    } else if (kind < 70) {
      t.push_back(0x10000000u + sweep);  // array sweep
      sweep = (sweep + 8) % (1u << 18);
    } else if (kind < 90) {
      sp += rng.below(2) ? 16 : static_cast<uint32_t>(-16);
      t.push_back(sp + rng.below(16));
    } else if (kind < 95) {
      t.push_back(0xFFFFFFFFu - rng.below(1u << 12));
    } else {
      t.push_back(static_cast<uint32_t>(rng.next()));
    }
  }
  return t;
}

// Expected report rows for hits computed independently.
std::string report_rows(const Family &f, const std::vector<uint64_t> &hits,
                        uint64_t refs) {
  std::string text;
  char line[128];
  for (int e = f.a; e <= f.b; e++) {
    double ratio = 1.0 - static_cast<double>(hits[e - f.a]) /
                             static_cast<double>(refs);
    snprintf(line, sizeof line, "%d\t\t\t%f\n", 1 << e, ratio);
    text += line;
  }
  return text;
}

void expect_matches_naive(const Family &f,
                          const std::vector<md_addr_t> &trace) {
  SCOPED_TRACE(words_of(f));
  std::vector<uint64_t> want =
      naive_dm::hits_per_line_size(f.a, f.b, f.c, trace);
  ChildOutcome o = simulate(words_of(f), trace);
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), static_cast<size_t>(f.b - f.a + 1));
  for (size_t i = 0; i < rows.size(); i++) {
    int e = f.a + static_cast<int>(i);
    SCOPED_TRACE("line size 2^" + std::to_string(e));
    EXPECT_EQ(rows[i].organisation, 4);
    EXPECT_EQ(rows[i].policy, 0);
    EXPECT_EQ(rows[i].line_size, 1u << e);
    EXPECT_EQ(rows[i].sets, 1u << (f.c - e));
    EXPECT_EQ(rows[i].associativity, 1u);
    EXPECT_EQ(rows[i].cache_size, uint64_t{1} << f.c);
    EXPECT_EQ(rows[i].references, trace.size());
    EXPECT_EQ(rows[i].hits, want[i]);
  }
  EXPECT_NE(o.out.find(report_rows(f, want, trace.size())), std::string::npos)
      << o.out;
}

const Family kFamilies[] = {
    {7, 14, 16},  // the defaults
    {2, 12, 20},  // wide: 11 line sizes
    {4, 4, 10},   // A = B: one plain cache
    {3, 10, 10},  // B = C: one row
    {0, 6, 6},    // A = 0 and B = C, 7 line sizes in a tiny cache
    {5, 5, 5},    // A = B = C: one line
    {0, 0, 1},    // smallest cache allowed
};

TEST(LinesweepDifferential, RandomTraces) {
  uint64_t seed = 1;
  for (const Family &f : kFamilies)
    expect_matches_naive(f, random_trace(seed++, f.c));
}

// Runs that cross 2^31 and 2^32 references: every count in full, against
// one plain cache per line size.
TEST(LinesweepDifferential, CountsPastBothEdgesOf32Bits) {
  for (const Family &f : {kFamilies[0], kFamilies[1]}) {
    SCOPED_TRACE(words_of(f));
    std::vector<md_addr_t> trace = random_trace(3, f.c);
    std::vector<uint64_t> want =
        naive_dm::hits_per_line_size(f.a, f.b, f.c, trace);
    for (uint64_t start : starts_across_edges(trace.size()))
      expect_run_across(simulate_from(start, words_of(f), trace), start,
                        trace.size(), want, "Addresses processed ",
                        "libvantle: addresses processed  ");
  }
}

TEST(LinesweepDifferential, StridedTraces) {
  uint64_t seed = 100;
  for (const Family &f : kFamilies)
    expect_matches_naive(f, strided_trace(seed++, f.c));
}

TEST(LinesweepDifferential, StructuredTraces) {
  uint64_t seed = 200;
  for (const Family &f : kFamilies)
    expect_matches_naive(f, structured_trace(seed++));
}

// Hits per line size of one run, read back through vantle_results.
std::vector<uint64_t> hits_of(const std::string &words,
                              const std::vector<md_addr_t> &trace) {
  ChildOutcome o = simulate(words, trace);
  EXPECT_EQ(o.status, 0) << o.err;
  std::vector<uint64_t> hits;
  for (const vantle_result &r : received_results(o)) hits.push_back(r.hits);
  return hits;
}

TEST(LinesweepEdges, SameAddressTwiceHitsEveryLineSize) {
  EXPECT_EQ(hits_of("-Cdm", {0x12345678u, 0x12345678u}),
            std::vector<uint64_t>(8, 1));
  EXPECT_EQ(hits_of("-Cdm -a0 -b0 -c1", {0xFFFFFFFFu, 0xFFFFFFFFu}),
            std::vector<uint64_t>{1});
}

TEST(LinesweepEdges, HighestDifferingBitSplitsLineSizes) {
  // Defaults: line sizes 2^7 .. 2^14. For each j, the two addresses share
  // every line of 2^(7+j+1) bytes or more and no smaller one.
  for (int j = 0; j < 7; j++) {
    SCOPED_TRACE(j);
    md_addr_t first = 0x00ABC000u | 0x35u;
    md_addr_t second = (first ^ (1u << (7 + j))) ^ ((1u << (7 + j)) - 1);
    std::vector<uint64_t> want(8, 0);
    for (int e = 7 + j + 1; e <= 14; e++) want[e - 7] = 1;
    EXPECT_EQ(hits_of("-Cdm", {first, second}), want);
  }
}

TEST(LinesweepEdges, AddressesOneCacheSizeApartAlwaysMiss) {
  std::vector<md_addr_t> trace;
  for (int i = 0; i < 50; i++)
    trace.push_back(i % 2 ? 0x5040u + 0x10000u : 0x5040u);
  EXPECT_EQ(hits_of("-Cdm", trace), std::vector<uint64_t>(8, 0));
  // Same with a single set (B = C) and with a single line size (A = B).
  trace.clear();
  for (int i = 0; i < 50; i++)
    trace.push_back(i % 2 ? 0x300u + 0x400u : 0x300u);
  EXPECT_EQ(hits_of("-Cdm -a2 -b10 -c10", trace), std::vector<uint64_t>(9, 0));
  EXPECT_EQ(hits_of("-Cdm -a6 -b6 -c10", trace), std::vector<uint64_t>(1, 0));
}

TEST(LinesweepEdges, SingleLineSizeIsAPlainCache) {
  // 2^4-byte lines in a 2^6-byte cache: sets 0..3 by address bits 4..5.
  std::vector<md_addr_t> trace = {0x00, 0x04, 0x10, 0x40, 0x00, 0x1F, 0x50};
  // 0x04 hits 0x00; 0x40 evicts 0x00 from set 0; 0x00 misses and evicts
  // 0x40; 0x1F hits 0x10; 0x50 (set 1, other tag) misses.
  EXPECT_EQ(hits_of("-Cdm -a4 -b4 -c6", trace), std::vector<uint64_t>{2});
}

TEST(LinesweepEdges, SingleSetFamily) {
  // B = C = 8, A = 6: line sizes 64, 128, 256; the 256-byte cache is one
  // line. 0x000, 0x0C0, 0x100, 0x040:
  //   64:  sets 0,3,0,1: nothing repeats with the same tag -> 0 hits;
  //   128: sets 0,1,0,0: 0x100 tag 1 evicts line 0; 0x040 (tag 0) misses;
  //   256: one set: 0x0C0 hits line 0; 0x100 misses; 0x040 misses.
  std::vector<md_addr_t> trace = {0x000, 0x0C0, 0x100, 0x040};
  EXPECT_EQ(hits_of("-Cdm -a6 -b8 -c8", trace),
            (std::vector<uint64_t>{0, 0, 1}));
}

TEST(LinesweepReport, DefaultFamilyHasEightRows) {
  // 0x0 twice: hit everywhere. 0x80: same line from 256 bytes up.
  // 0x10000: other tag, same set 0 everywhere: miss.
  ChildOutcome o = simulate("-Cdm", {0x0, 0x0, 0x80, 0x10000});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "\nlibvantle: ** end of simulation **\n"
            "Direct Mapped Caches\n"
            "Addresses processed 4\n"
            "Cache size: 65536 bytes\n"
            "Line size (bytes)\tMiss ratio\n"
            "128\t\t\t0.750000\n"
            "256\t\t\t0.500000\n"
            "512\t\t\t0.500000\n"
            "1024\t\t\t0.500000\n"
            "2048\t\t\t0.500000\n"
            "4096\t\t\t0.500000\n"
            "8192\t\t\t0.500000\n"
            "16384\t\t\t0.500000\n"
            "\n");
  EXPECT_EQ(o.err, "");
}

TEST(LinesweepReport, RepeatableAndEmptyRunsPrintNan) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cdm -a3 -b4 -c5 -Ropt");  // the policy is ignored
    vantle_stats(stdout, 1);
    vantle_access(8);
    vantle_access(8);
    vantle_stats(stdout, 1);
    vantle_stats(stdout, 0);
    send_results();
  });
  ASSERT_EQ(o.status, 0) << o.err;
  volatile double zero = 0.0;
  char nan_text[16];
  snprintf(nan_text, sizeof nan_text, "%f", 1.0 - zero / zero);
  auto report = [](const std::string &refs, const std::string &ratio) {
    return "\nlibvantle: ** end of simulation **\n"
           "Direct Mapped Caches\n"
           "Addresses processed " + refs + "\n"
           "Cache size: 32 bytes\n"
           "Line size (bytes)\tMiss ratio\n"
           "8\t\t\t" + ratio + "\n16\t\t\t" + ratio + "\n\n";
  };
  // 8 then 8: the second reference hits under both line sizes.
  EXPECT_EQ(o.out, report("0", nan_text) + report("2", "0.500000") +
                       report("2", "0.500000"));
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].policy, 0);
  EXPECT_EQ(rows[1].hits, 1u);
}

TEST(LinesweepReport, ResultsBeforeAnyReferenceAndShortCapacity) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cdm -a2 -b5 -c9");
    vantle_result row[2];
    int n = vantle_results(row, 2);
    int first_nan = row[0].miss_ratio != row[0].miss_ratio;
    int answers[] = {n, vantle_results(nullptr, 0), first_nan,
                     static_cast<int>(row[1].line_size),
                     static_cast<int>(row[1].sets)};
    send_to_parent(answers, sizeof answers);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  ASSERT_EQ(o.data.size(), 5 * sizeof(int));
  const int *a = reinterpret_cast<const int *>(o.data.data());
  EXPECT_EQ(a[0], 4);
  EXPECT_EQ(a[1], 4);
  EXPECT_EQ(a[2], 1);
  EXPECT_EQ(a[3], 8);
  EXPECT_EQ(a[4], 64);
}

TEST(LinesweepFrontEnd, RefusesBadExponents) {
  struct Case {
    const char *words;
    const char *message;  // exact text, or null: any "libvantle: -x" line
  } cases[] = {
      {"-Cdm -a5 -b4 -c16", "libvantle: min line size greater than max line\n"},
      {"-Cdm -a2 -b17 -c16",
       "libvantle: max line size greater than cache size\n"},
      {"-CDM -a15", "libvantle: min line size greater than max line\n"},
      {"-Cdm -a0 -b0 -c0", nullptr},  // one-byte cache: a tag could be ~0
      {"-Cdm -c31 -b20", nullptr},    // shifts would reach 32 bits
      {"-Cdm -a-1", nullptr},
      {"-Cdm -b31 -c31", nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words);
    std::string words = c.words;
    ChildOutcome o = run_isolated([&] {
      init_with(words);
      printf("initialised\n");
    });
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.out, "");
    if (c.message)
      EXPECT_EQ(o.err, c.message);
    else
      EXPECT_EQ(o.err.rfind("libvantle: -", 0), 0u) << o.err;
  }
}

TEST(LinesweepPeriodic, ProgressLinesAndInterimReports) {
  ChildOutcome o = run_isolated([] {
    A = 4;
    B = 5;
    C = 6;
    P_INTERVAL = 3;
    SAVE_INTERVAL = 4;
    init_linesweep();
    for (int i = 0; i < 9; i++) linesweep(0x20);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  auto report = [](int refs, const char *ratio) {
    return std::string("Direct Mapped Caches\nAddresses processed ") +
           std::to_string(refs) +
           "\nCache size: 64 bytes\nLine size (bytes)\tMiss ratio\n"
           "16\t\t\t" + ratio + "\n32\t\t\t" + ratio + "\n\n";
  };
  // One address: every reference but the first hits, so 1/t misses.
  EXPECT_EQ(o.err, "libvantle: addresses processed  3\n" +
                       report(5, "0.200000") +
                       "libvantle: addresses processed  6\n"
                       "libvantle: addresses processed  9\n" +
                       report(9, "0.111111"));
  EXPECT_EQ(o.out, "");
}

// The counts as the run goes, not only at its end: after each of the first
// 20 references and every 500th, every line size's hits must be those of
// its plain cache so far. Mostly nearby addresses, so that the same sets
// are met again and again, and a quarter anywhere in the 32-bit space.
TEST(LinesweepDifferential, CountsAgreeWithPlainCachesAlongTheWay) {
  const Family families[] = {{0, 3, 5}, {2, 7, 9}, {7, 14, 16}, {3, 3, 6},
                             {1, 6, 6}, {0, 1, 1}, {4, 9, 12}};
  const int kReferences = 6000;
  auto checkpoint = [](int i) { return i <= 20 || i % 500 == 0; };
  for (const Family &f : families) {
    SCOPED_TRACE(words_of(f));
    Rng rng{static_cast<uint64_t>(f.a * 100 + f.c)};
    uint64_t span = uint64_t{4} << f.c;
    std::vector<md_addr_t> trace(kReferences);
    for (md_addr_t &addr : trace)
      addr = rng.below(4) == 0 ? static_cast<md_addr_t>(rng.next())
                               : static_cast<md_addr_t>(rng.below(span));
    ChildOutcome o = run_isolated([&] {
      init_with(words_of(f));
      for (int i = 1; i <= kReferences; i++) {
        vantle_access(trace[i - 1]);
        if (checkpoint(i)) send_results();
      }
    });
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<vantle_result> rows = received_results(o);
    std::vector<naive_dm::Cache> caches;
    for (int e = f.a; e <= f.b; e++)
      caches.push_back(naive_dm::make_cache(e, f.c));
    size_t row = 0;
    for (int i = 1; i <= kReferences; i++) {
      for (naive_dm::Cache &c : caches) naive_dm::access(c, trace[i - 1]);
      if (!checkpoint(i)) continue;
      for (const naive_dm::Cache &c : caches) {
        ASSERT_LT(row, rows.size());
        ASSERT_EQ(rows[row].references, static_cast<uint64_t>(i));
        ASSERT_EQ(rows[row].hits, c.hits)
            << "line size 2^" << c.line_exp << " after " << i;
        row++;
      }
    }
    EXPECT_EQ(row, rows.size());
  }
}

}  // namespace
