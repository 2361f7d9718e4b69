// Set-associative LRU: hits of every (sets, associativity) against one
// naive LRU cache per configuration, the report layout on small traces
// worked out by hand, and the periodic messages.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "late_start.h"
#include "libvantle/saclru.h"
#include "lru_traces.h"
#include "reference/naive_sa_lru.h"

namespace {

constexpr size_t kRefs = 300000;

// A set-associative LRU family: 2^a..2^b sets, 1..2^n ways, 2^l-byte lines.
struct Family {
  int a, b, n, l;
  std::string words() const {
    return "-Csa -Rlru -a" + std::to_string(a) + " -b" + std::to_string(b) +
           " -n" + std::to_string(n) + " -l" + std::to_string(l);
  }
};

void expect_matches_naive(const Family &f, const std::vector<uint32_t> &trace) {
  SCOPED_TRACE(f.words());
  ChildOutcome o = simulate(f.words(), trace);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err, "");
  std::vector<vantle_result> rows = received_results(o);
  std::vector<uint64_t> hits = naive_sa_lru_hits(trace, f.l, f.a, f.b, f.n);
  ASSERT_EQ(rows.size(), hits.size());
  size_t r = 0;
  for (int i = f.a; i <= f.b; i++) {
    for (uint32_t ways = 1; ways <= (1u << f.n); ways++, r++) {
      EXPECT_EQ(rows[r].organisation, 2);
      EXPECT_EQ(rows[r].policy, 0);
      EXPECT_EQ(rows[r].sets, 1u << i);
      EXPECT_EQ(rows[r].associativity, ways);
      EXPECT_EQ(rows[r].line_size, 1u << f.l);
      EXPECT_EQ(rows[r].cache_size, (uint64_t{ways} << i) << f.l);
      EXPECT_EQ(rows[r].references, trace.size());
      EXPECT_EQ(rows[r].hits, hits[r])
          << (1u << i) << " sets, " << ways << " ways";
    }
  }
}

TEST(SaclruDifferential, DefaultFamily) {
  Family f{7, 14, 1, 4};
  expect_matches_naive(f, uniform_trace(kRefs, 64 * 1024, 0, 11));
  expect_matches_naive(f, mixed_trace(kRefs, 3000, 16, 30000, 12));
}

TEST(SaclruDifferential, WideFamilyOnRandomAndStructuredTraces) {
  Family f{2, 6, 3, 4};
  expect_matches_naive(f, uniform_trace(kRefs, 600 * 16, 1 << 20, 13));
  expect_matches_naive(f, strided_trace(kRefs, 9000, 20, 0));
  expect_matches_naive(f, looping_trace(kRefs, 300, 16, 14));
  expect_matches_naive(f, mixed_trace(kRefs, 200, 16, 10000, 15));
}

TEST(SaclruDifferential, OneSetCount) {
  expect_matches_naive({3, 3, 2, 4}, uniform_trace(kRefs, 80 * 16, 0, 16));
  expect_matches_naive({3, 3, 2, 4}, looping_trace(kRefs, 40, 16, 17));
}

TEST(SaclruDifferential, DirectMappedOnly) {
  expect_matches_naive({0, 5, 0, 4}, uniform_trace(kRefs, 100 * 16, 0, 18));
  expect_matches_naive({0, 5, 0, 4}, strided_trace(kRefs, 4096, 8, 0));
}

TEST(SaclruDifferential, ManyWays) {
  expect_matches_naive({0, 2, 5, 5}, mixed_trace(kRefs, 90, 32, 5000, 19));
}

// With one-byte lines and one base set every 32-bit value is a tag, the
// all-ones one included; nothing may mistake it for an empty entry.
TEST(SaclruDifferential, EveryAddressIsATag) {
  Rng rng(20);
  std::vector<uint32_t> trace(kRefs);
  for (auto &addr : trace) {
    uint32_t k = rng.below(24);
    addr = rng.below(2) ? 0xFFFFFFFFu - k : k;
  }
  expect_matches_naive({0, 3, 2, 0}, trace);
  expect_matches_naive({0, 0, 3, 0}, trace);
}

