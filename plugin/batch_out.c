/* The plugin's output (batch_out.h). State: the output and its locks (the
 * shared file's, or the process's own with a descriptor), this process's
 * entry and image in the file, the regions newly placed in the folding
 * map, the threads counted, and whether writing has stopped (vantle-sim
 * has gone, or the map is full). */
#define _GNU_SOURCE
#include "plugin/batch_out.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <limits.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "plugin/qemu_api.h"
#include "plugin/turns.h"
#include "transport/fold_map.h"

int region_bits;

static struct {
  int fd;                    /* the descriptor written to, or -1 */
  pid_t writer_pid;          /* with a descriptor, the process writing */
  struct trace_file file;    /* the shared file, when there is one */
  struct trace_process *self;
  uint32_t image;
  int stopped;
  unsigned next_slot;        /* where the search for a free slot starts */
  /* With a descriptor: the threads so far, and the locks (the shared file
   * has its own). */
  uint32_t threads_seen;
  pthread_mutex_t write_lock, fold_lock;
  /* Regions placed since the last batch, under the fold lock. */
  struct trace_region *placed;
  size_t placed_count, placed_capacity;
} o = {.fd = -1,
       .write_lock = PTHREAD_MUTEX_INITIALIZER,
       .fold_lock = PTHREAD_MUTEX_INITIALIZER};

void give_up(const char *why) {
  fprintf(stderr, "vantle plugin: %s\n", why);
  abort();
}

static int stopped(void) {
  return __atomic_load_n(&o.stopped, __ATOMIC_RELAXED);
}

int writing_stopped(void) { return stopped(); }

static void stop(void) { __atomic_store_n(&o.stopped, 1, __ATOMIC_RELAXED); }

static void lock(pthread_mutex_t *own, pthread_mutex_t *shared) {
  if (o.file.live)
    trace_live_lock(&o.file, shared);
  else
    pthread_mutex_lock(own);
}

static int try_lock(pthread_mutex_t *own, pthread_mutex_t *shared) {
  return o.file.live ? trace_live_trylock(&o.file, shared)
                     : pthread_mutex_trylock(own) == 0;
}

static void unlock(pthread_mutex_t *own, pthread_mutex_t *shared) {
  pthread_mutex_unlock(o.file.live ? shared : own);
}

#define LOCK(name) lock(&o.name, o.file.live ? &o.file.live->name : NULL)
#define UNLOCK(name) unlock(&o.name, o.file.live ? &o.file.live->name : NULL)

void lock_writes(void) { LOCK(write_lock); }
int try_lock_writes(void) {
  return try_lock(&o.write_lock, o.file.live ? &o.file.live->write_lock : NULL);
}
void unlock_writes(void) { UNLOCK(write_lock); }

/* ---- Folding ------------------------------------------------------------- */

static void note_placed(uint64_t address, uint32_t folded) {
  if (o.placed_count == o.placed_capacity) {
    o.placed_capacity = o.placed_capacity ? 2 * o.placed_capacity : 64;
    o.placed = realloc(o.placed, o.placed_capacity * sizeof *o.placed);
    if (!o.placed) give_up("out of memory");
  }
  o.placed[o.placed_count].region = address >> region_bits;
  o.placed[o.placed_count].place = (uint64_t)folded >> region_bits;
  /* Atomic: a writer looks without the lock whether there are any. */
  __atomic_store_n(&o.placed_count, o.placed_count + 1, __ATOMIC_RELEASE);
}

int fold(uint64_t address, uint32_t *folded) {
  if (o.file.map && fm_shared_lookup(o.file.map, address, folded)) return 1;
  LOCK(fold_lock);
  enum fm_result result = o.file.map
                              ? fm_shared_fold(o.file.map, address, folded)
                              : fm_fold(address, folded);
  if (result == FM_NEW_REGION) note_placed(address, *folded);
  UNLOCK(fold_lock);
  if (result == FM_NO_MEMORY) give_up("out of memory");
  return result != FM_FULL;
}

/* ---- Writing ------------------------------------------------------------- */

