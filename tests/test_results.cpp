// vantle_results before any reference, for every family: the number of
// rows, a call with capacity 0 or a short buffer, and rows that describe
// the configurations the option words ask for, with no reference counted.
// The counts after a run are checked against the naive models by each
// family's own tests.
#include <math.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "isolate.h"

namespace {

// What a family's rows must be, derived from its option words by hand.
struct Expected {
  const char *words;
  int organisation, policy;
  std::vector<vantle_result> rows;  // counts left 0
};

vantle_result config(int organisation, int policy, uint32_t line,
                     uint32_t sets, uint32_t ways, uint64_t size) {
  vantle_result r;
  memset(&r, 0, sizeof r);
  r.organisation = organisation;
  r.policy = policy;
  r.line_size = line;
  r.sets = sets;
  r.associativity = ways;
  r.cache_size = size;
  return r;
}

Expected set_associative(const char *words, int policy, int a, int b, int n,
                         int l) {
  Expected e{words, 2, policy, {}};
  for (int s = a; s <= b; s++)
    for (uint32_t w = 1; w <= (1u << n); w++)
      e.rows.push_back(config(2, policy, 1u << l, 1u << s, w,
                              uint64_t(1u << s) * w * (1u << l)));
  return e;
}

Expected fully_associative(const char *words, int policy, int l,
                           uint64_t largest, uint64_t step) {
  Expected e{words, 3, policy, {}};
  for (uint64_t size = step; size <= largest; size += step)
    e.rows.push_back(config(3, policy, 1u << l, 0, 0, size));
  return e;
}

Expected direct_mapped(const char *words, int c, int a, int b) {
  Expected e{words, 4, 0, {}};
  for (int s = a; s <= b; s++)
    e.rows.push_back(config(4, 0, 1u << s, 1u << (c - s), 1, 1ull << c));
  return e;
}

std::vector<Expected> families() {
  return {set_associative("-Csa -Rlru -a2 -b4 -n1 -l5", 0, 2, 4, 1, 5),
          set_associative("-Csa -Ropt -a1 -b3 -n2 -l4", 1, 1, 3, 2, 4),
          fully_associative("-Cfa -Rlru -l4 -M8192 -i1024", 0, 4, 8192, 1024),
          fully_associative("-Cfa -Ropt -l5 -M4096 -i512", 1, 5, 4096, 512),
          direct_mapped("-Cdm -c12 -a4 -b7", 12, 4, 7)};
}

// In the child, before any reference: the count alone, a capacity-0 call
// that must leave the buffer alone, a short buffer, then every row. Sends
// back the three counts, the short buffer and the full rows.
void query_before_any_reference(const std::string &words) {
  init_with(words);
  int counted = vantle_results(nullptr, 0);
  vantle_result guard[4];
  memset(guard, 0xA5, sizeof guard);
  int with_zero = vantle_results(guard, 0);
  vantle_result short_rows[3];
  memset(short_rows, 0xA5, sizeof short_rows);
  int with_two = vantle_results(short_rows, 2);
  std::vector<vantle_result> rows(counted > 0 ? counted : 1);
  int full = counted > 0 ? vantle_results(rows.data(), counted) : 0;
  unsigned char untouched = 1;
  for (size_t i = 0; i < sizeof guard; i++)
    if (reinterpret_cast<unsigned char *>(guard)[i] != 0xA5) untouched = 0;
  int counts[3] = {counted, with_zero, with_two};
  send_to_parent(counts, sizeof counts);
  send_to_parent(&full, sizeof full);
  send_to_parent(&untouched, 1);
  send_to_parent(short_rows, sizeof short_rows);
  send_to_parent(rows.data(), counted * sizeof(vantle_result));
}

TEST(Results, BeforeAnyReferenceEveryFamilyDescribesItsCachesWithNoCounts) {
  for (const Expected &e : families()) {
    SCOPED_TRACE(e.words);
    ChildOutcome o = run_isolated([&] { query_before_any_reference(e.words); });
    ASSERT_EQ(o.status, 0) << o.err;
    int counts[3], full;
    unsigned char untouched;
    vantle_result short_rows[3];
    size_t head = sizeof counts + sizeof full + 1 + sizeof short_rows;
    ASSERT_GE(o.data.size(), head);
    const char *p = o.data.data();
    memcpy(counts, p, sizeof counts);
    memcpy(&full, p + sizeof counts, sizeof full);
    untouched = static_cast<unsigned char>(p[sizeof counts + sizeof full]);
    memcpy(short_rows, p + sizeof counts + sizeof full + 1, sizeof short_rows);
    int want = static_cast<int>(e.rows.size());
    EXPECT_EQ(counts[0], want);
    EXPECT_EQ(counts[1], want) << "capacity 0 must still count the rows";
    EXPECT_EQ(counts[2], want) << "a short buffer must still count the rows";
    EXPECT_EQ(full, want);
    EXPECT_TRUE(untouched) << "capacity 0 wrote into the buffer";
    // The short buffer holds the first two rows and nothing past them.
    EXPECT_EQ(short_rows[0].cache_size, e.rows[0].cache_size);
    EXPECT_EQ(short_rows[1].cache_size, e.rows[1].cache_size);
    vantle_result spare;
    memset(&spare, 0xA5, sizeof spare);
    EXPECT_EQ(memcmp(&short_rows[2], &spare, sizeof spare), 0)
        << "row written past the capacity";

    ASSERT_EQ(o.data.size(), head + want * sizeof(vantle_result));
    std::vector<vantle_result> rows(want);
    memcpy(rows.data(), p + head, want * sizeof(vantle_result));
    for (int i = 0; i < want; i++) {
      const vantle_result &got = rows[i], &exp = e.rows[i];
      SCOPED_TRACE("row " + std::to_string(i));
      EXPECT_EQ(got.organisation, exp.organisation);
      EXPECT_EQ(got.policy, exp.policy);
      EXPECT_EQ(got.line_size, exp.line_size);
      EXPECT_EQ(got.sets, exp.sets);
      EXPECT_EQ(got.associativity, exp.associativity);
      EXPECT_EQ(got.cache_size, exp.cache_size);
      EXPECT_EQ(got.references, 0u);
      EXPECT_EQ(got.hits, 0u);
      EXPECT_TRUE(isnan(got.miss_ratio)) << got.miss_ratio;
    }
  }
}

// The call changes no state: asking before and during a run leaves the
// final rows those of a run that never asked.
TEST(Results, AskingDuringARunChangesNothing) {
  std::vector<md_addr_t> trace;
  uint32_t x = 12345;
  for (int i = 0; i < 3000; i++) {
    x = x * 1103515245u + 12345u;
    trace.push_back((x >> 8) % 8192);
  }
  for (const Expected &e : families()) {
    SCOPED_TRACE(e.words);
    ChildOutcome quiet = simulate(e.words, trace);
    ChildOutcome asked = run_isolated([&] {
      init_with(e.words);
      vantle_result scratch[64];
      for (size_t i = 0; i < trace.size(); i++) {
        if (i % 700 == 0) vantle_results(scratch, 64);
        vantle_access(trace[i]);
      }
      vantle_stats(stdout, 0);
      send_results();
    });
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    ASSERT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out, quiet.out);
    std::vector<vantle_result> a = received_results(asked),
                               q = received_results(quiet);
    ASSERT_EQ(a.size(), q.size());
    for (size_t i = 0; i < a.size(); i++) {
      EXPECT_EQ(a[i].references, trace.size()) << i;
      EXPECT_EQ(a[i].hits, q[i].hits) << i;
    }
  }
}

}  // namespace