// With L + A = 1 the tags reach 2^31 - 1, one short of the all-ones value
// that no tag has: lists of one, two and more ways tell their empty
// entries from the largest tags. B = 0 (a single set count of one set)
// included.
TEST(SaclruDifferential, LargestTagsBesideEmptyEntries) {
  Rng rng(21);
  std::vector<uint32_t> trace(kRefs);
  for (auto &addr : trace) {
    uint32_t k = rng.below(40);
    addr = rng.below(2) ? 0xFFFFFFFFu - k : k;
  }
  for (int n : {0, 1, 2}) {
    expect_matches_naive({0, 4, n, 1}, trace);
    expect_matches_naive({1, 4, n, 0}, trace);
    expect_matches_naive({0, 0, n, 1}, trace);
  }
  expect_matches_naive({0, 0, 1, 4}, uniform_trace(kRefs, 7 * 16, 0, 22));
}

TEST(SaclruDifferential, AllOnesTagFirstInAFreshSet) {
  // 0xFFFFFFFF twice: a miss, then a hit at position 0 in every set count.
  ChildOutcome o = simulate("-Csa -a0 -b1 -n1 -l0", {0xFFFFFFFFu, 0xFFFFFFFFu});
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 4u);
  for (const vantle_result &row : rows) EXPECT_EQ(row.hits, 1u);
}

// Runs that cross 2^31 and 2^32 references: every count in full, against
// one naive cache per configuration.
TEST(SaclruLongRuns, CountsPastBothEdgesOf32Bits) {
  const size_t n = 20000;
  for (const Family &f : {Family{7, 14, 1, 4}, Family{0, 3, 2, 6}}) {
    SCOPED_TRACE(f.words());
    std::vector<uint32_t> trace = uniform_trace(n, 3000u << f.l, 0, 9);
    std::vector<uint64_t> want = naive_sa_lru_hits(trace, f.l, f.a, f.b, f.n);
    for (uint64_t start : starts_across_edges(n))
      expect_run_across(simulate_from(start, f.words(), trace), start, n,
                        want, "Addresses processed: ",
                        "libvantle: addresses processed ");
  }
}

// Past 2^32 - 1 hits at one position, sac_hits holds 2^32 - 1 there rather
// than a wrapped count, after an interim report as after the final one,
// while the other cells and vantle_results stay exact.
TEST(SaclruLongRuns, SacHitsSaturatesWhereResultsStayExact) {
  const uint64_t start = (uint64_t{1} << 32) - 5;
  // One set count of 8 sets, two ways: line 5 repeats (head hits), then 13
  // and 5, of one set, alternate (hits at position 1).
  std::vector<uint32_t> trace(12, 5u << 4);
  for (int k = 0; k < 8; k++) trace.push_back((k % 2 ? 5u : 13u) << 4);
  std::vector<uint64_t> naive = naive_sa_lru_hits(trace, 4, 3, 3, 1);
  uint64_t head = start + naive[0], second = naive[1] - naive[0];
  ASSERT_GT(head, uint64_t{UINT32_MAX});
  ChildOutcome o = run_isolated([&] {
    init_with("-Csa -Rlru -a3 -b3 -n1 -l4");
    if (test_start_at(start) != 0) return;
    for (md_addr_t a : trace) vantle_access(a);
    FILE *sink = fopen("/dev/null", "w");
    vantle_stats(sink, 1);
    unsigned interim[2] = {sac_hits[0][0], sac_hits[0][1]};
    vantle_stats(sink, 0);
    unsigned final_cells[2] = {sac_hits[0][0], sac_hits[0][1]};
    send_to_parent(interim, sizeof interim);
    send_to_parent(final_cells, sizeof final_cells);
    send_results();
  });
  ASSERT_EQ(o.status, 0) << o.err;
  unsigned cells[4];
  ASSERT_GE(o.data.size(), sizeof cells);
  memcpy(cells, o.data.data(), sizeof cells);
  for (int at : {0, 2}) {
    EXPECT_EQ(cells[at], UINT32_MAX);
    EXPECT_EQ(cells[at + 1], second);
  }
  ChildOutcome rest = o;
  rest.data = o.data.substr(sizeof cells);
  std::vector<vantle_result> rows = received_results(rest);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].hits, head);
  EXPECT_EQ(rows[1].hits, head + second);
}

std::vector<uint32_t> lines16(const std::vector<uint32_t> &lines) {
  std::vector<uint32_t> trace;
  for (size_t i = 0; i < lines.size(); i++)
    trace.push_back(lines[i] * 16 + static_cast<uint32_t>(i * 7 % 16));
  return trace;
}

const char kHeading[] = "\nlibvantle: ** end of simulation **\n";

