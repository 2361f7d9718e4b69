/* QEMU user-mode plugin of vantle: records every instruction fetch, load
 * and store of the guest program, folds each address into 32 bits
 * (fold_map.h) and hands them on in large batches (trace_record.h): into
 * the ring it shares with vantle-sim (trace_ring.h, live_ring.h), or to a
 * descriptor. Folding here, on QEMU's side, spares vantle-sim, which
 * simulates the cache meanwhile, all work per record.
 * With the ring the plugin holds no descriptor, so nothing the program
 * does to its descriptors touches the trace, and it fills its batches in
 * the shared file's slots, so that vantle-sim takes what they hold when
 * QEMU dies without flushing them (a signal ends the program). It flushes
 * at the program's exit and before each exec (the new program runs
 * untraced), and says which of the two ended it.
 * State: one batch per vCPU (the guest threads run concurrently, each on
 * its own vCPU), with a small cache of the regions it folded; the folding
 * map and the regions newly placed in it, under fold_lock; the output
 * (descriptor or ring), under write_lock, which keeps batches whole. Only
 * the process that loaded the plugin writes: a guest's forked child would
 * otherwise repeat its parent's unwritten records. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "transport/fold_map.h"
#include "transport/live_ring.h"
#include "transport/trace_record.h"
#include "transport/trace_ring.h"

/* The part of QEMU's plugin interface used here (no header is packaged). */
typedef uint64_t qemu_plugin_id_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef void (*trans_cb)(qemu_plugin_id_t, struct qemu_plugin_tb *);
typedef void (*vcpu_cb)(qemu_plugin_id_t, unsigned int vcpu_index);
typedef void (*exec_cb)(unsigned int vcpu_index, void *userdata);
typedef void (*mem_cb)(unsigned int vcpu_index, uint32_t meminfo,
                       uint64_t vaddr, void *userdata);
typedef void (*exit_cb)(qemu_plugin_id_t, void *userdata);
typedef void (*syscall_cb)(qemu_plugin_id_t, unsigned int vcpu_index,
                           int64_t number, uint64_t, uint64_t, uint64_t,
                           uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);
typedef void (*syscall_return_cb)(qemu_plugin_id_t, unsigned int vcpu_index,
                                  int64_t number, int64_t result);
struct qemu_info {
  const char *target_name; /* the first field of QEMU's qemu_info_t */
};
enum { CB_NO_REGS = 0, MEM_READ_WRITE = 3 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t, trans_cb);
void qemu_plugin_register_vcpu_init_cb(qemu_plugin_id_t, vcpu_cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *,
                                                 size_t);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *,
                                            exec_cb, int flags, void *);
void qemu_plugin_register_vcpu_tb_exec_cb(struct qemu_plugin_tb *, exec_cb,
                                          int flags, void *);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *, mem_cb,
                                      int flags, int rw, void *);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t, exit_cb, void *);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t, syscall_cb);
void qemu_plugin_register_vcpu_syscall_ret_cb(qemu_plugin_id_t,
                                              syscall_return_cb);
_Bool qemu_plugin_mem_is_store(uint32_t meminfo);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* A program's data references fall in a few hundred regions at a time
 * even when they are small (a family of small caches folds by pages), and
 * a cache per vCPU holds that many: a miss takes the lock. */
enum { MAX_VCPUS = 4096, REGION_CACHE = 1024 };

/* A translated block: the folded addresses of its instructions. A
 * callback as the block starts and one as its last instruction starts
 * stand for all its fetches, which go out lazily, each just before the
 * instruction's first access or with the last instruction: the same order
 * as a callback per instruction gives, for far less of QEMU's time. A
 * block whose last callback never came was cut short: QEMU restarted an
 * instruction that wrote to translated code, or dropped from the block a
 * last instruction that crosses into another page (QEMU 7.2 still lists
 * it). The next block starts at the first instruction that did not run,
 * and only the fetches before it are recorded (all of them when a fault
 * sends the guest to its signal handler). QEMU never says when it drops a
 * block, so blocks are never freed (a program translates each once or a
 * few times). */
struct block {
  uint32_t count;
  uint32_t fetches[];
};

/* The records come first: in a slot, they are what vantle-sim takes. */
struct batch {
  struct trace_slot out;
  /* The fetches of the running block not yet recorded. */
  const uint32_t *next_fetch, *end_fetch;
  struct {
    uint64_t region; /* ~0: none (a region has at most 63 bits) */
    uint32_t base;
  } cache[REGION_CACHE];
};
_Static_assert(sizeof(struct batch) <= TRACE_SLOT_BYTES, "a batch per slot");

