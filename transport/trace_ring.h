/* A ring through which one process hands batches of references to
 * another without copying them through the kernel or contending for a
 * lock: vantle's QEMU plugin to vantle-sim (trace_record.h, live_ring.h),
 * and vantle-sim to the process of each of several families. A shared
 * memory file holds a control block and TRACE_RING_DATA bytes of batches;
 * each side maps the batches twice in a row, so that one running past the
 * end goes on at the start unbroken. The writer alone moves `written',
 * after a whole batch is in; the reader alone moves `read', once it is
 * done with a share of the ring or before it waits.
 * A side that must wait does so in trace_ring_wait, the one wait of both
 * sides: it sets its flag, looks once more, asks its caller whether to
 * stop waiting, and sleeps in a futex on the flag; the other side, finding
 * the flag set after it moved, clears it and wakes the sleeper. A sleep
 * lasts a tenth of a second at most, so that the caller is asked again
 * after every wake-up, signal or tenth. Plain C. */
#ifndef VANTLE_TRANSPORT_TRACE_RING_H_
#define VANTLE_TRANSPORT_TRACE_RING_H_

#include <errno.h>
#include <linux/futex.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

enum { TRACE_RING_CONTROL = 4096, TRACE_RING_DATA = 1 << 22 };

/* Each field the two sides keep writing on a cache line of its own. The
 * last two lines are each side's own: the other writes nothing there, and
 * reads only the reader's place (trace_ring_progress). A side
 * goes by its copy of the other's index, and looks at the shared one only
 * when the copy says there is not enough: a batch then costs neither side
 * a load of a line the other keeps writing. */
struct trace_ring {
  uint64_t written;
  char written_line[56];
  uint64_t read;
  char read_line[56];
  uint32_t reader_waiting;
  char reader_line[60];
  uint32_t writer_waiting;
  /* Set by the writer after its last batch: the reader stops at the end. */
  uint32_t closed;
  char writer_line[56];
  /* The writer's: `read' as it last looked. */
  uint64_t writer_read;
  char writer_own_line[56];
  /* The reader's: where it stands (`read' lags behind, released in
   * shares), and `written' as it last looked. */
  uint64_t reader_at;
  uint64_t reader_written;
};

/* Which side of the ring waits. */
enum trace_ring_side { TRACE_RING_READER, TRACE_RING_WRITER };

/* Maps the ring file fd (TRACE_RING_CONTROL + TRACE_RING_DATA bytes) with
 * its batches twice in a row; null when it cannot. */
