// The threads' turns of a live run, on batches written into a ring by the
// test as the plugin writes them: which records go out in what order,
// where they lie or interleaved, waiting for a thread that runs on.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "toolset/thread_turns.h"

namespace {

int sound(const unsigned char *, const trace_batch &, uint64_t) { return 0; }

class ThreadTurnsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory_ = static_cast<unsigned char *>(
        aligned_alloc(4096, TRACE_RING_CONTROL + TRACE_RING_DATA));
    memset(memory_, 0, TRACE_RING_CONTROL);
    ring_ = reinterpret_cast<trace_ring *>(memory_);
    tt_start(ring_);
  }
  void TearDown() override {
    tt_start(nullptr);
    free(memory_);
  }

  // Writes a batch of thread (of process 7) holding the addresses first
  // to first + n - 1, saying runs_on.
  void write(uint32_t thread, uint32_t runs_on, uint32_t first, uint32_t n) {
    trace_batch head{};
    head.references = head.loads = n;
    head.thread = thread;
    head.pid = 7;
    head.runs_on = runs_on;
    unsigned char *at = trace_ring_at(ring_, ring_->written);
    memcpy(at, &head, sizeof head);
    uint32_t *addrs = reinterpret_cast<uint32_t *>(at + sizeof head);
    for (uint32_t i = 0; i < n; i++) addrs[i] = first + i;
    memset(at + trace_batch_kinds(&head), TRACE_KIND_LOAD, n);
    ring_->written += trace_batch_bytes(&head);
  }

  // The addresses handed out by one tt_give (taking in first), as runs
  // "first-last" of consecutive ones.
  std::string give(size_t cap = 1 << 16, bool drain = false,
                   bool pass_over = false) {
    live_records out{};
    EXPECT_EQ(tt_take_in(sound, &out), 0);
    out = {};
    tt_give(cap, 256, drain, pass_over, &out);
    if (out.counted) {
      EXPECT_EQ(out.loads, out.count);
    }
    std::string runs;
    for (size_t i = 0; i < out.count; i++) {
      if (i > 0 && out.addrs[i] == out.addrs[i - 1] + 1) continue;
      size_t last = i;
      while (last + 1 < out.count && out.addrs[last + 1] == out.addrs[last] + 1)
        last++;
      char run[48];
      snprintf(run, sizeof run, "%s%u-%u", runs.empty() ? "" : " ",
               out.addrs[i], out.addrs[last]);
      runs += run;
    }
    whole_ = out.count && out.addrs != nullptr &&
             reinterpret_cast<const unsigned char *>(out.addrs) > memory_ &&
             reinterpret_cast<const unsigned char *>(out.addrs) <
                 memory_ + TRACE_RING_CONTROL + TRACE_RING_DATA;
    return runs;
  }

  unsigned char *memory_ = nullptr;
  trace_ring *ring_ = nullptr;
  bool whole_ = false;  // the last records went out where they lie
};

// Threads that run at once take turns of 256 records round the threads
// by number, a turn going on into the thread's next batch; a thread that
// runs on is waited for until it writes, or passed over when asked; one
// that stopped is not waited for.
TEST_F(ThreadTurnsTest, ThreadsThatRunAtOnceTakeTurns) {
  write(1, 1, 0, 0);  // thread 1 runs beside others
  write(2, 1, 0, 0);  // so does thread 2
  write(2, 1, 10000, 600);
  write(1, 1, 0, 600);
  EXPECT_EQ(give(), "0-255 10000-10255 256-511 10256-10511 512-599")
      << "thread 1's turn waits for its next batch";
  EXPECT_FALSE(whole_);
  tt_release();
  write(1, 1, 1000, 300);
  EXPECT_EQ(give(), "1000-1167 10512-10599");
  EXPECT_EQ(give(), "") << "thread 2 runs on and has written nothing";
  EXPECT_EQ(give(1 << 16, false, true), "1168-1299");
  write(1, 0, 2000, 10);  // thread 1 stops; thread 2 passed over
  EXPECT_EQ(give(), "2000-2009");
  EXPECT_TRUE(whole_);
  EXPECT_FALSE(tt_records_held());
}

// A batch that ended before another thread began to run goes out whole,
// where it lies, however late that thread's records are read; a batch cut
// as another began goes before it.
TEST_F(ThreadTurnsTest, BatchesBeforeAnotherThreadRanGoOutWhole) {
  write(1, 1, 0, 0);
  write(1, 1, 0, 500);    // thread 1 alone so far
  write(2, 1, 0, 0);      // thread 2 begins to run
  write(2, 1, 5000, 300);
  write(1, 2, 500, 100);  // thread 1's batch cut there
  write(1, 1, 600, 300);
  EXPECT_EQ(give(), "0-499");
  EXPECT_TRUE(whole_);
  EXPECT_EQ(give(), "500-599");
  EXPECT_EQ(give(), "600-855 5000-5255 856-899");
  write(1, 0, 900, 10);  // thread 1 stops
  EXPECT_EQ(give(), "900-909 5256-5299");
}

// Copied out of the ring, held batches go out as they would have, and the
// ring's room comes back at once.
TEST_F(ThreadTurnsTest, BatchesCopiedOutOfTheRingGoOutAlike) {
  write(1, 1, 0, 0);
  write(2, 1, 0, 0);
  write(1, 1, 0, 400);
  write(1, 1, 400, 400);
  EXPECT_EQ(give(), "0-255") << "then thread 2 is waited for";
  EXPECT_TRUE(tt_copy_out());
  EXPECT_EQ(ring_->read, ring_->written);
  write(2, 0, 9000, 300);
  EXPECT_EQ(give(), "9000-9255 256-511 9256-9299 512-799");
  tt_release();
  EXPECT_FALSE(tt_records_held());
  EXPECT_EQ(ring_->read, ring_->written);
}

}  // namespace
