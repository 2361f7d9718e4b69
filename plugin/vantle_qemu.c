/* QEMU user-mode plugin of vantle: records every instruction fetch, load
 * and store of the guest program, folds each address into 32 bits
 * (fold_map.h) and hands them on in batches of one thread's references
 * (trace_record.h, batch_out.h): into the ring of the file it shares with
 * vantle-sim (live_ring.h), or to a descriptor. Folding here, on QEMU's
 * side, spares vantle-sim, which simulates the cache meanwhile, all work
 * per record.
 * With the shared file, every process of the program's tree is traced:
 * a forked child's plugin goes on in the child, and an exec runs the new
 * program under QEMU with the plugin again (follow_exec.h); all of them
 * fold with the one map in the file. Threads' references reach the ring
 * finely interleaved: while more than one thread of the process is out of
 * system calls, the threads take turns, a batch every `interleave'
 * references (256), in strict rotation (turns.h), and a thread's turns
 * are written before its system call; a thread that runs alone, and
 * every process, fills whole batches.
 * State: one batch per vCPU (the guest threads run concurrently, each on
 * its own vCPU), with a small cache of the regions it folded; the guest's
 * machine; this process's entry in the file. */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin/batch_out.h"
#include "plugin/follow_exec.h"
#include "plugin/qemu_api.h"
#include "plugin/turns.h"

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

enum { MAX_VCPUS = 4096 };

static struct batch *batches[MAX_VCPUS];
static const struct guest_abi *abi;
/* The vCPU that forks, for the child's side of the fork. */
static _Thread_local unsigned int forking_vcpu;

/* ---- Recording ----------------------------------------------------------- */

/* A translated block: the folded addresses of its instructions. A
 * callback as the block starts and one as its last instruction starts
 * (none where that instruction records them otherwise:
 * ends_without_callback) stand for all its fetches, which go out lazily,
 * each just before the instruction's first access, with the last
 * instruction, or as the next block starts: the same order as a callback
 * per instruction gives, for far less of QEMU's time. A block was cut
 * short when the next one starts at one of its instructions whose fetch
 * is not recorded yet: QEMU restarted an instruction that wrote to
 * translated code, or dropped from the block a last instruction that
 * crosses into another page (QEMU 7.2 still lists it). Only the fetches
 * before that instruction are recorded (all of them when a fault sends
 * the guest to its signal handler). QEMU never says when it drops a
 * block, so blocks are never freed (a program translates each once or a
 * few times). */
struct block {
  uint32_t count;
  uint32_t low, high; /* the lowest and highest of its fetches */
  uint32_t fetches[];
};

/* What a callback records most often, with no call, so that it needs no
 * frame: the running block's fetches before end and, unless kind is 0,
 * one more record, when they all fit before the cut. Returns 0, having
 * recorded nothing, when they do not. */
static inline int put_before_cut(struct batch *b, const uint32_t *end,
                                 uint32_t folded, uint8_t kind) {
  const uint32_t *from = b->next_fetch;
  uint32_t n = end > from ? (uint32_t)(end - from) : 0;
  uint32_t count = b->out.count;
  if (count + n + (kind != 0) >= b->cut) return 0;
  copy_fetches(b, count, from, n);
  b->next_fetch = from + n;
  if (kind) {
    b->out.addresses[count + n] = folded;
    b->out.kinds[count + n] = kind;
    n++;
  }
  b->out.count = count + n;
  return 1;
}

/* The last block's fetches not recorded yet ran, unless this block starts
 * at one of them: then the last was cut short, and only the ones before
 * this block's first instruction ran. */
static void on_block(unsigned int vcpu, void *data) {
  struct batch *b = batches[vcpu];
  const struct block *block = data;
  const uint32_t *left = b->end_fetch, first = block->fetches[0];
  if (first >= b->fetch_low && first <= b->fetch_high)
    for (left = b->next_fetch; left < b->end_fetch && *left != first; left++) {
    }
  if (!put_before_cut(b, left, 0, 0)) put_fetches(b, left);
  b->next_fetch = block->fetches;
  b->end_fetch = block->fetches + block->count;
  b->fetch_low = block->low;
  b->fetch_high = block->high;
}

static void on_last_instruction(unsigned int vcpu, void *unused) {
  (void)unused;
  struct batch *b = batches[vcpu];
  if (!put_before_cut(b, b->end_fetch, 0, 0)) finish_block(b);
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
  end_at_full_map(batches[vcpu], (uint64_t)(uintptr_t)address);
}