static struct batch *batches[MAX_VCPUS];
static int out_fd = -1;
/* "ring=M": the shared file's ring, the plugin's word and the slots. */
static struct trace_ring *ring;
static struct trace_live *live;
static unsigned char *slots;
/* The guest's exec calls (none known: -1), for the guest's machine. */
static int64_t execve_number = -1, execveat_number = -1;
static int region_bits; /* as the folding map's, read without its lock */
static pid_t writer_pid;
static int stopped; /* the reader has gone, or the map is full */
static pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t fold_lock = PTHREAD_MUTEX_INITIALIZER;
static struct trace_region *placed; /* regions placed since the last batch */
static size_t placed_count, placed_capacity;

static void give_up(const char *why) {
  fprintf(stderr, "vantle plugin: %s\n", why);
  abort();
}

/* Folds address under the lock, noting a newly placed region for the next
 * batch. Returns 0 when the map is full. */
static int fold(uint64_t address, uint32_t *folded) {
  pthread_mutex_lock(&fold_lock);
  enum fm_result result = fm_fold(address, folded);
  if (result == FM_NEW_REGION) {
    if (placed_count == placed_capacity) {
      placed_capacity = placed_capacity ? 2 * placed_capacity : 64;
      placed = realloc(placed, placed_capacity * sizeof *placed);
      if (!placed) result = FM_NO_MEMORY;
    }
    if (placed) {
      placed[placed_count].region = address >> region_bits;
      placed[placed_count++].place = (uint64_t)*folded >> region_bits;
    }
  }
  pthread_mutex_unlock(&fold_lock);
  if (result == FM_NO_MEMORY) give_up("out of memory");
  return result != FM_FULL;
}

/* Writes the iov pieces whole unless the reader has gone. SIGPIPE is held
 * back meanwhile: QEMU would hand it to the guest, which it would kill. */
