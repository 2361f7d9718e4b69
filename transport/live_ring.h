/* What vantle-sim and its QEMU plugin share while a program runs, beside
 * the batches in the ring (trace_ring.h, trace_record.h). The plugin keeps
 * no descriptor of it: the program could close or overwrite any. Once the
 * shared file is mapped, each side waits in the ring's one wait, which
 * asks it every tenth of a second at least whether to stop: a waiting
 * writer notices so that vantle-sim (its parent) has gone, and a waiting
 * reader that QEMU has ended.
 * Beside the ring lie the plugin's word on how the program ended and the
 * batches it is filling, a slot for each of the first TRACE_SLOTS vCPUs
 * (later ones fill batches of the plugin's own): when QEMU dies without a
 * last word (a signal, a crash), vantle-sim takes what they hold, so that
 * no reference the program made before is lost.
 * The shared file: the ring's control page (trace_live at its end), the
 * ring's data, then TRACE_SLOTS slots of TRACE_SLOT_BYTES. Plain C. */
#ifndef VANTLE_TRANSPORT_LIVE_RING_H_
#define VANTLE_TRANSPORT_LIVE_RING_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>

#include "transport/trace_record.h"
#include "transport/trace_ring.h"

/* How the program ended, as the plugin saw it; 0 while it runs. */
enum { TRACE_LIVE_EXITED = 1, TRACE_LIVE_EXECED = 2 };

struct trace_live {
  int32_t reader_pid; /* vantle-sim, QEMU's parent */
  uint32_t ended;     /* written by the plugin, last */
};
enum { TRACE_LIVE_AT = TRACE_RING_CONTROL - 64 };
#ifdef __cplusplus
static_assert(sizeof(struct trace_ring) <= TRACE_LIVE_AT,
              "the plugin's word lies behind the ring's control block");
#else
_Static_assert(sizeof(struct trace_ring) <= TRACE_LIVE_AT,
               "the plugin's word lies behind the ring's control block");
#endif

/* A vCPU's batch in the making: its records so far. publishing: the ring
 * position at which the batch is whole while it is being copied there
 * (then the ring has it once `written' reaches that), else 0. */
struct trace_slot {
  uint32_t count;
  uint32_t unused;
  uint64_t publishing;
  uint32_t addresses[TRACE_BATCH_REFERENCES];
  uint8_t kinds[TRACE_BATCH_REFERENCES];
};
enum { TRACE_SLOTS = 64, TRACE_SLOT_BYTES = 88 * 4096 };

static inline size_t trace_live_file_bytes(void) {
  return (size_t)TRACE_RING_CONTROL + TRACE_RING_DATA +
         (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES;
}

static inline struct trace_live *trace_live_of(struct trace_ring *ring) {
  return (struct trace_live *)((char *)ring + TRACE_LIVE_AT);
}

/* Maps the slots of the shared file fd; null when it cannot. */
static inline unsigned char *trace_live_map_slots(int fd) {
  void *at = mmap(NULL, (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES,
                  PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                  TRACE_RING_CONTROL + TRACE_RING_DATA);
  return at == MAP_FAILED ? NULL : (unsigned char *)at;
}

static inline void trace_live_unmap_slots(unsigned char *slots) {
  munmap(slots, (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES);
}

#endif /* VANTLE_TRANSPORT_LIVE_RING_H_ */
