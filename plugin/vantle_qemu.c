/* QEMU user-mode plugin of vantle: records every instruction fetch, load
 * and store of the guest program (trace_record.h) and writes them in large
 * batches to the descriptor given as its argument "fd=N". State: one record
 * buffer per vCPU (the guest threads run concurrently, each on its own
 * vCPU), the output descriptor, and a lock that keeps batches of different
 * threads whole. Only the process that loaded the plugin writes: a guest's
 * forked child would otherwise repeat its parent's unwritten records. */
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "trace_record.h"

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
enum { CB_NO_REGS = 0, MEM_READ_WRITE = 3 };

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t, trans_cb);
void qemu_plugin_register_vcpu_init_cb(qemu_plugin_id_t, vcpu_cb);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *,
                                                 size_t);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn *);
void qemu_plugin_register_vcpu_insn_exec_cb(struct qemu_plugin_insn *,
                                            exec_cb, int flags, void *);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *, mem_cb,
                                      int flags, int rw, void *);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t, exit_cb, void *);
_Bool qemu_plugin_mem_is_store(uint32_t meminfo);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

/* 512 KiB a batch: few writes, and a pipe reader gets long runs. */
enum { BATCH_RECORDS = 1 << 16, MAX_VCPUS = 4096 };

struct batch {
  uint64_t *next, *end;
  uint64_t records[BATCH_RECORDS];
};

static struct batch *batches[MAX_VCPUS];
static int out_fd = -1;
static pid_t writer_pid;
static int reader_gone; /* the write failed (EPIPE): write no more */
static pthread_mutex_t write_lock = PTHREAD_MUTEX_INITIALIZER;

static void give_up(const char *why) {
  fprintf(stderr, "vantle plugin: %s\n", why);
  abort();
}

/* Writes all of bytes unless the reader has gone. SIGPIPE is held back
 * meanwhile: QEMU would hand it to the guest, which it would kill. */
static void write_all(const char *bytes, size_t size) {
  sigset_t pipe_only, before;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &before);
  while (size > 0 && !__atomic_load_n(&reader_gone, __ATOMIC_RELAXED)) {
    ssize_t n = write(out_fd, bytes, size);
    if (n > 0) {
      bytes += n;
      size -= (size_t)n;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      __atomic_store_n(&reader_gone, 1, __ATOMIC_RELAXED);
      if (errno == EPIPE) {
        const struct timespec now = {0, 0};
        sigtimedwait(&pipe_only, NULL, &now); /* the SIGPIPE it raised */
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, NULL);
}

/* Writes the batch's records as one piece, then empties it. */
static void flush(struct batch *b) {
  size_t bytes = (size_t)(b->next - b->records) * TRACE_RECORD_BYTES;
  b->next = b->records;
  if (bytes == 0 || getpid() != writer_pid) return;
  pthread_mutex_lock(&write_lock);
  write_all((const char *)b->records, bytes);
  pthread_mutex_unlock(&write_lock);
}

static inline void put(unsigned int vcpu, uint64_t record) {
  struct batch *b = batches[vcpu];
  *b->next++ = record;
  if (b->next == b->end) flush(b);
}

static void on_fetch(unsigned int vcpu, void *record) {
  put(vcpu, (uint64_t)(uintptr_t)record);
}

/* One callback for both directions: QEMU 7.2 does not keep a read-only
 * and a write-only callback of one instruction apart. */
static void on_access(unsigned int vcpu, uint32_t meminfo, uint64_t vaddr,
                      void *unused) {
  (void)unused;
  put(vcpu, trace_record(vaddr, qemu_plugin_mem_is_store(meminfo)
                                    ? TRACE_KIND_STORE
                                    : TRACE_KIND_LOAD));
}

/* A vCPU's batch is made before it runs, so the callbacks need no check.
 * An index is reused only after its thread has ended. */
static void on_vcpu_init(qemu_plugin_id_t id, unsigned int vcpu) {
  (void)id;
  if (vcpu >= MAX_VCPUS) give_up("more than 4096 threads at once");
  if (batches[vcpu]) return;
  struct batch *b = malloc(sizeof *b);
  if (!b) give_up("out of memory");
  b->next = b->records;
  b->end = b->records + BATCH_RECORDS;
  batches[vcpu] = b;
}

/* The fetch record of an instruction is known at translation: it travels
 * as the callback's data. */
static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  size_t n = qemu_plugin_tb_n_insns(tb);
  for (size_t i = 0; i < n; i++) {
    struct qemu_plugin_insn *insn = qemu_plugin_tb_get_insn(tb, i);
    uint64_t fetch =
        trace_record(qemu_plugin_insn_vaddr(insn), TRACE_KIND_FETCH);
    qemu_plugin_register_vcpu_insn_exec_cb(insn, on_fetch, CB_NO_REGS,
                                           (void *)(uintptr_t)fetch);
    qemu_plugin_register_vcpu_mem_cb(insn, on_access, CB_NO_REGS,
                                     MEM_READ_WRITE, NULL);
  }
}

/* The guest has ended (other vCPUs are stopped): the rest goes out. */
static void on_guest_exit(qemu_plugin_id_t id, void *unused) {
  (void)id;
  (void)unused;
  for (int i = 0; i < MAX_VCPUS; i++)
    if (batches[i]) flush(batches[i]);
}

/* Takes "fd=N". The descriptor moves above the ones a guest usually
 * uses and closes on exec: a program the guest execs runs outside QEMU and
 * must neither write to it nor hold it open. */
__attribute__((visibility("default"))) int qemu_plugin_install(
    qemu_plugin_id_t id, const void *info, int argc, char **argv) {
  (void)info;
  for (int i = 0; i < argc; i++) {
    char *end;
    if (strncmp(argv[i], "fd=", 3) == 0) {
      long fd = strtol(argv[i] + 3, &end, 10);
      if (end != argv[i] + 3 && !*end && fd >= 0 && fd < 1 << 20)
        out_fd = (int)fd;
    }
  }
  if (out_fd < 0 || fcntl(out_fd, F_GETFD) < 0) {
    fprintf(stderr, "vantle plugin: needs an open descriptor as fd=N\n");
    return -1;
  }
  int high = out_fd < TRACE_HIGH_DESCRIPTOR
                 ? fcntl(out_fd, F_DUPFD_CLOEXEC, TRACE_HIGH_DESCRIPTOR)
                 : -1;
  if (high >= 0) {
    close(out_fd);
    out_fd = high;
  } else {
    fcntl(out_fd, F_SETFD, FD_CLOEXEC);
  }
  writer_pid = getpid();
  qemu_plugin_register_vcpu_init_cb(id, on_vcpu_init);
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, on_guest_exit, NULL);
  return 0;
}