/* Writes the iov pieces whole unless the reader has gone. SIGPIPE is held
 * back meanwhile: QEMU would hand it to the guest, which it would kill. */
static void write_all(struct iovec *iov, int count) {
  sigset_t pipe_only, before;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &before);
  while (count > 0 && !stopped()) {
    ssize_t n = writev(o.fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      stop();
      if (errno == EPIPE) {
        const struct timespec now = {0, 0};
        sigtimedwait(&pipe_only, NULL, &now); /* the SIGPIPE it raised */
      }
      break;
    }
    for (; count > 0 && (size_t)n >= iov->iov_len; iov++, count--)
      n -= (ssize_t)iov->iov_len;
    if (count > 0) {
      iov->iov_base = (char *)iov->iov_base + n;
      iov->iov_len -= (size_t)n;
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, NULL);
}

/* Whether vantle-sim has gone (the program then runs on untraced): a wait
 * for room in the ring stops then. */
static int reader_gone(void *unused) {
  (void)unused;
  const struct trace_live *live = o.file.live;
  return !trace_process_alive(live->reader_pid, live->reader_start);
}

/* Copies the iov pieces into the ring as one batch and tells vantle-sim,
 * unless quiet (announce wakes it later); the record of a pending batch
 * says meanwhile where the batch of slot (or -1) will be whole, and the
 * slot's `taken' then. Under the write lock.
 * The stores of the record, of `written' and of the slot's `taken' need
 * no more than release order: the record is read only once this writer
 * has died, when every store it made is seen, and release keeps them in
 * the order they were made (record, batch, `written', `taken', no
 * record), which is all the recovery asks. */
static void write_ring(const struct iovec *iov, int count, size_t bytes,
                       int slot, uint32_t taken, int quiet) {
  struct trace_ring *ring = o.file.ring;
  if (trace_ring_wait(ring, TRACE_RING_WRITER, bytes, reader_gone, NULL)) {
    stop();
    return;
  }
  if (slot >= 0) {
    o.file.live->pending.end = ring->written + bytes;
    o.file.live->pending.taken = taken;
    __atomic_store_n(&o.file.live->pending.slot, (uint32_t)slot + 1,
                     __ATOMIC_RELEASE);
  }
  unsigned char *at = trace_ring_at(ring, ring->written);
  for (int i = 0; i < count; i++) {
    if (iov[i].iov_len) memcpy(at, iov[i].iov_base, iov[i].iov_len);
    at += iov[i].iov_len;
  }
  if (quiet)
    trace_ring_publish_quietly(ring, bytes);
  else
    trace_ring_publish(ring, bytes);
}

void announce(void) {
  if (o.file.live) trace_ring_wake(&o.file.ring->reader_waiting);
}

/* Writes one batch, quietly (write_ring): head, regions, then the n
 * records of b from its first not taken (none when b is null). */
static void write_batch(struct trace_batch *head,
                        const struct trace_region *regions, struct batch *b) {
  static const char zeros[8];
  uint32_t n = head->references, from = b ? b->out.taken : 0;
  struct iovec iov[] = {
      {head, sizeof *head},
      {(void *)regions, head->regions * sizeof *regions},
      {b ? (void *)(b->out.addresses + from) : NULL, n * sizeof(uint32_t)},
      {b ? (void *)(b->out.kinds + from) : NULL, n},
      {(void *)zeros, trace_batch_bytes(head) - trace_batch_kinds(head) - n}};
  int count = sizeof iov / sizeof iov[0];
  if (stopped()) return;
  if (o.file.live)
    write_ring(iov, count, trace_batch_bytes(head), b ? b->slot : -1,
               from + n, 1);
  else
    write_all(iov, count);
}

/* Keeps the lines of text[0..n) that name a file (file-backed mappings),
 * in place; returns their bytes. Whether the guest's code lies at host
 * addresses is told by start_code falling in one of them. */