TEST(SaclruReport, TwoSetCountsTwoWays) {
  // Lines 0 1 0 2 0. One set: 0 is found at position 1 twice. Two sets:
  // 0 and 2 share set 0, where 0 is found at position 0, then 1.
  ChildOutcome o = simulate("-Csa -a0 -b1 -n1 -l4", lines16({0, 1, 0, 2, 0}));
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, std::string(kHeading) +
                       "Addresses processed: 5\n"
                       "Line size: 16 bytes\n"
                       "\n"
                       "Miss Ratios\n"
                       "___________\n\n"
                       "\t\tAssociativity\n"
                       "\t\t1\t\t2\t\t\n"
                       "No. of sets\n"
                       "1\t\t1.000000\t0.600000\t\n"
                       "2\t\t0.800000\t0.600000\t\n"
                       "\n\n\n");
  std::vector<vantle_result> rows = received_results(o);
  ASSERT_EQ(rows.size(), 4u);
  uint64_t hits[] = {0, 2, 1, 2};
  for (size_t r = 0; r < 4; r++) EXPECT_EQ(rows[r].hits, hits[r]);
}

TEST(SaclruReport, OneSetCountOneWay) {
  ChildOutcome o = simulate("-Csa -a1 -b1 -n0 -l4", lines16({0, 1, 0, 2, 0}));
  EXPECT_EQ(o.out, std::string(kHeading) +
                       "Addresses processed: 5\nLine size: 16 bytes\n\n"
                       "Miss Ratios\n___________\n\n\t\tAssociativity\n"
                       "\t\t1\t\t\nNo. of sets\n2\t\t0.800000\t\n\n\n\n");
}

// Lines 5 5 5 6 7 5 of 2^L bytes, with A = 0, B = 1, N = 1, an interim
// report every 2 references and progress every 3: the hit counts, as the
// final report leaves them in sac_hits, and every message. L = 0 takes the
// lists with fill counts (every 32-bit value is a tag), L = 1 the two-way
// lists without them; both must say the same.
void expect_hit_table_and_messages(int line_exp) {
  SCOPED_TRACE(line_exp);
  ChildOutcome o = run_isolated([&] {
    A = 0;
    B = 1;
    N = 1;
    L = line_exp;
    SAVE_INTERVAL = 2;
    P_INTERVAL = 3;
    init_saclru();
    for (md_addr_t line : {5u, 5u, 5u, 6u, 7u, 5u})
      sacnmul_woarr(line << line_exp);
    outpr_saclru(stdout);
    unsigned counts[4] = {sac_hits[0][0], sac_hits[0][1], sac_hits[1][0],
                          sac_hits[1][1]};
    send_to_parent(counts, sizeof counts);
  });
  // One set: 5 is found twice at the head, then 6 and 7 push it out of
  // both ways. Two sets: the same two head hits, then 7 joins 5 in set 1,
  // where 5 is found behind it.
  unsigned counts[4];
  ASSERT_EQ(o.data.size(), sizeof counts);
  memcpy(counts, o.data.data(), sizeof counts);
  EXPECT_EQ(counts[0], 2u);
  EXPECT_EQ(counts[1], 0u);
  EXPECT_EQ(counts[2], 2u);
  EXPECT_EQ(counts[3], 1u);
  // Progress at 3 and 6; interim reports once 2 and 4 references are passed.
  std::string line_size =
      "Line size: " + std::to_string(1 << line_exp) + " bytes\n";
  EXPECT_EQ(o.err,
            "libvantle: addresses processed 3\n"
            "Addresses processed: 3\n" + line_size + "\nMiss Ratios\n"
            "___________\n\n\t\tAssociativity\n\t\t1\t\t2\t\t\n"
            "No. of sets\n1\t\t0.333333\t0.333333\t\n"
            "2\t\t0.333333\t0.333333\t\n\n\n\n"
            "Addresses processed: 5\n" + line_size + "\nMiss Ratios\n"
            "___________\n\n\t\tAssociativity\n\t\t1\t\t2\t\t\n"
            "No. of sets\n1\t\t0.600000\t0.600000\t\n"
            "2\t\t0.600000\t0.600000\t\n\n\n\n"
            "libvantle: addresses processed 6\n");
}

TEST(SaclruReport, HitTableAndMessagesOfBothListKinds) {
  expect_hit_table_and_messages(0);
  expect_hit_table_and_messages(1);
}

}  // namespace