static void write_all(struct iovec *iov, int count) {
  sigset_t pipe_only, before;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &before);
  while (count > 0 && !__atomic_load_n(&stopped, __ATOMIC_RELAXED)) {
    ssize_t n = writev(out_fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      __atomic_store_n(&stopped, 1, __ATOMIC_RELAXED);
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

/* Whether vantle-sim, QEMU's parent, has gone (the program then runs on
 * untraced): a wait for room in the ring stops then. */
static int reader_gone(void *unused) {
  (void)unused;
  return getppid() != live->reader_pid;
}

/* Copies the iov pieces into the ring as one batch and tells vantle-sim;
 * out, the slot they come from, says meanwhile where they will be whole. */
static void write_ring(const struct iovec *iov, int count, size_t bytes,
                       struct trace_slot *out) {
  if (trace_ring_wait(ring, TRACE_RING_WRITER, bytes, reader_gone, NULL)) {
    __atomic_store_n(&stopped, 1, __ATOMIC_RELAXED);
    return;
  }
  if (out) __atomic_store_n(&out->publishing, ring->written + bytes,
                            __ATOMIC_SEQ_CST);
  unsigned char *at = trace_ring_at(ring, ring->written);
  for (int i = 0; i < count; i++) {
    if (iov[i].iov_len) memcpy(at, iov[i].iov_base, iov[i].iov_len);
    at += iov[i].iov_len;
  }
  trace_ring_publish(ring, bytes);
}

/* Writes one batch: head, regions, then the first n records of b (none
 * when b is null). */
static void write_batch(struct trace_batch *head,
                        const struct trace_region *regions,
                        struct batch *b) {
  static const char zeros[8];
  uint32_t n = head->references;
  struct iovec iov[] = {
      {head, sizeof *head},
      {(void *)regions, head->regions * sizeof *regions},
      {b ? (void *)b->out.addresses : NULL, n * sizeof(uint32_t)},
      {b ? (void *)b->out.kinds : NULL, n},
      {(void *)zeros, trace_batch_bytes(head) - trace_batch_kinds(head) - n}};
  int count = sizeof iov / sizeof iov[0];
  if (__atomic_load_n(&stopped, __ATOMIC_RELAXED)) return;
  if (ring)
    write_ring(iov, count, trace_batch_bytes(head), b ? &b->out : NULL);
  else
    write_all(iov, count);
}

/* Counts the batch's loads and stores into its head: once a batch, where
 * the loop vectorises, rather than once a reference, where the counters
 * stall the callbacks. */
static void count_kinds(const struct batch *b, struct trace_batch *head) {
  uint32_t loads = 0, stores = 0;
  for (uint32_t i = 0; i < b->out.count; i++) {
    loads += b->out.kinds[i] == TRACE_KIND_LOAD;
    stores += b->out.kinds[i] == TRACE_KIND_STORE;
  }
  head->loads = loads;
  head->stores = stores;
}

/* Writes the batch's records, after the regions placed since the last
 * batch, then empties it. map_full: the trace ends at address. */
static void flush(struct batch *b, int map_full, uint64_t address) {
  if (getpid() != writer_pid) {
    b->out.count = 0;
    return;
  }
  struct trace_batch head = {b->out.count, 0, 0, 0, (uint32_t)map_full, 0,
                             address};
  count_kinds(b, &head);
  pthread_mutex_lock(&write_lock);
  pthread_mutex_lock(&fold_lock);
  struct trace_region *regions = placed;
  size_t count = placed_count;
  placed = NULL;
  placed_count = placed_capacity = 0;
  pthread_mutex_unlock(&fold_lock);
  size_t sent = 0;
  for (; count - sent > TRACE_BATCH_REGIONS; sent += TRACE_BATCH_REGIONS) {
    struct trace_batch only_regions = {0, TRACE_BATCH_REGIONS, 0, 0, 0, 0, 0};
    write_batch(&only_regions, regions + sent, NULL);
  }
  head.regions = (uint32_t)(count - sent);
  write_batch(&head, regions + sent, b);
  /* Emptied only once the ring has it, in case QEMU dies meanwhile. */
  __atomic_store_n(&b->out.count, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&b->out.publishing, 0, __ATOMIC_SEQ_CST);
  free(regions);
  if (map_full) __atomic_store_n(&stopped, 1, __ATOMIC_RELAXED);
  pthread_mutex_unlock(&write_lock);
}

static inline void put(struct batch *b, uint32_t folded, uint8_t kind) {
  b->out.addresses[b->out.count] = folded;
  b->out.kinds[b->out.count] = kind;
  if (++b->out.count == TRACE_BATCH_REFERENCES) flush(b, 0, 0);
}

/* Records the running block's fetches up to and including *last. */
static inline void fetch_through(struct batch *b, const uint32_t *last) {
  while (b->next_fetch <= last) put(b, *b->next_fetch++, TRACE_KIND_FETCH);
}

/* Records the fetches left of the block that ran last. */
static inline void finish_block(struct batch *b) {
  while (b->next_fetch < b->end_fetch)
    put(b, *b->next_fetch++, TRACE_KIND_FETCH);
}

/* Fetches left of the last block mean it was cut short: the ones before
 * this block's first instruction ran. */
static void on_block(unsigned int vcpu, void *data) {
  struct batch *b = batches[vcpu];
  const struct block *block = data;
  while (b->next_fetch < b->end_fetch && *b->next_fetch != block->fetches[0])
    put(b, *b->next_fetch++, TRACE_KIND_FETCH);
  b->next_fetch = block->fetches;
  b->end_fetch = block->fetches + block->count;
}

static void on_last_instruction(unsigned int vcpu, void *unused) {
  (void)unused;
  finish_block(batches[vcpu]);
}

/* A block whose every address did not fold has a callback per fetch: its
 * folded address, or its address, as the callback's data. */
static void on_fetch(unsigned int vcpu, void *folded) {
  struct batch *b = batches[vcpu];
  finish_block(b);
  put(b, (uint32_t)(uintptr_t)folded, TRACE_KIND_FETCH);
}

static void on_unfoldable_fetch(unsigned int vcpu, void *address) {
  finish_block(batches[vcpu]);
  if (!__atomic_load_n(&stopped, __ATOMIC_RELAXED))
    flush(batches[vcpu], 1, (uint64_t)(uintptr_t)address);
}

/* One callback for both directions: QEMU 7.2 does not keep a read-only
 * and a write-only callback of one instruction apart. Its data points at
 * the instruction's fetch in its block (null: the block has a callback
 * per fetch). */
static void on_access(unsigned int vcpu, uint32_t meminfo, uint64_t vaddr,
                      void *fetch) {
  struct batch *b = batches[vcpu];
  if (fetch) fetch_through(b, fetch);
  const int bits = region_bits;
  uint64_t region = vaddr >> bits;
  unsigned at = (unsigned)(region % REGION_CACHE);
  if (b->cache[at].region != region) {
    uint32_t folded;
    if (!fold(vaddr, &folded)) {
      if (!__atomic_load_n(&stopped, __ATOMIC_RELAXED)) flush(b, 1, vaddr);
      return;
    }
    b->cache[at].region = region;
    b->cache[at].base = folded & ~(uint32_t)((1ull << bits) - 1);
  }
  put(b, b->cache[at].base | (uint32_t)(vaddr & ((1ull << bits) - 1)),
      qemu_plugin_mem_is_store(meminfo) ? TRACE_KIND_STORE : TRACE_KIND_LOAD);
}

/* A vCPU's batch is made before it runs, so the callbacks need no check;
 * with the ring, in its slot while there is one. An index is reused only
 * after its thread has ended. */
static void on_vcpu_init(qemu_plugin_id_t id, unsigned int vcpu) {
  (void)id;
  if (vcpu >= MAX_VCPUS) give_up("more than 4096 threads at once");
  if (batches[vcpu]) return;
  struct batch *b = slots && vcpu < TRACE_SLOTS
                        ? (struct batch *)(slots + vcpu * TRACE_SLOT_BYTES)
                        : malloc(sizeof *b);
  if (!b) give_up("out of memory");
  b->out.count = 0;
  b->next_fetch = b->end_fetch = NULL;
  for (int i = 0; i < REGION_CACHE; i++) b->cache[i].region = ~0ull;
  batches[vcpu] = b;
}

/* Gives each instruction of the block a fetch callback and a memory one. */
static void instrument_each(struct qemu_plugin_tb *tb, size_t n) {
  for (size_t i = 0; i < n; i++) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    uint64_t address = qemu_plugin_insn_vaddr(insn);
    uint32_t folded;
    if (fold(address, &folded))
      qemu_plugin_register_vcpu_insn_exec_cb(insn, on_fetch, CB_NO_REGS,
                                             (void *)(uintptr_t)folded);
    else
      qemu_plugin_register_vcpu_insn_exec_cb(insn, on_unfoldable_fetch,
                                             CB_NO_REGS,
                                             (void *)(uintptr_t)address);
    qemu_plugin_register_vcpu_mem_cb(insn, on_access, CB_NO_REGS,
                                     MEM_READ_WRITE, NULL);
  }
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  size_t n = qemu_plugin_tb_n_insns(tb);
  struct block *block = malloc(sizeof *block + n * sizeof(uint32_t));
  if (!block) give_up("out of memory");
  block->count = (uint32_t)n;
  for (size_t i = 0; i < n; i++)
    if (!fold(qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, i)),
              &block->fetches[i])) {
      free(block);
      instrument_each(tb, n);
      return;
    }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, on_block, CB_NO_REGS, block);
  qemu_plugin_register_vcpu_insn_exec_cb(qemu_plugin_tb_get_insn(tb, n - 1),
                                         on_last_instruction, CB_NO_REGS, NULL);
  for (size_t i = 0; i < n; i++)
    qemu_plugin_register_vcpu_mem_cb(qemu_plugin_tb_get_insn(tb, i),
                                     on_access, CB_NO_REGS, MEM_READ_WRITE,
                                     &block->fetches[i]);
}

