// The look-ahead window: which blocks are handed off when, the next-use
// times they carry, the late next-use calls, and the last-occurrence table.
// Expectations come from the hand-off rule stated independently: the block
// of times [100000k, 100000(k+1)) leaves the window when reference number
// 100000(k+2) arrives, before it is stored; the rest leaves at the flush.
#include "libvantle/lookahead.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <map>
#include <random>
#include <vector>

#include "isolate.h"

namespace {

struct Block {
  int start, end;
};
struct Seen {
  md_addr_t line;
  uint64_t next_use;
};
struct Late {
  md_addr_t line;
  int64_t time;
};

std::vector<Block> blocks;
std::vector<Seen> seen;  // positions in hand-off order
std::vector<Late> late;
int stop_after_calls = -1;

int record_block(int start, int end) {
  blocks.push_back({start, end});
  if (stop_after_calls >= 0 && static_cast<int>(blocks.size()) > stop_after_calls)
    return 1;
  for (int i = start; i < end; i++) {
    seen.push_back({addr_array[i], time_array[i]});
    addr_array[i] = 0;
    time_array[i] = 0;
  }
  return 0;
}

void record_late(md_addr_t line, int64_t time) {
  late.push_back({line, time});
}

struct Recording {
  std::vector<Block> blocks;
  std::vector<Seen> seen;
  std::vector<Late> late;
  int blocks_before_flush = 0;
};

// Feeds byte addresses (line size 2^shift) and flushes, in a child, with
// the clock started at origin; returns what the callbacks saw.
Recording run_window(const std::vector<md_addr_t> &trace, int shift,
                     uint64_t origin = 0) {
  ChildOutcome o = run_isolated([&] {
    init_optpp();
    if (origin) test_start_window_at(origin);
    for (md_addr_t a : trace) optpp(a, shift, record_block, record_late);
    int before = static_cast<int>(blocks.size());
    term_optpp(record_block);
    term_optpp(record_block);  // a second flush hands off nothing
    auto send = [](const auto &v) {
      size_t n = v.size();
      send_to_parent(&n, sizeof n);
      send_to_parent(v.data(), n * sizeof v[0]);
    };
    send(blocks);
    send(seen);
    send(late);
    send_to_parent(&before, sizeof before);
  });
  EXPECT_EQ(o.status, 0) << o.err;
  Recording r;
  const char *p = o.data.data();
  auto take = [&p](auto &v) {
    size_t n;
    memcpy(&n, p, sizeof n);
    p += sizeof n;
    v.resize(n);
    if (n) memcpy(v.data(), p, n * sizeof v[0]);
    p += n * sizeof v[0];
  };
  take(r.blocks);
  take(r.seen);
  take(r.late);
  memcpy(&r.blocks_before_flush, p, sizeof(int));
  return r;
}

// Reference number at whose arrival time t leaves the window; n when it
// stays until the flush.
long leaves_at(long t, long n) {
  long at = 100000 * (t / 100000 + 2);
  return at < n ? at : n;
}

TEST(Window, HandsOffEveryReferenceOnceInTimeOrderOnSchedule) {
  for (long n : {0L, 1L, 99999L, 100000L, 100001L, 199999L, 200000L, 200001L,
                 300000L, 400001L}) {
    std::vector<md_addr_t> trace(n);
    for (long t = 0; t < n; t++) trace[t] = static_cast<md_addr_t>(t + 1);
    Recording r = run_window(trace, 0);
    ASSERT_EQ(static_cast<long>(r.seen.size()), n) << n;
    for (long t = 0; t < n; t++)
      ASSERT_EQ(r.seen[t].line, static_cast<md_addr_t>(t + 1)) << n;

    long in_run = n > 200000 ? (n - 1 - 200000) / 100000 + 1 : 0;
    EXPECT_EQ(r.blocks_before_flush, in_run) << n;
    long first = 0;  // first time of the next block
    for (const Block &b : r.blocks) {
      EXPECT_EQ(b.start, first % 200000) << n;
      if (&b - r.blocks.data() < in_run) {
        EXPECT_EQ(b.end - b.start, 100000);
      }
      EXPECT_LE(b.end - b.start, 100000);
      first += b.end - b.start;
    }
    // Only an empty run hands off an empty block.
    if (n == 0) {
      ASSERT_EQ(r.blocks.size(), 1u);
      EXPECT_EQ(r.blocks[0].start, 0);
      EXPECT_EQ(r.blocks[0].end, 0);
    }
    // Every reference is a first reference here.
    EXPECT_EQ(static_cast<long>(r.late.size()), n);
  }
}

TEST(Window, NamesTheFinalBlocksOfTheBoundaryLengths) {
  auto flush_blocks = [](long n) {
    Recording r = run_window(std::vector<md_addr_t>(n, 64), 6);
    std::vector<std::pair<int, int>> tail;
    for (size_t i = r.blocks_before_flush; i < r.blocks.size(); i++)
      tail.push_back({r.blocks[i].start, r.blocks[i].end});
    return tail;
  };
  using V = std::vector<std::pair<int, int>>;
  EXPECT_EQ(flush_blocks(99999), (V{{0, 99999}}));
  EXPECT_EQ(flush_blocks(100000), (V{{0, 100000}}));
  EXPECT_EQ(flush_blocks(150000), (V{{0, 100000}, {100000, 150000}}));
  EXPECT_EQ(flush_blocks(200000), (V{{0, 100000}, {100000, 200000}}));
  EXPECT_EQ(flush_blocks(200001), (V{{100000, 200000}, {0, 1}}));
}

// Naive next-use bookkeeping for a trace of line addresses, with the clock
// started at 0 and just below 2^31 and 2^32, so that times and next uses
// cross both edges.
TEST(Window, CarriesNextUseTimesAndReportsLateOnesExactly) {
  std::mt19937 rng(11);
  const long n = 520000;
  std::vector<md_addr_t> lines(n);
  // Reuse distances around the window's edges, mixed with random ones.
  const long gaps[] = {1, 5, 99999, 100000, 100001, 199999, 200000, 200001,
                       250000, 300001};
  std::map<long, md_addr_t> planned;
  md_addr_t fresh = 1000;
  for (long t = 0; t < n; t++) {
    auto it = planned.find(t);
    if (it != planned.end()) {
      lines[t] = it->second;
      planned.erase(it);
    } else if (rng() % 3 == 0) {
      lines[t] = rng() % 500;  // a small hot set
    } else {
      lines[t] = fresh++;
    }
    long gap = gaps[rng() % 10];
    if (rng() % 4 == 0 && !planned.count(t + gap)) planned[t + gap] = lines[t];
  }
  std::vector<md_addr_t> bytes(n);
  for (long t = 0; t < n; t++) bytes[t] = lines[t] << 4 | (t & 15);

  std::map<md_addr_t, long> last;
  std::vector<long> next(n, -1);
  std::vector<long> expected_late;  // times, counted from the first
  for (long t = 0; t < n; t++) {
    auto it = last.find(lines[t]);
    if (it == last.end() || leaves_at(it->second, n) <= t)
      expected_late.push_back(t);
    if (it != last.end()) next[it->second] = t;
    last[lines[t]] = t;
  }
  for (uint64_t origin : {uint64_t{0}, (uint64_t{1} << 31) - 260000,
                          (uint64_t{1} << 32) - 260000}) {
    Recording r = run_window(bytes, 4, origin);
    ASSERT_EQ(static_cast<long>(r.seen.size()), n);
    for (long t = 0; t < n; t++) {
      ASSERT_EQ(r.seen[t].line, lines[t]) << t;
      bool known = next[t] >= 0 && next[t] < leaves_at(t, n);
      ASSERT_EQ(r.seen[t].next_use, known ? origin + next[t] : 0u)
          << "time " << t << " after " << origin;
    }
    ASSERT_EQ(r.late.size(), expected_late.size());
    for (size_t i = 0; i < r.late.size(); i++) {
      ASSERT_EQ(r.late[i].line, lines[expected_late[i]]) << i;
      ASSERT_EQ(r.late[i].time,
                static_cast<int64_t>(origin) + expected_late[i])
          << i << " after " << origin;
    }
  }
}

TEST(Window, AStoppedHandOffDropsTheReferenceAndIsRetried) {
  ChildOutcome o = run_isolated([] {
    init_optpp();
    stop_after_calls = 0;
    for (int t = 0; t < 200002; t++) optpp(t, 0, record_block, record_late);
    // Both late references found the window full and were dropped.
    printf("%zu %d %d %zu", blocks.size(), blocks[0].start, blocks[1].start,
           late.size());
  });
  EXPECT_EQ(o.out, "2 0 0 200000");
}

TEST(LastOccurrence, KeepsTimesAndSurvivesRemovalOfABucketHead) {
  ChildOutcome o = run_isolated([] {
    init_optpp();
    const md_addr_t a = 5, b = 5 + 7211, c = 5 + 2 * 7211;
    auto time = [](md_addr_t x) { return static_cast<int>(ft_hash(x)); };
    printf("%d %d %d|", time(a), time(b), time(c));
    ft_hash_del(a);  // b's data moves into the head
    printf("%d %d %d|", time(b), time(c), time(a));
    ft_hash_del(c);  // a chained record goes to the free list
    ft_hash_del(c);
    ft_hash_del(77);
    printf("%d|", time(c));
  });
  // p_inum stays 0 outside optpp, so every recorded time reads 0.
  EXPECT_EQ(o.out,
            "-1 -1 -1|0 0 -1|Error: addr not found in hash_table\n"
            "Error: addr not found in hash_table\n-1|");
}

// Unknown priorities numbered afresh: values in use, with repeats, and
// values no longer in use above, between and below them. Every comparison
// of a value with one in use comes out as before, values in use keep their
// distinct new numbers, and the next unknown priority (one below the last
// one handed out) falls below them all.
TEST(UnknownRanks, KeepEveryComparisonWithTheValuesInUse) {
  std::mt19937 rng(5);
  for (int round = 0; round < 200; round++) {
    std::vector<int32_t> in_use;
    for (int k = 0; k < 1 + round % 40; k++)
      in_use.push_back(-1 - static_cast<int32_t>(rng() % 2000000000));
    std::vector<int32_t> others;
    for (int k = 0; k < 30; k++)
      others.push_back(-1 - static_cast<int32_t>(rng() % 2000000000));
    others.push_back(-1);
    others.push_back(INT32_MIN + 7);
    int32_t *values = static_cast<int32_t *>(
        malloc(in_use.size() * sizeof(int32_t)));
    for (size_t k = 0; k < in_use.size(); k++) values[k] = in_use[k];
    unknown_ranks r;
    unknown_ranks_build(&r, values, in_use.size());
    int32_t last = unknown_ranks_last(&r, "test");
    for (int32_t u : in_use) {
      int32_t nu = unknown_renumbered(&r, u);
      ASSERT_LT(nu, 0);
      ASSERT_GT(nu, last);
      for (int32_t v : in_use) {
        int32_t nv = unknown_renumbered(&r, v);
        ASSERT_EQ(u < v, nu < nv) << u << " " << v;
        ASSERT_EQ(u == v, nu == nv) << u << " " << v;
      }
      for (int32_t v : others) {
        int32_t nv = unknown_renumbered(&r, v);
        ASSERT_EQ(u < v, nu < nv) << u << " " << v;
        ASSERT_EQ(u == v, nu == nv) << u << " " << v;
        ASSERT_GE(nv, last);  // the next unknown priority, last - 1, is below
      }
    }
    unknown_ranks_free(&r);
  }
}

}  // namespace