/* The bit of a memory callback's meminfo that says store, when QEMU's
 * answer depends on that bit alone (install asks it about each bit); else
 * -1, and QEMU is asked each time. */
static int store_bit = -1;
_Static_assert(TRACE_KIND_STORE == TRACE_KIND_LOAD + 1, "a store bit");

static void find_store_bit(void) {
  int found = -1;
  for (int bit = 0; bit < 32; bit++)
    if (qemu_plugin_mem_is_store(1u << bit)) {
      if (found >= 0) return;
      found = bit;
    }
  if (found >= 0 && !qemu_plugin_mem_is_store(0) &&
      qemu_plugin_mem_is_store(~0u) &&
      !qemu_plugin_mem_is_store(~0u ^ (1u << found)))
    store_bit = found;
}

/* A load or store at vaddr by the instruction whose fetch is *fetch (null:
 * the block has a callback per fetch). */
__attribute__((noinline)) static void record_access(struct batch *b,
                                                    uint64_t vaddr,
                                                    uint8_t kind,
                                                    const uint32_t *fetch) {
  if (fetch) put_fetches(b, fetch + 1);
  const int bits = region_bits;
  uint64_t region = vaddr >> bits;
  struct cached_region *c = &b->cache[region % REGION_CACHE];
  if (c->key != region + 1) {
    uint32_t folded;
    if (!fold(vaddr, &folded)) {
      end_at_full_map(b, vaddr);
      return;
    }
    c->key = region + 1;
    c->base = folded & ~(uint32_t)((1ull << bits) - 1);
  }
  put(b, c->base | (uint32_t)(vaddr & ((1ull << bits) - 1)), kind);
}

/* One callback for both directions: QEMU 7.2 does not keep a read-only
 * and a write-only callback of one instruction apart. Its data points at
 * the instruction's fetch in its block. */
static void on_access(unsigned int vcpu, uint32_t meminfo, uint64_t vaddr,
                      void *fetch) {
  struct batch *b = batches[vcpu];
  uint8_t kind = (uint8_t)(TRACE_KIND_LOAD + (meminfo >> store_bit & 1));
  const int bits = region_bits;
  uint64_t region = vaddr >> bits;
  const struct cached_region *c = &b->cache[region % REGION_CACHE];
  if (fetch && c->key == region + 1 &&
      put_before_cut(b, (const uint32_t *)fetch + 1,
                     c->base | (uint32_t)(vaddr & ((1ull << bits) - 1)), kind))
    return;
  record_access(b, vaddr, kind, fetch);
}

static void on_access_asking(unsigned int vcpu, uint32_t meminfo,
                             uint64_t vaddr, void *fetch) {
  record_access(batches[vcpu], vaddr,
                qemu_plugin_mem_is_store(meminfo) ? TRACE_KIND_STORE
                                                  : TRACE_KIND_LOAD,
                fetch);
}

static mem_cb access_callback(void) {
  return store_bit >= 0 ? on_access : on_access_asking;
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
    qemu_plugin_register_vcpu_mem_cb(insn, access_callback(), CB_NO_REGS,
                                     MEM_READ_WRITE, NULL);
  }
}

/* Where an x86-64 jump or conditional jump to a fixed place goes: its
 * opcode at code[at] (after the prefixes), size bytes in all, at address
 * insn_at. 0 when the instruction is no such jump. */
static int jump_target(const uint8_t *code, size_t size, size_t at,
                       uint64_t insn_at, uint64_t *target) {
  uint8_t op = code[at];
  int64_t offset; /* the instruction's last byte, or last four */
  if ((op >= 0x70 && op <= 0x7f) || op == 0xeb || (op >= 0xe0 && op <= 0xe3))
    offset = (int8_t)code[size - 1];
  else if (size >= 4 && (op == 0xe9 || (op == 0x0f && at + 1 < size &&
                                        (code[at + 1] & 0xf0) == 0x80)))
    offset = (int32_t)((uint32_t)code[size - 4] |
                       (uint32_t)code[size - 3] << 8 |
                       (uint32_t)code[size - 2] << 16 |
                       (uint32_t)code[size - 1] << 24);
  else
    return 0;
  *target = insn_at + size + (uint64_t)offset;
  return 1;
}

