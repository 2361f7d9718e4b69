// Misses explained (vantle_explain): the write-backs, dirty lines at the
// end, compulsory misses and fully-associative LRU misses of every
// configuration of every family, against one naive write-back cache per
// configuration, on random and structured traces with stores; and what
// each part leaves alone.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "reference/naive_writeback.h"
#include "rng.h"

namespace {

using naive_wb::Ref;

// ---- The naive model itself, on traces worked out by hand ----------------

std::vector<Ref> refs(std::initializer_list<std::pair<uint32_t, char>> list) {
  std::vector<Ref> trace;
  for (auto [line, kind] : list) trace.push_back({line << 4, kind == 'W'});
  return trace;
}

TEST(NaiveWriteback, OneLineCache) {
  // W a, R b (a leaves dirty), R a (b leaves clean), W a, W b (a dirty).
  auto c = naive_wb::run(refs({{1, 'W'}, {2, 'R'}, {1, 'R'}, {1, 'W'},
                               {2, 'W'}}),
                         1, 1, 4);
  EXPECT_EQ(c.misses, 4u);
  EXPECT_EQ(c.writebacks, 2u);
  EXPECT_EQ(c.dirty_at_end, 1u);
}

TEST(NaiveWriteback, LeastRecentLeavesASet) {
  // Two ways: W a, W b, R a, R c evicts b (dirty), R b evicts a (dirty,
  // though read since), R a evicts c (clean). Lines 1, 3, 5 share the one
  // set of a 1-set cache; a 2-set cache puts them all in set 1 too.
  auto trace = refs({{1, 'W'}, {3, 'W'}, {1, 'R'}, {5, 'R'}, {3, 'R'},
                     {1, 'R'}});
  for (uint64_t sets : {1u, 2u}) {
    auto c = naive_wb::run(trace, sets, 2, 4);
    EXPECT_EQ(c.misses, 5u);
    EXPECT_EQ(c.writebacks, 2u);
    EXPECT_EQ(c.dirty_at_end, 0u);
  }
  // Four ways hold them all: nothing written back, a and b dirty at the end.
  auto big = naive_wb::run(trace, 1, 4, 4);
  EXPECT_EQ(big.misses, 3u);
  EXPECT_EQ(big.writebacks, 0u);
  EXPECT_EQ(big.dirty_at_end, 2u);
}

TEST(NaiveWriteback, LinesOfTheLineSize) {
  // Bytes 0 and 8 are one 16-byte line, two 8-byte lines.
  std::vector<Ref> trace = {{0, true}, {8, false}, {0, false}, {16, true}};
  EXPECT_EQ(naive_wb::compulsory(trace, 4), 2u);
  EXPECT_EQ(naive_wb::compulsory(trace, 3), 3u);
  EXPECT_EQ(naive_wb::run(trace, 1, 1, 4).writebacks, 1u);
  EXPECT_EQ(naive_wb::run(trace, 1, 1, 3).writebacks, 1u);
  EXPECT_EQ(naive_wb::run(trace, 1, 1, 3).misses, 4u);
}

// ---- Traces with stores ------------------------------------------------------

// count references spread uniformly over span bytes at base; stores_in_100
// of every hundred write.
std::vector<Ref> uniform_refs(size_t count, uint64_t span, uint32_t base,
                              unsigned stores_in_100, uint64_t seed) {
  Rng rng(seed);
  std::vector<Ref> trace(count);
  for (Ref &r : trace)
    r = {base + rng.below(span), rng.below(100) < stores_in_100};
  return trace;
}

// Lines written, pushed down by others to every depth, re-read and
// re-written: a pool of lines, each write followed by reads of up to
// `farthest` other lines before the line comes back.
std::vector<Ref> rewritten_refs(size_t count, uint32_t pool, uint32_t farthest,
                                int line_bits, uint64_t seed) {
  Rng rng(seed);
  std::vector<Ref> trace;
  while (trace.size() < count) {
    uint32_t line = rng.below(pool);
    trace.push_back({line << line_bits, true});
    for (uint32_t k = rng.below(farthest + 1); k > 0; k--)
      trace.push_back({rng.below(pool) << line_bits, rng.below(8) == 0});
    trace.push_back({(line << line_bits) + rng.below(1u << line_bits),
                     false});
    if (rng.below(2)) trace.push_back({line << line_bits, true});
  }
  return trace;
}

// trace, then writes to `lines` lines at base: it ends with dirty lines.
std::vector<Ref> ending_dirty(std::vector<Ref> trace, uint32_t lines,
                              uint32_t base, int line_bits) {
  for (uint32_t k = 0; k < lines; k++)
    trace.push_back({base + (k << line_bits), true});
  return trace;
}

// ---- Runs -------------------------------------------------------------------

struct Explained {
  ChildOutcome outcome;
  std::vector<vantle_result> results;
  std::vector<vantle_explained> rows;
};

// A run in a child: vantle_explain(parts), the words, every reference
// through vantle_access_store (with an interim report and explanation
// half-way when asked), the final report; the rows of both calls come back.
Explained explain_run(unsigned parts, const std::string &words,
                      const std::vector<Ref> &trace, bool interim = false) {
  Explained e;
  e.outcome = run_isolated([&] {
    if (parts && vantle_explain(parts) != 0) _exit(3);
    init_with(words);
    FILE *sink = fopen("/dev/null", "w");
    for (size_t i = 0; i < trace.size(); i++) {
      vantle_access_store(trace[i].addr, trace[i].store);
      if (interim && i == trace.size() / 2) {
        vantle_stats(sink, 1);
        std::vector<vantle_explained> early(vantle_explanation(nullptr, 0));
        vantle_explanation(early.data(), static_cast<int>(early.size()));
      }
    }
    vantle_stats(sink, 0);
    int n = vantle_results(nullptr, 0);
    std::vector<vantle_result> results(n);
    std::vector<vantle_explained> rows(n);
    vantle_results(results.data(), n);
    if (vantle_explanation(rows.data(), n) != n) _exit(4);
    send_to_parent(&n, sizeof n);
    send_to_parent(results.data(), n * sizeof(vantle_result));
    send_to_parent(rows.data(), n * sizeof(vantle_explained));
  });
  const std::string &d = e.outcome.data;
  int n = 0;
  if (d.size() < sizeof n) return e;
  memcpy(&n, d.data(), sizeof n);
  if (d.size() != sizeof n + n * (sizeof(vantle_result) +
                                  sizeof(vantle_explained)))
    return e;
  e.results.resize(n);
  e.rows.resize(n);
  memcpy(e.results.data(), d.data() + sizeof n, n * sizeof(vantle_result));
  memcpy(e.rows.data(), d.data() + sizeof n + n * sizeof(vantle_result),
         n * sizeof(vantle_explained));
  return e;
}

// One configuration as a naive cache: its sets, ways and line bits.
struct Geometry {
  uint64_t sets, ways;
  int line_bits;
};

Geometry geometry(const vantle_result &r) {
  int bits = __builtin_ctz(r.line_size);
  uint64_t lines = r.cache_size >> bits;
  if (r.sets == 0) return {1, lines, bits};  // fully associative
  return {r.sets, r.associativity, bits};
}

const uint64_t kNot = VANTLE_NOT_COUNTED;

// Checks every row of e against the naive caches: the write-backs and
// dirty lines when with_writebacks, else not counted; the compulsory and
// fully-associative misses, and that the three Cs add up to the misses.
void expect_explained(const Explained &e, const std::vector<Ref> &trace,
                      bool with_writebacks) {
  ASSERT_EQ(e.outcome.status, 0) << e.outcome.err;
  ASSERT_FALSE(e.rows.empty());
  for (size_t i = 0; i < e.rows.size(); i++) {
    const vantle_result &r = e.results[i];
    const vantle_explained &x = e.rows[i];
    Geometry g = geometry(r);
    SCOPED_TRACE(std::to_string(g.sets) + " sets x " + std::to_string(g.ways) +
                 " ways, line bits " + std::to_string(g.line_bits));
    naive_wb::Counts want = naive_wb::run(trace, g.sets, g.ways, g.line_bits);
    uint64_t misses = r.references - r.hits;
    if (r.policy == VANTLE_LRU) {
      EXPECT_EQ(misses, want.misses);
    }
    if (with_writebacks) {
      EXPECT_EQ(x.writebacks, want.writebacks);
      EXPECT_EQ(x.dirty_at_end, want.dirty_at_end);
    } else {
      EXPECT_EQ(x.writebacks, kNot);
      EXPECT_EQ(x.dirty_at_end, kNot);
    }
    uint64_t compulsory = naive_wb::compulsory(trace, g.line_bits);
    uint64_t fa = naive_wb::run(trace, 1, g.sets * g.ways, g.line_bits).misses;
    EXPECT_EQ(x.compulsory, compulsory);
    EXPECT_EQ(x.fully_associative_misses, fa);
    int64_t capacity = static_cast<int64_t>(fa - compulsory);
    int64_t conflict = static_cast<int64_t>(misses) - static_cast<int64_t>(fa);
    EXPECT_GE(capacity, 0);
    EXPECT_EQ(static_cast<int64_t>(compulsory) + capacity + conflict,
              static_cast<int64_t>(misses));
  }
}

const unsigned kEvery = VANTLE_EXPLAIN_WRITEBACKS | VANTLE_EXPLAIN_COMPULSORY |
                        VANTLE_EXPLAIN_FULLY_ASSOCIATIVE;

// Every family with write-backs, on the traces above.
void expect_family_explained(const std::string &words, int line_bits,
                             uint64_t span) {
  SCOPED_TRACE(words);
  std::vector<std::vector<Ref>> traces = {
      uniform_refs(30000, span, 0x10000, 30, 1),
      ending_dirty(uniform_refs(20000, 4 * span, 0, 50, 2), 40, 0x7000000,
                   line_bits),
      rewritten_refs(30000, static_cast<uint32_t>(span >> line_bits), 70,
                     line_bits, 3),
  };
  for (const std::vector<Ref> &trace : traces)
    expect_explained(explain_run(kEvery, words, trace), trace, true);
}

TEST(ExplainSetAssociativeLru, EveryConfiguration) {
  expect_family_explained("-Csa -Rlru -a2 -b5 -n2 -l4", 4, 200 << 4);
  expect_family_explained("-Csa -a0 -b3 -n3 -l5", 5, 40 << 5);
}

TEST(ExplainSetAssociativeLru, OneWayAndManyWays) {
  expect_family_explained("-Csa -a3 -b6 -n0 -l4", 4, 150 << 4);
  expect_family_explained("-Csa -a0 -b1 -n4 -l3", 3, 60 << 3);
}

// With L = A = 0 every 32-bit value is a tag and each list counts its
// entries: empty entries, the all-ones tag and write-backs stay apart.
TEST(ExplainSetAssociativeLru, EveryAddressIsATag) {
  Rng rng(4);
  std::vector<Ref> trace(20000);
  for (Ref &r : trace) {
    uint32_t k = rng.below(24);
    r = {rng.below(2) ? 0xFFFFFFFFu - k : k, rng.below(3) == 0};
  }
  expect_explained(explain_run(kEvery, "-Csa -a0 -b2 -n2 -l0", trace), trace,
                   true);
}

TEST(ExplainFullyAssociativeLru, EverySize) {
  expect_family_explained("-Cfa -Rlru -l4 -M2048 -i256", 4, 300 << 4);
  expect_family_explained("-Cfa -l2 -M64 -i4", 2, 30 << 2);
}

// Past the line limit the stack drops lines; a dirty one dropped has been
// written back by every cache.
TEST(ExplainFullyAssociativeLru, PastTheLineLimit) {
  std::vector<Ref> trace = ending_dirty(
      uniform_refs(40000, 2000 << 4, 0, 40, 5), 100, 0x100000, 4);
  Explained e = explain_run(kEvery, "-Cfa -l4 -M1024 -i64", trace);
  EXPECT_NE(e.outcome.err.find("distinct entries limit exceeded"),
            std::string::npos);
  expect_explained(e, trace, true);
}

TEST(ExplainDirectMapped, EveryLineSize) {
  expect_family_explained("-Cdm -c10 -a4 -b7", 4, 300 << 4);
  expect_family_explained("-Cdm -c8 -a3 -b8", 3, 100 << 3);
}

// The OPT families: their three Cs, but no write-backs.
TEST(ExplainOpt, ThreeCsWithoutWritebacks) {
  std::vector<Ref> trace = uniform_refs(20000, 150 << 4, 0, 30, 6);
  expect_explained(explain_run(kEvery, "-Csa -Ropt -a1 -b4 -n2 -l4", trace),
                   trace, false);
  expect_explained(explain_run(kEvery, "-Cfa -Ropt -l4 -M1024 -i128", trace),
                   trace, false);
}

// An interim report and explanation half-way change nothing of the end.
TEST(ExplainRuns, InterimExplanationChangesNothing) {
  for (const char *words : {"-Csa -a1 -b4 -n2 -l4", "-Cfa -l4 -M1024 -i64",
                            "-Cdm -c9 -a4 -b6"}) {
    SCOPED_TRACE(words);
    std::vector<Ref> trace = rewritten_refs(20000, 120, 40, 4, 7);
    expect_explained(explain_run(kEvery, words, trace, true), trace, true);
  }
}

// Each part alone: what was not asked for is not counted.
TEST(ExplainRuns, EachPartAlone) {
  std::vector<Ref> trace = uniform_refs(8000, 100 << 4, 0, 30, 8);
  const std::string words = "-Csa -a1 -b3 -n1 -l4";
  Explained wb = explain_run(VANTLE_EXPLAIN_WRITEBACKS, words, trace);
  Explained first = explain_run(VANTLE_EXPLAIN_COMPULSORY, words, trace);
  Explained fa = explain_run(VANTLE_EXPLAIN_FULLY_ASSOCIATIVE, words, trace);
  Explained all = explain_run(kEvery, words, trace);
  ASSERT_EQ(all.rows.size(), 6u);
  for (size_t i = 0; i < all.rows.size(); i++) {
    EXPECT_EQ(wb.rows[i].writebacks, all.rows[i].writebacks);
    EXPECT_EQ(wb.rows[i].dirty_at_end, all.rows[i].dirty_at_end);
    EXPECT_EQ(wb.rows[i].compulsory, kNot);
    EXPECT_EQ(wb.rows[i].fully_associative_misses, kNot);
    EXPECT_EQ(first.rows[i].compulsory, all.rows[i].compulsory);
    EXPECT_EQ(first.rows[i].fully_associative_misses, kNot);
    EXPECT_EQ(first.rows[i].writebacks, kNot);
    EXPECT_EQ(fa.rows[i].fully_associative_misses,
              all.rows[i].fully_associative_misses);
    EXPECT_EQ(fa.rows[i].compulsory, kNot);
    EXPECT_EQ(fa.rows[i].dirty_at_end, kNot);
    // The family's own counts are those of a run that explains nothing.
    EXPECT_EQ(wb.results[i].hits, all.results[i].hits);
    EXPECT_EQ(first.results[i].hits, all.results[i].hits);
  }
}

// Without vantle_explain nothing is counted, and a store is a reference
// like any other.
TEST(ExplainRuns, OffByDefault) {
  std::vector<Ref> trace = uniform_refs(8000, 100 << 4, 0, 30, 9);
  for (const char *words : {"-Csa -a1 -b3 -n1 -l4", "-Cfa -l4 -M512 -i64",
                            "-Cdm -c9 -a4 -b6", "-Csa -Ropt -a1 -b3"}) {
    SCOPED_TRACE(words);
    Explained off = explain_run(0, words, trace);
    std::vector<md_addr_t> addrs;
    for (const Ref &r : trace) addrs.push_back(r.addr);
    std::vector<vantle_result> plain = received_results(simulate(words, addrs));
    ASSERT_EQ(off.outcome.status, 0) << off.outcome.err;
    ASSERT_EQ(off.rows.size(), plain.size());
    for (size_t i = 0; i < plain.size(); i++) {
      EXPECT_EQ(off.results[i].hits, plain[i].hits);
      EXPECT_EQ(off.rows[i].compulsory, kNot);
      EXPECT_EQ(off.rows[i].fully_associative_misses, kNot);
      EXPECT_EQ(off.rows[i].writebacks, kNot);
      EXPECT_EQ(off.rows[i].dirty_at_end, kNot);
    }
  }
}

// Apart: the family is simulated elsewhere, so its rows count no
// reference, while the compulsory and fully-associative misses are whole.
TEST(ExplainRuns, ApartFeedsOnlyTheExplanation) {
  std::vector<Ref> trace = uniform_refs(8000, 100 << 4, 0, 30, 10);
  for (const char *words : {"-Csa -a1 -b3 -n1 -l4", "-Cfa -l4 -M512 -i64",
                            "-Cdm -c9 -a4 -b6"}) {
    SCOPED_TRACE(words);
    Explained e = explain_run(kEvery | VANTLE_EXPLAIN_APART, words, trace);
    Explained whole = explain_run(kEvery, words, trace);
    ASSERT_EQ(e.outcome.status, 0) << e.outcome.err;
    ASSERT_EQ(e.rows.size(), whole.rows.size());
    for (size_t i = 0; i < e.rows.size(); i++) {
      EXPECT_EQ(e.results[i].references, 0u);
      EXPECT_EQ(e.rows[i].compulsory, whole.rows[i].compulsory);
      EXPECT_EQ(e.rows[i].fully_associative_misses,
                whole.rows[i].fully_associative_misses);
      EXPECT_EQ(e.rows[i].writebacks, kNot);
    }
  }
}

TEST(ExplainRuns, BeforeAnyReference) {
  Explained e = explain_run(kEvery, "-Cdm -c9 -a4 -b6", {});
  ASSERT_EQ(e.rows.size(), 3u);
  for (const vantle_explained &x : e.rows) {
    EXPECT_EQ(x.compulsory, 0u);
    EXPECT_EQ(x.fully_associative_misses, 0u);
    EXPECT_EQ(x.writebacks, 0u);
    EXPECT_EQ(x.dirty_at_end, 0u);
  }
}

TEST(ExplainRuns, AskedOnlyBeforeInitAndForKnownParts) {
  ChildOutcome o = run_isolated([] {
    int unknown = vantle_explain(16);
    init_with("-Csa");
    int late = vantle_explain(VANTLE_EXPLAIN_WRITEBACKS);
    vantle_explained row;
    vantle_explanation(&row, 1);
    int results[3] = {unknown, late, row.writebacks == VANTLE_NOT_COUNTED};
    send_to_parent(results, sizeof results);
  });
  int results[3] = {};
  ASSERT_EQ(o.data.size(), sizeof results);
  memcpy(results, o.data.data(), sizeof results);
  EXPECT_EQ(results[0], 1);
  EXPECT_EQ(results[1], 1);
  EXPECT_EQ(results[2], 1);
}

}  // namespace