/* Tells vantle-sim how the program ended (0: it runs on after all). */
static void say_ended(uint32_t how) {
  if (!live || getpid() != writer_pid) return;
  __atomic_store_n(&live->ended, how, __ATOMIC_SEQ_CST);
  trace_ring_wake(&ring->reader_waiting);
}

/* The guest has ended (other vCPUs are stopped): the rest goes out. */
static void on_guest_exit(qemu_plugin_id_t id, void *unused) {
  (void)id;
  (void)unused;
  for (int i = 0; i < MAX_VCPUS; i++) {
    if (!batches[i]) continue;
    finish_block(batches[i]);
    if (batches[i]->out.count) flush(batches[i], 0, 0);
  }
  say_ended(TRACE_LIVE_EXITED);
}

/* An exec replaces QEMU with the new program, which runs untraced, and
 * QEMU calls no exit callback: the calling thread's records go out first. */
static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t number,
                       uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4,
                       uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8) {
  (void)id, (void)a1, (void)a2, (void)a3, (void)a4, (void)a5, (void)a6;
  (void)a7, (void)a8;
  if (number != execve_number && number != execveat_number) return;
  struct batch *b = batches[vcpu];
  finish_block(b);
  if (b->out.count) flush(b, 0, 0);
  say_ended(TRACE_LIVE_EXECED);
}

/* An exec that returns has failed: the program goes on. */
static void on_syscall_return(qemu_plugin_id_t id, unsigned int vcpu,
                              int64_t number, int64_t result) {
  (void)id, (void)vcpu, (void)result;
  if (number == execve_number || number == execveat_number) say_ended(0);
}