/* Whether the block's last instruction records the block's last fetches
 * itself, or leaves them to the next block, so that the block needs no
 * callback at it (x86-64 guests only):
 * - a call (which pushes the return address) or a return (which pops it)
 *   always accesses memory, and that access records them;
 * - a jump or conditional jump to a fixed place outside the block: the
 *   next block then starts outside it, and on_block records every fetch
 *   left (only a block that starts at one of this block's instructions
 *   tells that this one was cut short).
 * An instruction QEMU drops from the block (it crosses into another page)
 * starts the next block and is not run in this one: its callback would
 * not come either. */
static int ends_without_callback(struct qemu_plugin_tb *tb, size_t n) {
  if (!abi || strcmp(abi->machine, "x86_64") != 0) return 0;
  const struct qemu_plugin_insn *last = qemu_plugin_tb_get_insn(tb, n - 1);
  const uint8_t *code = qemu_plugin_insn_data(last);
  size_t size = qemu_plugin_insn_size(last), i = 0;
  int short_offset = 0; /* 66: a jump's offset is 16 bits */
  for (; i < size && (code[i] == 0x66 || code[i] == 0xf2 || code[i] == 0x3e ||
                      code[i] == 0x2e || (code[i] & 0xf0) == 0x40);
       i++)
    short_offset |= code[i] == 0x66;
  if (i >= size) return 0;
  if (code[i] == 0xe8 || code[i] == 0xc3 || code[i] == 0xc2) return 1;
  if (code[i] == 0xff) return i + 1 < size && (code[i + 1] >> 3 & 7) == 2;
  uint64_t start = qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, 0));
  uint64_t at = qemu_plugin_insn_vaddr(last), target;
  return !short_offset && jump_target(code, size, i, at, &target) &&
         (target < start || target >= at + size);
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  static int named;
  if (!__atomic_exchange_n(&named, 1, __ATOMIC_SEQ_CST)) name_process();
  size_t n = qemu_plugin_tb_n_insns(tb);
  struct block *block = malloc(sizeof *block + n * sizeof(uint32_t));
  if (!block) give_up("out of memory");
  block->count = (uint32_t)n;
  block->low = UINT32_MAX;
  block->high = 0;
  for (size_t i = 0; i < n; i++) {
    if (!fold(qemu_plugin_insn_vaddr(qemu_plugin_tb_get_insn(tb, i)),
              &block->fetches[i])) {
      free(block);
      instrument_each(tb, n);
      return;
    }
    if (block->fetches[i] < block->low) block->low = block->fetches[i];
    if (block->fetches[i] > block->high) block->high = block->fetches[i];
  }
  qemu_plugin_register_vcpu_tb_exec_cb(tb, on_block, CB_NO_REGS, block);
  if (!ends_without_callback(tb, n))
    qemu_plugin_register_vcpu_insn_exec_cb(qemu_plugin_tb_get_insn(tb, n - 1),
                                           on_last_instruction, CB_NO_REGS,
                                           NULL);
  for (size_t i = 0; i < n; i++)
    qemu_plugin_register_vcpu_mem_cb(qemu_plugin_tb_get_insn(tb, i),
                                     access_callback(), CB_NO_REGS,
                                     MEM_READ_WRITE,
                                     &block->fetches[i]);
}

/* ---- Threads, processes and execs ---------------------------------------- */

/* A vCPU's batch is made before it runs, so the callbacks need no check.
 * An index is reused only after its thread has ended. */
static void on_vcpu_init(qemu_plugin_id_t id, unsigned int vcpu) {
  (void)id;
  if (vcpu >= MAX_VCPUS) give_up("more than 4096 threads at once");
  batches[vcpu] = new_batch();
  set_running(batches[vcpu], 1);
}

/* A thread has ended: its records go out, and its slot is free. */
static void on_vcpu_exit(qemu_plugin_id_t id, unsigned int vcpu) {
  (void)id;
  if (vcpu >= MAX_VCPUS || !batches[vcpu]) return;
  end_batch(batches[vcpu]);
  batches[vcpu] = NULL;
}

/* The guest has ended (other vCPUs are stopped): the rest goes out. */
static void on_guest_exit(qemu_plugin_id_t id, void *unused) {
  (void)id;
  (void)unused;
  for (int i = 0; i < MAX_VCPUS; i++)
    if (batches[i]) queue_rest(batches[i]);
  write_queued();
  for (int i = 0; i < MAX_VCPUS; i++)
    if (batches[i]) end_batch(batches[i]);
  report_code_maps();
  say_state(TRACE_PROC_EXITED);
}

static int is_exec(int64_t number) {
  return abi && (number == abi->execve || number == abi->execveat);
}

static int is_fork(int64_t number) {
  return abi && number >= 0 && (number == abi->clone ||
                                number == abi->fork || number == abi->vfork);
}

