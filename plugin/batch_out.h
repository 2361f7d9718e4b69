/* Where the plugin's batches go, and this process's part in the run: the
 * output (vantle-sim's shared file, or a descriptor), the folding map, the
 * batch of each thread (in a slot of the shared file while there is one,
 * so that vantle-sim takes what it holds should the process die), and
 * this process's entry in the file; the threads' turns are turns.h's.
 * With a descriptor only the process that loaded the plugin writes: a
 * guest's forked child would otherwise repeat its parent's unwritten
 * records. */
#ifndef VANTLE_PLUGIN_BATCH_OUT_H_
#define VANTLE_PLUGIN_BATCH_OUT_H_

#include <stdint.h>

#include "plugin/follow_exec.h"
#include "transport/live_ring.h"

/* A cache per vCPU of the regions it folded, indexed by the region's low
 * bits: a miss searches the shared map. A family of small caches folds
 * by regions of a few bytes, and a program's data then spans many of them
 * (sort's, some hundred thousand): the cache is large, and allocated
 * zero-filled, so that only the entries in use take memory. */
enum { REGION_CACHE = 1 << 16 };
struct cached_region {
  uint64_t key; /* region + 1; 0: none */
  uint32_t base;
};

/* The turns a thread may have waiting for their place in the ring: it
 * runs ahead of the thread whose turn it is by as many, no more. */
enum { TURNS_QUEUED = 32 };

/* A thread's batch. The records come first: in a slot, they are what
 * vantle-sim takes (those not yet taken into the ring). While other
 * threads run, its records past out.taken are turns waiting to be written,
 * in order, each ending at ends[turn % TURNS_QUEUED]; turns_written and
 * turns_made count them. */
struct batch {
  struct trace_slot out;
  /* The thread's own, which no other thread reads: it reads or writes
   * them at every record, so they lie on a line apart from what the
   * threads that write its turns touch. */
  _Alignas(64) const uint32_t *next_fetch, *end_fetch; /* the running
                                          block's fetches not recorded */
  uint32_t fetch_low, fetch_high; /* the running block's lowest and highest
                                     fetch: a block that starts at one of
                                     its fetches starts between them */
  uint32_t cut;  /* at this count, whether to write the batch is asked */
  uint32_t queued_to; /* the count when it last queued a turn */
  int32_t slot;  /* its slot in the shared file, or -1 */
  uint8_t running, forking; /* out of a system call; in a fork */
  struct cached_region *cache;
  /* The turns it queued, which the writers read once a turn. */
  _Alignas(64) uint32_t turns_made;
  uint32_t ends[TURNS_QUEUED];
  /* Moved by whoever writes its turns; its neighbours in the rotation of
   * running threads, while it runs. */
  _Alignas(64) uint32_t turns_written;
  struct batch *before, *after;
};
_Static_assert(sizeof(struct batch) <= TRACE_SLOT_BYTES, "a batch per slot");

/* The region size of the folding map, read without its lock. */
extern int region_bits;

/* Readies the output: the shared file ring_fd (which it closes) when not
 * -1, else descriptor fd folding by regions of 2^bits bytes; threads
 * interleave every `interleave' references. 0, said on the error
 * stream, when neither is usable. */
int open_output(int fd, int ring_fd, int bits, uint32_t interleave);

/* Ends the process, naming why. */
void give_up(const char *why);

/* Folds address: a region already placed without the map's lock, else
 * under it, noting a newly placed region for the next batch. Returns 0
 * when the map is full. */
int fold(uint64_t address, uint32_t *folded);

/* A new thread's batch, and the batch of the forking thread's child (in
 * the child, after a fork: parent is the thread's batch there). */
struct batch *new_batch(void);
struct batch *batch_of_child(const struct batch *parent);
/* The thread has ended: its records go out, its batch is freed. */
void end_batch(struct batch *b);

/* When the run wants sites, writes this process's code mappings (its
 * /proc/self/maps) in a batch of their own, while they can be read: at the
 * guest's exit, or before an exec replaces them. Nothing when the guest's
 * addresses are not the host's (QEMU then offsets them). */
void report_code_maps(void);
/* Writes b's records from its first not taken to end, after the regions
 * placed since the last batch, and takes them. map_full: the trace ends
 * at address. Under the write lock, which these take and release. */
void write_records(struct batch *b, uint32_t end, int map_full,
                   uint64_t address);
void lock_writes(void);
void unlock_writes(void);
/* Takes the write lock only when no one holds it: 1 when it is then held. */
int try_lock_writes(void);
/* Whether writing has stopped (vantle-sim has gone, or the map is full). */
int writing_stopped(void);
/* Wakes vantle-sim for batches written quietly: those of threads' turns,
 * which a system call or a later batch of the process announces. */
void announce(void);

/* Tells vantle-sim this process's state (TRACE_PROC_*); RUNNING only
 * after an exec that failed. */
void say_state(uint32_t state);
/* Names this process after the program it runs, once QEMU knows it (as
 * the first block is translated). */
void name_process(void);
/* Registers the child process pid, forked by this one. */
void register_child(int pid);
/* Whether execs are followed, and follows one (follow_exec). */
int can_follow(void);
enum followed follow_here(const struct guest_abi *abi, int64_t number,
                          const uint64_t *args);

/* The batch reached its cut (turns.h). */
void look_at(struct batch *b);

static inline void put(struct batch *b, uint32_t folded, uint8_t kind) {
  b->out.addresses[b->out.count] = folded;
  b->out.kinds[b->out.count] = kind;
  if (++b->out.count == b->cut) look_at(b);
}

/* Writes the n fetches at from as b's records from count on, moving
 * neither (the caller counts in a local: the records' stores could alias
 * the count). */
static inline void copy_fetches(struct batch *b, uint32_t count,
                                const uint32_t *from, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    b->out.addresses[count + i] = from[i];
    b->out.kinds[count + i] = TRACE_KIND_FETCH;
  }
}

/* Records the running block's fetches before end, in runs up to the cut. */
static inline void put_fetches(struct batch *b, const uint32_t *end) {
  while (b->next_fetch < end) {
    uint32_t count = b->out.count, room = b->cut - count;
    uint32_t n = end - b->next_fetch < room ? (uint32_t)(end - b->next_fetch)
                                            : room;
    const uint32_t *from = b->next_fetch;
    copy_fetches(b, count, from, n);
    b->next_fetch = from + n;
    b->out.count = count + n;
    if (n == room) look_at(b);
  }
}

/* Records the fetches left of the block that ran last. */
static inline void finish_block(struct batch *b) {
  put_fetches(b, b->end_fetch);
}

#endif /* VANTLE_PLUGIN_BATCH_OUT_H_ */