static size_t keep_file_lines(char *text, size_t n, uint64_t start_code,
                              int *code_found) {
  size_t kept = 0;
  for (size_t at = 0; at < n;) {
    char *line = text + at, *end = memchr(line, '\n', n - at);
    size_t len = end ? (size_t)(end - line) + 1 : n - at;
    at += len;
    if (!memchr(line, '/', len)) continue;
    unsigned long long lo, hi;
    if (sscanf(line, "%llx-%llx", &lo, &hi) == 2 && start_code >= lo &&
        start_code < hi)
      *code_found = 1;
    memmove(text + kept, line, len);
    kept += len;
  }
  return kept;
}

void report_code_maps(void) {
  if (!o.file.live || stopped() ||
      !__atomic_load_n(&o.file.live->sites, __ATOMIC_RELAXED))
    return;
  static char text[TRACE_BATCH_TEXT];
  int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  size_t n = 0;
  ssize_t got;
  while (n < sizeof text &&
         (got = read(fd, text + n, sizeof text - n)) > 0)
    n += (size_t)got;
  close(fd);
  while (n && text[n - 1] != '\n') n--; /* whole lines only */
  int code_found = 0;
  n = keep_file_lines(text, n, qemu_plugin_start_code(), &code_found);
  if (!code_found || !n) return;
  static const char zeros[8];
  struct trace_batch head = {0, 0, 0, 0, 0, 0, getpid(), (uint32_t)n, 0};
  struct iovec iov[] = {
      {&head, sizeof head},
      {text, n},
      {(void *)zeros, trace_batch_bytes(&head) - sizeof head - n}};
  LOCK(write_lock);
  write_ring(iov, 3, trace_batch_bytes(&head), -1, 0, 0);
  UNLOCK(write_lock);
}

/* Counts the loads and stores of b's records from its first not taken to
 * end into head: once a batch rather than once a reference, where the
 * counters stall the callbacks. Sixteen kinds a step where the compiler
 * has SSE2: each kind found adds one to its byte lane (a lane compares
 * to -1 and is subtracted), and the lanes are summed before any can
 * pass 255. */
static void count_kinds(const struct batch *b, uint32_t end,
                        struct trace_batch *head) {
  uint32_t loads = 0, stores = 0, i = b->out.taken;
#if defined(__SSE2__)
  const __m128i load = _mm_set1_epi8(TRACE_KIND_LOAD),
                store = _mm_set1_epi8(TRACE_KIND_STORE),
                zero = _mm_setzero_si128();
  while (i + 16 <= end) {
    __m128i in_loads = zero, in_stores = zero;
    for (int step = 0; step < 255 && i + 16 <= end; step++, i += 16) {
      __m128i kinds = _mm_loadu_si128((const __m128i *)(b->out.kinds + i));
      in_loads = _mm_sub_epi8(in_loads, _mm_cmpeq_epi8(kinds, load));
      in_stores = _mm_sub_epi8(in_stores, _mm_cmpeq_epi8(kinds, store));
    }
    __m128i sums = _mm_add_epi64(_mm_sad_epu8(in_loads, zero),
                                 _mm_slli_epi64(_mm_sad_epu8(in_stores, zero),
                                                32));
    uint64_t halves[2];
    _mm_storeu_si128((__m128i *)halves, sums);
    uint64_t both = halves[0] + halves[1];
    loads += (uint32_t)both;
    stores += (uint32_t)(both >> 32);
  }
#endif
  for (; i < end; i++) {
    loads += b->out.kinds[i] == TRACE_KIND_LOAD;
    stores += b->out.kinds[i] == TRACE_KIND_STORE;
  }
  head->loads = loads;
  head->stores = stores;
}

/* The regions placed since the last batch, taken (the caller frees them). */
static struct trace_region *take_placed(size_t *count) {
  *count = 0;
  if (!__atomic_load_n(&o.placed_count, __ATOMIC_ACQUIRE)) return NULL;
  LOCK(fold_lock);
  struct trace_region *regions = o.placed;
  *count = o.placed_count;
  o.placed = NULL;
  o.placed_count = o.placed_capacity = 0;
  UNLOCK(fold_lock);
  return regions;
}