/* An exec replaces QEMU with the new program, and QEMU calls no exit
 * callback: the thread's records go out first; then the new program runs
 * under QEMU if it can (the call does not return), else untraced. Before
 * any other system call, while other threads run, the thread's records go
 * out, so that what it did before a call that wakes another thread comes
 * first. */
static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t number,
                       uint64_t a1, uint64_t a2, uint64_t a3, uint64_t a4,
                       uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8) {
  (void)id, (void)a6, (void)a7, (void)a8;
  struct batch *b = batches[vcpu];
  if (is_exec(number) || others_running()) {
    finish_block(b);
    if (b->out.count != b->out.taken) flush(b, 0, 0);
  }
  announce();
  if (is_fork(number)) {
    b->forking = 1;
    forking_vcpu = vcpu;
  }
  set_running(b, 0);
  if (is_exec(number) && can_follow()) {
    report_code_maps();
    const uint64_t args[] = {a1, a2, a3, a4, a5};
    if (follow_here(abi, number, args) == EXEC_UNTRACED)
      say_state(TRACE_PROC_LEFT);
  }
}

/* Whether task tid is a thread of this process (else a child process). */
static int own_thread(int64_t tid) {
  char path[64];
  struct stat st;
  snprintf(path, sizeof path, "/proc/self/task/%lld", (long long)tid);
  return stat(path, &st) == 0;
}

/* An exec that returns has failed: the program goes on. A fork's child is
 * registered by its parent too, before the parent goes on, so that
 * vantle-sim waits for it even should the parent end at once. */
static void on_syscall_return(qemu_plugin_id_t id, unsigned int vcpu,
                              int64_t number, int64_t result) {
  (void)id;
  struct batch *b = batches[vcpu];
  if (is_exec(number)) say_state(TRACE_PROC_RUNNING);
  if (b->forking && result > 0 && !own_thread(result))
    register_child((int)result);
  b->forking = 0;
  set_running(b, 1);
}

/* A forked guest's QEMU goes on as a process of its own: the forking
 * thread, alone in the child, gets a batch of its own, and the batches of
 * the parent's other threads are not the child's. */
static void on_fork_child(void) {
  struct batch *forking = batches[forking_vcpu];
  for (int i = 0; i < MAX_VCPUS; i++)
    if (i != (int)forking_vcpu) batches[i] = NULL;
  if (forking) batches[forking_vcpu] = batch_of_child(forking);
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

/* Takes "ring=M" or "fd=N", and "region=B" and "interleave=R": the
 * batches go into the file M shares with vantle-sim (live_ring.h), whose
 * map says the region size, or to descriptor N, folded by regions of 2^B
 * bytes; threads interleave every R references. */
__attribute__((visibility("default"))) int qemu_plugin_install(
    qemu_plugin_id_t id, const struct qemu_info *info, int argc,
    char **argv) {
  long bits = FM_DEFAULT_REGION_BITS, ring_fd = -1, fd = -1, every = -1;
  for (int i = 0; i < argc; i++) {
    long n = number_argument(argv[i], "fd", (1 << 20) - 1);
    if (n >= 0) fd = n;
    if (!strncmp(argv[i], "region=", 7))
      bits = number_argument(argv[i], "region", 32);
    if (!strncmp(argv[i], "ring=", 5))
      ring_fd = number_argument(argv[i], "ring", (1 << 20) - 1);
    if (!strncmp(argv[i], "interleave=", 11))
      every = number_argument(argv[i], "interleave", TRACE_BATCH_REFERENCES);
  }
  if (bits < 1 || every == 0) {
    fprintf(stderr, "vantle plugin: region=B needs B in 1..32, interleave=R "
                    "R in 1..65536\n");
    return -1;
  }
  if (!open_output((int)fd, (int)ring_fd, (int)bits,
                   every > 0 ? (uint32_t)every : TRACE_DEFAULT_INTERLEAVE))
    return -1;
  abi = guest_abi_of(info ? info->target_name : NULL);
  find_store_bit();
  pthread_atfork(NULL, NULL, on_fork_child);
  qemu_plugin_register_vcpu_init_cb(id, on_vcpu_init);
  qemu_plugin_register_vcpu_exit_cb(id, on_vcpu_exit);
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
  qemu_plugin_register_vcpu_syscall_ret_cb(id, on_syscall_return);
  qemu_plugin_register_atexit_cb(id, on_guest_exit, NULL);
  return 0;
}