static inline struct trace_ring *trace_ring_map(int fd) {
  const size_t whole = TRACE_RING_CONTROL + TRACE_RING_DATA;
  char *base = (char *)mmap(NULL, whole + TRACE_RING_DATA, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return NULL;
  if (mmap(base, whole, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
           0) == MAP_FAILED ||
      mmap(base + whole, TRACE_RING_DATA, PROT_READ | PROT_WRITE,
           MAP_SHARED | MAP_FIXED, fd, TRACE_RING_CONTROL) == MAP_FAILED) {
    munmap(base, whole + TRACE_RING_DATA);
    return NULL;
  }
  return (struct trace_ring *)base;
}

static inline void trace_ring_unmap(struct trace_ring *ring) {
  munmap(ring, TRACE_RING_CONTROL + 2 * TRACE_RING_DATA);
}

/* Where the batch at position (a count of bytes since the start) lies. */
static inline unsigned char *trace_ring_at(struct trace_ring *ring,
                                           uint64_t position) {
  return (unsigned char *)ring + TRACE_RING_CONTROL +
         position % TRACE_RING_DATA;
}

/* What side can take by its copy of the other side's index: unread
 * bytes for the reader, free ones for the writer. Never more than there
 * are: each index only grows. */
static inline uint64_t trace_ring_ready(struct trace_ring *ring,
                                        enum trace_ring_side side) {
  return side == TRACE_RING_READER
             ? ring->reader_written - ring->reader_at
             : TRACE_RING_DATA - (ring->written - ring->writer_read);
}

/* Side takes a fresh copy of the other side's index. Acquire: the reader
 * then sees the batches below `written' whole; the writer overwrites
 * nothing below `read' before the reader is done reading it. */
static inline void trace_ring_look(struct trace_ring *ring,
                                   enum trace_ring_side side) {
  if (side == TRACE_RING_READER)
    ring->reader_written = __atomic_load_n(&ring->written, __ATOMIC_ACQUIRE);
  else
    ring->writer_read = __atomic_load_n(&ring->read, __ATOMIC_ACQUIRE);
}

/* Where the reader's next batch lies. */
static inline unsigned char *trace_ring_next(struct trace_ring *ring) {
  return trace_ring_at(ring, ring->reader_at);
}

/* How far the reader has got, for a process that watches it. */
static inline uint64_t trace_ring_progress(struct trace_ring *ring) {
  return __atomic_load_n(&ring->reader_at, __ATOMIC_RELAXED);
}

/* Sleeps while *flag is 1, a tenth of a second at most; a wake-up or a
 * signal cuts it short. The flag lies in memory both processes map, so
 * the futex is a shared one. */
static inline void trace_ring_sleep(uint32_t *flag) {
  struct timespec tenth = {0, 100000000};
  syscall(SYS_futex, flag, FUTEX_WAIT, 1, &tenth, NULL, 0);
}

/* Wakes the side sleeping on *flag, if it sleeps, after this side moved
 * its index. The fence orders that store before the load of the flag
 * (store-load, which no weaker ordering gives): a sleeper sets its flag
 * and then looks at the index, so either it sees the move or this side
 * sees its flag. The flag's line is written only when the other side
 * waits, so the plain load costs little; the exchange only when set. */
static inline void trace_ring_wake(uint32_t *flag) {
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (__atomic_load_n(flag, __ATOMIC_RELAXED) &&
      __atomic_exchange_n(flag, 0, __ATOMIC_SEQ_CST))
    syscall(SYS_futex, flag, FUTEX_WAKE, 1, NULL, NULL, 0);
}

/* The reader: gives the writer back every byte it is done with, and wakes
 * it. Release: the reader's loads of those bytes come before the writer
 * can see them free. */
static inline void trace_ring_give_back(struct trace_ring *ring) {
  if (ring->read == ring->reader_at) return;
  __atomic_store_n(&ring->read, ring->reader_at, __ATOMIC_RELEASE);
  trace_ring_wake(&ring->writer_waiting);
}

/* Waits until side can take need bytes (see trace_ring_ready); returns 0
 * then. A reader that must wait gives back first what it is done with.
 * Before each sleep, with the flag set, stop(arg) (when stop is non-null)
 * is asked: a non-zero answer ends the wait and is returned, unless the
 * bytes came meanwhile. So a stop that reads what the other side writes
 * before it wakes (its last word) never misses a wake-up, and never passes
 * over bytes the other side wrote before that word. */
static inline int trace_ring_wait(struct trace_ring *ring,
                                  enum trace_ring_side side, uint64_t need,
                                  int (*stop)(void *), void *arg) {
  if (trace_ring_ready(ring, side) >= need) return 0;
  trace_ring_look(ring, side);
  if (trace_ring_ready(ring, side) >= need) return 0;
  if (side == TRACE_RING_READER) trace_ring_give_back(ring);
  uint32_t *flag = side == TRACE_RING_READER ? &ring->reader_waiting
                                             : &ring->writer_waiting;
  int why = 0;
  for (;;) {
    /* Seq_cst: the flag is set before the index is looked at again (the
     * other half of trace_ring_wake's fence). */
    __atomic_store_n(flag, 1, __ATOMIC_SEQ_CST);
    trace_ring_look(ring, side);
    if (trace_ring_ready(ring, side) >= need) break;
    why = stop ? stop(arg) : 0;
    if (why) {
      trace_ring_look(ring, side);
      if (trace_ring_ready(ring, side) >= need) why = 0;
      break;
    }
    trace_ring_sleep(flag);
    trace_ring_look(ring, side);
    if (trace_ring_ready(ring, side) >= need) break;
  }
  __atomic_store_n(flag, 0, __ATOMIC_RELAXED);
  return why;
}

/* The writer: the bytes at `written' are whole. Release: they are in
 * before the reader can see `written' pass them. */
static inline void trace_ring_put(struct trace_ring *ring, size_t bytes) {
  __atomic_store_n(&ring->written, ring->written + bytes, __ATOMIC_RELEASE);
}

/* The writer: the bytes at `written' are whole; wakes the reader. */
static inline void trace_ring_publish(struct trace_ring *ring, size_t bytes) {
  trace_ring_put(ring, bytes);
  trace_ring_wake(&ring->reader_waiting);
}

/* The writer: the bytes at `written' are whole; wakes the reader only
 * once a quarter of the ring waits for it, looking whether it does each
 * time `written' enters another sixteenth of the ring. For a writer that
 * will wake it soon anyway (trace_ring_wake) or write more: a wake-up, or
 * the fence of a look at the reader's flag, per small batch costs more
 * than the batch, and a reader's sleep ends within a tenth of a second
 * whatever happens. */
static inline void trace_ring_publish_quietly(struct trace_ring *ring,
                                              size_t bytes) {
  const uint64_t share = TRACE_RING_DATA / 16;
  uint64_t before = ring->written;
  trace_ring_put(ring, bytes);
  if (before / share == ring->written / share ||
      ring->written - ring->writer_read < TRACE_RING_DATA / 4)
    return;
  trace_ring_look(ring, TRACE_RING_WRITER);
  if (ring->written - ring->writer_read >= TRACE_RING_DATA / 4)
    trace_ring_wake(&ring->reader_waiting);
}

/* The reader: done with the bytes at its place. They go back to the
 * writer once a sixteenth of the ring has gathered, or before the reader
 * waits: a store and a wake-up check per batch would cost both sides a
 * round trip of the control lines, and a writer that waits for room finds
 * it when the reader has gone through that much or has run dry.
 * Relaxed: the position is the reader's; trace_ring_progress only counts
 * it. */
static inline void trace_ring_release(struct trace_ring *ring, size_t bytes) {
  __atomic_store_n(&ring->reader_at, ring->reader_at + bytes,
                   __ATOMIC_RELAXED);
  if (ring->reader_at - ring->read >= TRACE_RING_DATA / 16)
    trace_ring_give_back(ring);
}

/* The writer: nothing more comes; wakes the reader. Release: after every
 * batch, so that a reader that finds the ring closed and then looks at
 * `written' misses none. */
static inline void trace_ring_close(struct trace_ring *ring) {
  __atomic_store_n(&ring->closed, 1, __ATOMIC_RELEASE);
  trace_ring_wake(&ring->reader_waiting);
}

/* Whether the writer has closed the ring. */
static inline int trace_ring_closed(struct trace_ring *ring) {
  return (int)__atomic_load_n(&ring->closed, __ATOMIC_ACQUIRE);
}

#endif /* VANTLE_TRANSPORT_TRACE_RING_H_ */
