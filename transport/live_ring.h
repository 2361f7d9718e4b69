/* The file vantle-sim shares with the QEMU plugins of a traced program, one
 * plugin in each process of the program's tree, while it runs. Plain C.
 * In order: the ring (trace_ring.h) every plugin writes its batches into
 * (trace_record.h) and vantle-sim reads; the run's record (trace_live);
 * the slots, where each thread fills its batch, so that vantle-sim takes
 * what a batch holds when its process dies without flushing it; the
 * folding map all the plugins share (fold_map.h), so that their addresses
 * fold as one program's.
 * No plugin keeps a descriptor of the file: the program could close or
 * overwrite any. A plugin whose program execs opens it anew from
 * vantle-sim's descriptor (/proc/<pid>/fd/<n>) for the QEMU that runs the
 * new program. The locks are robust process-shared mutexes: a process
 * that dies holding one leaves it to the next, whole (trace_live_lock).
 * vantle-sim registers the first process, a plugin the children its
 * process forks and itself; vantle-sim reads until every process of the
 * tree has ended, telling a dead one by its start time, which a reused
 * process id does not share. */
#ifndef VANTLE_TRANSPORT_LIVE_RING_H_
#define VANTLE_TRANSPORT_LIVE_RING_H_

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "transport/fold_map.h"
#include "transport/trace_record.h"
#include "transport/trace_ring.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
  TRACE_PROCESSES = 1024, /* processes of the tree alive at once, at most */
  TRACE_UNTRACED = 32,    /* untraced programs named, at most */
  TRACE_NAME = 64,        /* bytes of a name kept */
  TRACE_SLOTS = 256,
  TRACE_SLOT_BYTES = 88 * 4096,
  TRACE_LIVE_BYTES = 256 * 1024
};

/* A process of the tree: its state (TRACE_PROC_*), its id and start time
 * (clock ticks since boot, as /proc/<pid>/stat says), its number in the
 * run (from 1), its image (one more at each exec it makes), the program
 * it runs (the last part of its path). */
enum {
  TRACE_PROC_FREE = 0,
  TRACE_PROC_RUNNING,
  TRACE_PROC_EXECING, /* its plugin is starting QEMU on a new program */
  TRACE_PROC_LEFT,    /* it exec'd a program that runs untraced */
  TRACE_PROC_EXITED   /* its plugin flushed everything at its exit */
};
struct trace_process {
  uint32_t state;
  int32_t pid;
  uint64_t start;
  uint32_t number, image;
  char name[TRACE_NAME];
};

/* A program that ran untraced, and why (TRACE_UNTRACED_*). */
enum {
  TRACE_UNTRACED_SETUID = 1, /* set-user or set-group ID: QEMU would run it
                                without its privileges */
  TRACE_UNTRACED_MACHINE,    /* no emulator of its machine is installed */
  TRACE_UNTRACED_UNREAD,     /* its exec's arguments could not be read */
  TRACE_UNTRACED_FAILED,     /* QEMU could not be started on it */
  TRACE_UNTRACED_CROWD       /* too many processes at once */
};
struct trace_untraced {
  uint32_t why;
  char name[TRACE_NAME + 60];
};

/* A batch that was being copied into the ring when its writer died: slot
 * (plus one; 0: none), where it ends in the ring, and the slot's `taken'
 * once it is there. */
struct trace_pending {
  uint32_t slot;
  uint32_t taken;
  uint64_t end;
};

/* The run's record. vantle-sim fills the first part before the program
 * starts; the rest changes under the locks or atomically. */
struct trace_live {
  int32_t reader_pid, reader_fd; /* vantle-sim and its descriptor of the
                                    file */
  uint64_t reader_start;
  uint64_t map_bytes;            /* the folding map's size */
  char plugin[1024];             /* the plugin's path */
  char sysroot[1024];            /* QEMU's -L for foreign programs, or "" */
  char sysroot_arch[32];         /* the machine it is for ("aarch64") */
  char search_path[8192];        /* where the emulators lie (PATH) */
  pthread_mutex_t write_lock;    /* the ring's writers, and pending */
  pthread_mutex_t fold_lock;     /* the folding map */
  pthread_mutex_t process_lock;  /* the processes */
  struct trace_pending pending;
  uint32_t processes_seen;       /* processes registered so far */
  uint32_t interleave;           /* references of a thread's batch while
                                    other threads of its process run */
  uint32_t threads_seen;         /* threads so far: each one's number */
  uint32_t untraced_seen;
  uint32_t sites;                /* 1: each process reports its code
                                    mappings as it ends (trace_record.h) */
  struct trace_process processes[TRACE_PROCESSES];
  struct trace_untraced untraced[TRACE_UNTRACED];
};
#ifdef __cplusplus
static_assert(sizeof(struct trace_live) <= TRACE_LIVE_BYTES, "the record");
#else
_Static_assert(sizeof(struct trace_live) <= TRACE_LIVE_BYTES, "the record");
#endif