/* Sets the numbers of execve and execveat on the guest's machine. */
static void watch_exec(const char *machine) {
  static const struct {
    const char *machine;
    int64_t execve, execveat;
  } calls[] = {{"x86_64", 59, 322},      {"i386", 11, 358},
               {"aarch64", 221, 281},    {"aarch64_be", 221, 281},
               {"riscv64", 221, 281},    {"riscv32", 221, 281},
               {"loongarch64", 221, 281}, {"arm", 11, 387},
               {"armeb", 11, 387},       {"ppc", 11, 362},
               {"ppc64", 11, 362},       {"ppc64le", 11, 362},
               {"s390x", 11, 354}};
  for (size_t i = 0; machine && i < sizeof calls / sizeof calls[0]; i++)
    if (!strcmp(machine, calls[i].machine)) {
      execve_number = calls[i].execve;
      execveat_number = calls[i].execveat;
    }
}

/* A forked guest's QEMU must not fill its parent's slots: its batches
 * become its own. */
static void on_fork_child(void) {
  for (int i = 0; i < TRACE_SLOTS; i++) {
    if (!batches[i]) continue;
    struct batch *own = malloc(sizeof *own);
    if (!own) give_up("out of memory");
    memcpy(own, batches[i], sizeof *own);
    batches[i] = own;
  }
}

/* Maps the shared file ring_fd (live_ring.h) and closes it; 0 when it is
 * not one. */
static int map_shared_file(int ring_fd) {
  struct stat st;
  if (fstat(ring_fd, &st) == 0 &&
      (size_t)st.st_size >= trace_live_file_bytes()) {
    ring = trace_ring_map(ring_fd);
    slots = trace_live_map_slots(ring_fd);
  }
  close(ring_fd);
  if (!ring || !slots) return 0;
  live = trace_live_of(ring);
  pthread_atfork(NULL, NULL, on_fork_child);
  return 1;
}

/* The value of argument arg when it is name=value with value a number in
 * 0..most; else -1. */
static long number_argument(const char *arg, const char *name, long most) {
  size_t len = strlen(name);
  if (strncmp(arg, name, len) != 0 || arg[len] != '=') return -1;
  char *end;
  long value = strtol(arg + len + 1, &end, 10);
  return end != arg + len + 1 && !*end && value >= 0 && value <= most
             ? value
             : -1;
}

/* Moves fd above the descriptors a guest usually uses, unless it is there,
 * and makes it close on exec: a program the guest execs runs outside QEMU
 * and must neither write to it nor hold it open. */
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

/* Takes "ring=M" or "fd=N", and "region=B": the batches go into the file
 * M shares with vantle-sim (live_ring.h), or to descriptor N. */
__attribute__((visibility("default"))) int qemu_plugin_install(
    qemu_plugin_id_t id, const struct qemu_info *info, int argc,
    char **argv) {
  long bits = FM_DEFAULT_REGION_BITS, ring_fd = -1;
  for (int i = 0; i < argc; i++) {
    long fd = number_argument(argv[i], "fd", (1 << 20) - 1);
    if (fd >= 0) out_fd = (int)fd;
    if (!strncmp(argv[i], "region=", 7))
      bits = number_argument(argv[i], "region", 32);
    if (!strncmp(argv[i], "ring=", 5))
      ring_fd = number_argument(argv[i], "ring", (1 << 20) - 1);
  }
  if (ring_fd < 0 && (out_fd < 0 || fcntl(out_fd, F_GETFD) < 0)) {
    fprintf(stderr, "vantle plugin: needs an open descriptor as fd=N, or "
                    "vantle-sim's shared file as ring=M\n");
    return -1;
  }
  if (bits < 1) {
    fprintf(stderr, "vantle plugin: region=B needs B in 1..32\n");
    return -1;
  }
  if (ring_fd >= 0 && !map_shared_file((int)ring_fd)) {
    fprintf(stderr, "vantle plugin: ring=M needs vantle-sim's shared file\n");
    return -1;
  }
  if (!ring) out_fd = out_of_guest_way(out_fd);
  fm_reset((int)bits);
  region_bits = fm_region_bits();
  writer_pid = getpid();
  watch_exec(info ? info->target_name : NULL);
  qemu_plugin_register_vcpu_init_cb(id, on_vcpu_init);
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
  qemu_plugin_register_vcpu_syscall_ret_cb(id, on_syscall_return);
  qemu_plugin_register_atexit_cb(id, on_guest_exit, NULL);
  return 0;
}