void write_records(struct batch *b, uint32_t end, int map_full,
                   uint64_t address) {
  if (o.fd >= 0 && getpid() != o.writer_pid) {
    __atomic_store_n(&b->out.taken, end, __ATOMIC_SEQ_CST);
    return;
  }
  struct trace_batch head = {.references = end - b->out.taken,
                             .map_full = (uint32_t)map_full,
                             .thread = b->out.thread,
                             .pid = b->out.pid,
                             .address = address};
  count_kinds(b, end, &head);
  size_t count, sent = 0;
  struct trace_region *regions = take_placed(&count);
  for (; count - sent > TRACE_BATCH_REGIONS; sent += TRACE_BATCH_REGIONS) {
    struct trace_batch only_regions = {.regions = TRACE_BATCH_REGIONS,
                                       .thread = b->out.thread,
                                       .pid = b->out.pid};
    write_batch(&only_regions, regions + sent, NULL);
  }
  head.regions = (uint32_t)(count - sent);
  write_batch(&head, regions + sent, b);
  /* Taken only once the ring has them, in case QEMU dies meanwhile
   * (write_ring: release order is enough). */
  __atomic_store_n(&b->out.taken, end, __ATOMIC_RELEASE);
  if (o.file.live)
    __atomic_store_n(&o.file.live->pending.slot, 0, __ATOMIC_RELEASE);
  free(regions);
  if (map_full) stop();
}

/* ---- Threads ------------------------------------------------------------- */

static uint32_t next_thread(void) {
  uint32_t *seen = o.file.live ? &o.file.live->threads_seen : &o.threads_seen;
  return __atomic_add_fetch(seen, 1, __ATOMIC_SEQ_CST);
}

/* A slot of the shared file for a batch of this process, or -1. */
static int take_slot(void) {
  if (!o.file.live || !o.self) return -1;
  uint32_t owner = trace_slot_owner((int)(o.self - o.file.live->processes),
                                    o.image);
  for (int k = 0; k < TRACE_SLOTS; k++) {
    int i = (int)((o.next_slot + (unsigned)k) % TRACE_SLOTS);
    uint32_t none = 0;
    if (__atomic_compare_exchange_n(&trace_slot_at(&o.file, i)->owner, &none,
                                    owner, 0, __ATOMIC_SEQ_CST,
                                    __ATOMIC_SEQ_CST)) {
      o.next_slot = (unsigned)i + 1;
      return i;
    }
  }
  return -1;
}

struct batch *new_batch(void) {
  int slot = take_slot();
  struct batch *b = slot >= 0 ? (struct batch *)trace_slot_at(&o.file, slot)
                              : aligned_alloc(_Alignof(struct batch),
                                              sizeof *b);
  if (!b) give_up("out of memory");
  b->out.count = b->out.taken = 0;
  b->out.thread = next_thread();
  b->out.pid = getpid();
  b->next_fetch = b->end_fetch = NULL;
  b->fetch_low = b->fetch_high = 0;
  next_cut(b);
  b->queued_to = b->turns_made = b->turns_written = 0;
  b->before = b->after = NULL;
  b->slot = slot;
  b->running = b->forking = 0;
  b->cache = calloc(REGION_CACHE, sizeof *b->cache);
  if (!b->cache) give_up("out of memory");
  return b;
}

/* Frees b, and its slot. */
static void free_batch(struct batch *b) {
  free(b->cache);
  if (b->slot < 0)
    free(b);
  else
    __atomic_store_n(&b->out.owner, 0, __ATOMIC_SEQ_CST);
}

void end_batch(struct batch *b) {
  finish_block(b);
  if (b->out.count != b->out.taken) flush(b, 0, 0);
  set_running(b, 0);
  free_batch(b);
}

/* ---- This process in the run --------------------------------------------- */