/* A thread's batch in the making: its records so far, the first `taken'
 * of them already in the ring (a thread's turns wait here for their place
 * in the ring). owner: who fills the slot, one word (trace_slot_owner), 0
 * while it is free; thread and pid as in the batch head. The thread
 * writes count at every record, and another thread that writes its turn
 * reads the rest and moves taken: count has a cache line of its own. */
struct trace_slot {
  uint32_t count;
  char count_line[60];
  uint32_t owner;
  uint32_t thread;
  int32_t pid;
  uint32_t taken;
  char head_line[48];
  uint32_t addresses[TRACE_BATCH_REFERENCES];
  uint8_t kinds[TRACE_BATCH_REFERENCES];
};

/* The owner word of a slot filled by the process at index in the table,
 * in its image (counted modulo 2^16), and back. */
static inline uint32_t trace_slot_owner(int index, uint32_t image) {
  return (uint32_t)(index + 1) | (image & 0xffff) << 16;
}
static inline int trace_owner_index(uint32_t owner) {
  return (int)(owner & 0xffff) - 1;
}
static inline uint32_t trace_owner_image(uint32_t owner) {
  return owner >> 16;
}

/* Where the parts lie in the file, and its size with a folding map of
 * map_bytes. */
#define TRACE_LIVE_AT ((size_t)TRACE_RING_CONTROL + TRACE_RING_DATA)
#define TRACE_SLOTS_AT (TRACE_LIVE_AT + TRACE_LIVE_BYTES)
static inline size_t trace_map_at(void) {
  return (size_t)TRACE_SLOTS_AT + (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES;
}
static inline size_t trace_file_bytes(size_t map_bytes) {
  return trace_map_at() + map_bytes;
}

/* One process's view of the file. */
struct trace_file {
  struct trace_ring *ring;
  struct trace_live *live;
  unsigned char *slots;
  void *map; /* mapped by the plugins only */
};

/* Maps the file fd (its map too when with_map); 0 when it cannot, with
 * nothing left mapped. */
int trace_file_map(struct trace_file *f, int fd, int with_map);
void trace_file_unmap(struct trace_file *f);
/* Readies the new, zero-filled file fd of trace_file_bytes(map_bytes)
 * bytes, mapped in f (its map aside), for a map of regions of
 * 2^region_bits bytes; 0 when it cannot. */
int trace_file_init(struct trace_file *f, int fd, int region_bits,
                    size_t map_bytes);

static inline struct trace_slot *trace_slot_at(const struct trace_file *f,
                                               int i) {
  return (struct trace_slot *)(f->slots + (size_t)i * TRACE_SLOT_BYTES);
}

/* Locks one of the record's locks; when the last holder died holding it,
 * makes it whole again, and for the write lock settles the batch it was
 * copying: in the ring (its slot emptied) or not (its slot kept). */
void trace_live_lock(struct trace_file *f, pthread_mutex_t *lock);
/* The same, only when no one else holds it: 1 when it is then held. */
int trace_live_trylock(struct trace_file *f, pthread_mutex_t *lock);
void trace_live_unlock(pthread_mutex_t *lock);

/* The start time of process pid, 0 when it has none (it has gone). */
uint64_t trace_process_start(pid_t pid);
/* Whether process pid, started at start, still runs (a zombie does not). */
int trace_process_alive(pid_t pid, uint64_t start);

/* The entry of process pid, made (running, a new number) when it has
 * none, named name unless that is null; null when the table is full or
 * pid has gone. */
struct trace_process *trace_live_register(struct trace_file *f, pid_t pid,
                                          const char *name);
/* Notes that the program name ran untraced, for why. */
void trace_live_untraced(struct trace_file *f, const char *name,
                         uint32_t why);

#ifdef __cplusplus
}
#endif

#endif /* VANTLE_TRANSPORT_LIVE_RING_H_ */
