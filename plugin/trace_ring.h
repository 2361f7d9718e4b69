/* The ring through which vantle's QEMU plugin hands its batches
 * (trace_record.h) to vantle-sim, so that they cross without a copy
 * through the kernel or a lock both sides contend for: a shared memory file
 * of a control block and TRACE_RING_DATA bytes of batches. Each side maps
 * the batches twice in a row, so that one running past the end goes on at
 * the start unbroken. The plugin alone moves `written', after a whole batch
 * is in; vantle-sim alone moves `read', after it is done with one. A side
 * that must wait sets its flag, looks once more, and sleeps in a read of
 * the socket the two share; the other side, finding the flag set after it
 * moved, clears it and sends a byte. End of file on the socket: the other
 * side has gone. Shared by the plugin (C) and the loader (C++). */
#ifndef VANTLE_PLUGIN_TRACE_RING_H_
#define VANTLE_PLUGIN_TRACE_RING_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/socket.h>

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

#endif /* VANTLE_PLUGIN_TRACE_RING_H_ */