void say_state(uint32_t state) {
  if (!o.self) return;
  uint32_t *at = &o.self->state;
  if (state != TRACE_PROC_RUNNING) {
    __atomic_store_n(at, state, __ATOMIC_SEQ_CST);
    announce(); /* vantle-sim may wait for the end, else asleep a tenth */
    return;
  }
  uint32_t was = __atomic_load_n(at, __ATOMIC_SEQ_CST);
  if (was == TRACE_PROC_EXECING || was == TRACE_PROC_LEFT)
    __atomic_compare_exchange_n(at, &was, state, 0, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
}

void register_child(int pid) {
  if (o.self) trace_live_register(&o.file, pid, o.self->name);
}

int can_follow(void) { return o.self && !stopped() && can_follow_exec(); }

enum followed follow_here(const struct guest_abi *abi, int64_t number,
                          const uint64_t *args) {
  return follow_exec(&o.file, abi, number, args, &o.self->state);
}

/* Registers this process in the shared file (named name, unless null);
 * after an exec, as the process's next image. */
static void join_run(const char *name) {
  struct trace_live *live = o.file.live;
  o.self = trace_live_register(&o.file, getpid(), name);
  if (!o.self) {
    trace_live_untraced(&o.file, name ? name : "a program",
                        TRACE_UNTRACED_CROWD);
    stop();
    return;
  }
  trace_live_lock(&o.file, &live->process_lock);
  if (o.self->state == TRACE_PROC_EXECING) {
    o.self->image++;
    o.self->state = TRACE_PROC_RUNNING;
  }
  o.image = o.self->image;
  trace_live_unlock(&live->process_lock);
}

void name_process(void) {
  if (!o.self) return;
  const char *path = qemu_plugin_path_to_binary();
  const char *slash = path ? strrchr(path, '/') : NULL;
  trace_live_lock(&o.file, &o.file.live->process_lock);
  snprintf(o.self->name, sizeof o.self->name, "%s",
           slash ? slash + 1 : path ? path : "?");
  trace_live_unlock(&o.file.live->process_lock);
  free((void *)path);
}

struct batch *batch_of_child(const struct batch *parent) {
  turns_after_fork();
  if (o.fd >= 0) { /* a descriptor: the child writes nothing */
    struct batch *own = aligned_alloc(_Alignof(struct batch), sizeof *own);
    if (!own) give_up("out of memory");
    memcpy(own, parent, sizeof *own);
    own->slot = -1;
    pthread_mutex_init(&o.write_lock, NULL);
    pthread_mutex_init(&o.fold_lock, NULL);
    return own;
  }
  free(o.placed); /* the parent's to write */
  o.placed = NULL;
  o.placed_count = o.placed_capacity = 0;
  if (o.self) {
    char name[TRACE_NAME];
    snprintf(name, sizeof name, "%s", o.self->name);
    o.image = 0;
    join_run(name);
  }
  /* Nothing of the parent's batch: it lies in the parent's slot, which the
   * two processes share and the parent goes on changing while the child
   * starts. No fetch is pending at a fork: the system call ends its block,
   * whose fetches went out as its last instruction started. */
  return new_batch();
}

/* Moves fd above the descriptors a guest usually uses, unless it is there,
 * and makes it close on exec: a program the guest execs must not hold it
 * open. */
static int out_of_guest_way(int fd) {
  int high = fd < TRACE_HIGH_DESCRIPTOR
                 ? fcntl(fd, F_DUPFD_CLOEXEC, TRACE_HIGH_DESCRIPTOR)
                 : -1;
  if (high < 0) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
  }
  close(fd);
  return high;
}

int open_output(int fd, int ring_fd, int bits, uint32_t interleave) {
  start_turns(interleave);
  if (ring_fd >= 0) {
    int mapped = trace_file_map(&o.file, ring_fd, 1);
    close(ring_fd);
    if (!mapped) {
      fprintf(stderr, "vantle plugin: ring=M needs vantle-sim's shared "
                      "file\n");
      return 0;
    }
    region_bits = fm_shared_region_bits(o.file.map);
    uint32_t every = o.file.live->interleave;
    if (every >= 1 && every <= TRACE_BATCH_REFERENCES) start_turns(every);
    join_run(NULL);
    return 1;
  }
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) {
    fprintf(stderr, "vantle plugin: needs an open descriptor as fd=N, or "
                    "vantle-sim's shared file as ring=M\n");
    return 0;
  }
  o.fd = out_of_guest_way(fd);
  o.writer_pid = getpid();
  fm_reset(bits);
  region_bits = fm_region_bits();
  return 1;
}
