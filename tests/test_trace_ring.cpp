// The ring between two processes, its two sides run here as two threads:
// every batch arrives once, whole and in order, however often each side
// waits for the other, and a side that waits is woken (a lost wake-up or
// a reader that keeps back what it is done with would stall the run until
// the deadline below, which fails it rather than hang).
#include <sys/mman.h>
#include <unistd.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "rng.h"
#include "transport/trace_ring.h"

namespace {

// The payload of batch seq, word i: what the reader expects to find.
uint64_t word_of(uint64_t seq, uint64_t i) {
  return (seq * 0x9E3779B97F4A7C15ull) ^ (i * 0xBF58476D1CE4E5B9ull);
}

struct Side {
  trace_ring *ring;
  std::chrono::steady_clock::time_point deadline;
  std::atomic<long> sleeps{0};
  bool late = false;
};

// Asked before each sleep: gives up (fails) past the deadline.
int past_deadline(void *arg) {
  Side *s = static_cast<Side *>(arg);
  s->sleeps++;
  if (std::chrono::steady_clock::now() < s->deadline) return 0;
  s->late = true;
  return 1;
}

// The reader's stop: the writer has closed the ring.
int closed_or_late(void *arg) {
  Side *s = static_cast<Side *>(arg);
  if (trace_ring_closed(s->ring)) return 1;
  return past_deadline(arg);
}

// Work that keeps one side slow for a while, so that the other fills or
// drains the ring and waits.
void dawdle(int rounds) {
  for (int i = 0; i < rounds; i++) __asm__ volatile("" ::: "memory");
}

class TraceRingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = memfd_create("vantle-ring-test", MFD_CLOEXEC);
    ASSERT_GE(fd_, 0);
    ASSERT_EQ(ftruncate(fd_, TRACE_RING_CONTROL + TRACE_RING_DATA), 0);
    ring_ = trace_ring_map(fd_);
    ASSERT_NE(ring_, nullptr);
  }
  void TearDown() override {
    if (ring_) trace_ring_unmap(ring_);
    if (fd_ >= 0) close(fd_);
  }
  int fd_ = -1;
  trace_ring *ring_ = nullptr;
};

// A batch: its number and its size in words, then its words.
constexpr uint64_t kBatches = 1000000;
constexpr uint32_t kMostWords = 256;
// Every kPhase batches the slow side changes: the writer waits on a full
// ring, then the reader on an empty one, again and again.
constexpr uint64_t kPhase = 20000;

void write_all(Side *w) {
  Rng rng(7);
  for (uint64_t seq = 0; seq < kBatches; seq++) {
    uint64_t words = 2 + rng.below(kMostWords);
    if (trace_ring_wait(w->ring, TRACE_RING_WRITER, words * 8, past_deadline,
                        w))
      return;
    uint64_t *at = reinterpret_cast<uint64_t *>(
        trace_ring_at(w->ring, w->ring->written));
    at[0] = seq;
    at[1] = words;
    for (uint64_t i = 2; i < words; i++) at[i] = word_of(seq, i);
    trace_ring_publish(w->ring, words * 8);
    if (seq / kPhase % 2) dawdle(500);
  }
  trace_ring_close(w->ring);
}

TEST_F(TraceRingTest, EveryBatchArrivesOnceWholeAndInOrder) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  Side w{ring_, deadline}, r{ring_, deadline};
  std::thread writer(write_all, &w);
  uint64_t seq = 0, bad = 0;
  while (!trace_ring_wait(ring_, TRACE_RING_READER, 1, closed_or_late, &r)) {
    const uint64_t *at =
        reinterpret_cast<const uint64_t *>(trace_ring_next(ring_));
    uint64_t words = at[1];
    if (at[0] != seq || words < 2 || words > kMostWords + 1) {
      ADD_FAILURE() << "batch " << seq << " reads as batch " << at[0]
                    << " of " << words << " words";
      break;
    }
    for (uint64_t i = 2; i < words; i++) bad += at[i] != word_of(seq, i);
    trace_ring_release(ring_, words * 8);
    seq++;
    if (seq / kPhase % 2 == 0) dawdle(500);
  }
  writer.join();
  EXPECT_FALSE(w.late) << "the writer waited past the deadline for room";
  EXPECT_FALSE(r.late) << "the reader waited past the deadline for batches";
  EXPECT_EQ(seq, kBatches);
  EXPECT_EQ(bad, 0u);
  // Both sides did wait, many times: the test went through the wake-ups.
  EXPECT_GT(w.sleeps.load(), 20);
  EXPECT_GT(r.sleeps.load(), 20);
}

// The reader about to sleep on an empty ring (its flag set, asking
// whether to stop) while the writer puts in a batch and closes the ring:
// the writer's move woke it, and it takes the batch rather than stop.
int publish_and_close(void *arg) {
  trace_ring *ring = static_cast<trace_ring *>(arg);
  if (trace_ring_closed(ring)) return 1;
  memset(trace_ring_at(ring, ring->written), 7, 64);
  trace_ring_publish(ring, 64);
  EXPECT_EQ(__atomic_load_n(&ring->reader_waiting, __ATOMIC_SEQ_CST), 0u)
      << "the reader was left asleep";
  trace_ring_close(ring);
  return 1;
}

// The writer about to sleep on a full ring while the reader goes through
// a sixteenth of it: the reader's release woke it, and it finds the room.
int read_a_share(void *arg) {
  trace_ring *ring = static_cast<trace_ring *>(arg);
  for (uint64_t done = 0; done < TRACE_RING_DATA / 16; done += 4096) {
    if (trace_ring_wait(ring, TRACE_RING_READER, 4096, nullptr, nullptr))
      return 1;
    trace_ring_release(ring, 4096);
  }
  EXPECT_EQ(__atomic_load_n(&ring->writer_waiting, __ATOMIC_SEQ_CST), 0u)
      << "the writer was left asleep";
  return 1;
}

TEST_F(TraceRingTest, ASideAboutToSleepIsWokenAndSeesWhatCame) {
  EXPECT_EQ(trace_ring_wait(ring_, TRACE_RING_READER, 1, publish_and_close,
                            ring_),
            0)
      << "the reader stopped short of the writer's last batch";
  EXPECT_EQ(*trace_ring_next(ring_), 7);
  trace_ring_release(ring_, 64);

  for (uint64_t put = 64; put + 4096 <= TRACE_RING_DATA; put += 4096) {
    ASSERT_EQ(trace_ring_wait(ring_, TRACE_RING_WRITER, 4096, nullptr,
                              nullptr),
              0);
    trace_ring_publish(ring_, 4096);
  }
  EXPECT_EQ(trace_ring_wait(ring_, TRACE_RING_WRITER, 4096, read_a_share,
                            ring_),
            0)
      << "the writer stopped short of the room the reader gave back";
}

}  // namespace
