/* A ring through which one process hands batches of references to
 * another without copying them through the kernel or contending for a
 * lock: vantle's QEMU plugin to vantle-sim (trace_record.h), and vantle-sim
 * to the process of each of several families. A shared memory file holds a
 * control block and TRACE_RING_DATA bytes of batches; each side maps the
 * batches twice in a row, so that one running past the end goes on at the
 * start unbroken. The writer alone moves `written', after a whole batch is
 * in; the reader alone moves `read', after it is done with one. A side
 * that must wait sets its flag, looks once more, and sleeps in a read of
 * the socket the two share; the other side, finding the flag set after it
 * moved, clears it and sends a byte. End of file on the socket: the other
 * side has gone. Plain C. */
#ifndef VANTLE_TRACE_RING_H_
#define VANTLE_TRACE_RING_H_

#include <errno.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

enum { TRACE_RING_CONTROL = 4096, TRACE_RING_DATA = 1 << 22 };

/* Each field on a cache line of its own: the two sides write different
 * ones all the time. */
struct trace_ring {
  uint64_t written;
  char written_line[56];
  uint64_t read;
  char read_line[56];
  uint32_t reader_waiting;
  char reader_line[60];
  uint32_t writer_waiting;
};

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

/* Wakes the other side through socket if its flag says it waits. */
static inline void trace_ring_wake(uint32_t *waiting, int socket) {
  if (__atomic_exchange_n(waiting, 0, __ATOMIC_SEQ_CST)) {
    char byte = 0;
    send(socket, &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

/* Sleeps until the other side sends a byte; 0 when it has gone. */
static inline int trace_ring_sleep(int socket) {
  char wake[64];
  for (;;) {
    ssize_t n = read(socket, wake, sizeof wake);
    if (n >= 0) return n > 0;
    if (errno != EINTR) return 0;
  }
}

static inline uint64_t trace_ring_unread(struct trace_ring *ring) {
  return __atomic_load_n(&ring->written, __ATOMIC_SEQ_CST) -
         __atomic_load_n(&ring->read, __ATOMIC_SEQ_CST);
}

/* The writer: waits until the ring has room for bytes (a byte left from an
 * earlier wake-up only makes one more round); 0 when the reader has gone. */
static inline int trace_ring_wait_for_room(struct trace_ring *ring,
                                           size_t bytes, int socket) {
  while (TRACE_RING_DATA - trace_ring_unread(ring) < bytes) {
    __atomic_store_n(&ring->writer_waiting, 1, __ATOMIC_SEQ_CST);
    if (TRACE_RING_DATA - trace_ring_unread(ring) >= bytes) break;
    if (!trace_ring_sleep(socket)) return 0;
  }
  __atomic_store_n(&ring->writer_waiting, 0, __ATOMIC_SEQ_CST);
  return 1;
}

/* The writer: as trace_ring_wait_for_room, but for about ms milliseconds
 * at most, so that a writer with more to answer than its reader is never
 * stuck with one that stopped: 1 when there is room, 0 when the reader has
 * gone, -1 when the time ran out (or a signal came). */
static inline int trace_ring_wait_for_room_for(struct trace_ring *ring,
                                               size_t bytes, int socket,
                                               int ms) {
  while (TRACE_RING_DATA - trace_ring_unread(ring) < bytes) {
    __atomic_store_n(&ring->writer_waiting, 1, __ATOMIC_SEQ_CST);
    if (TRACE_RING_DATA - trace_ring_unread(ring) >= bytes) break;
    struct pollfd wake = {socket, POLLIN, 0};
    int ready = poll(&wake, 1, ms);
    if (ready == 0 || (ready < 0 && errno == EINTR)) return -1;
    if (ready < 0 || !trace_ring_sleep(socket)) return 0;
  }
  __atomic_store_n(&ring->writer_waiting, 0, __ATOMIC_SEQ_CST);
  return 1;
}

/* The writer: the bytes at `written' are whole; tells the reader. */
static inline void trace_ring_publish(struct trace_ring *ring, size_t bytes,
                                      int socket) {
  __atomic_store_n(&ring->written, ring->written + bytes, __ATOMIC_SEQ_CST);
  trace_ring_wake(&ring->reader_waiting, socket);
}

/* The reader: waits until the ring holds something; 0 when the writer has
 * gone and it holds nothing. */
static inline int trace_ring_wait_for_data(struct trace_ring *ring,
                                           int socket) {
  while (trace_ring_unread(ring) == 0) {
    __atomic_store_n(&ring->reader_waiting, 1, __ATOMIC_SEQ_CST);
    if (trace_ring_unread(ring) != 0) break;
    if (!trace_ring_sleep(socket)) return trace_ring_unread(ring) != 0;
  }
  return 1;
}

/* The reader: done with the bytes at `read'; tells the writer. */
static inline void trace_ring_release(struct trace_ring *ring, size_t bytes,
                                      int socket) {
  __atomic_store_n(&ring->read, ring->read + bytes, __ATOMIC_SEQ_CST);
  trace_ring_wake(&ring->writer_waiting, socket);
}

#endif /* VANTLE_TRACE_RING_H_ */
