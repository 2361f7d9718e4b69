// The loader's QEMU tracer (tracer_qemu.h): which qemu-<arch> runs a
// program (from its ELF header), where vantle's plugin lies (beside the
// executable), how QEMU is started with it, and the reading of what the
// plugin shares. Owns the emulator's and the plugin's paths, the shared
// file's mappings, where reading stands in them, and why it stopped.
// Reads PATH.
#include "toolset/tracer_qemu.h"

#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "loader.h"
#include "misc.h"
#include "toolset/folding.h"
#include "transport/live_ring.h"
#include "transport/trace_record.h"
#include "transport/trace_ring.h"

// The plugin's records are handed out as they lie: its folded addresses
// as md_addr_t, its kinds as md_ref_kind.
static_assert(sizeof(md_addr_t) == sizeof(uint32_t), "folded addresses");
static_assert(int{TRACE_KIND_FETCH} == int{MD_REF_INST} &&
                  int{TRACE_KIND_LOAD} == int{MD_REF_LOAD} &&
                  int{TRACE_KIND_STORE} == int{MD_REF_STORE},
              "the plugin's kinds are the tool set's");

enum { ANY_CLASS = 0, ANY_ORDER = 0 };

// The emulators of QEMU's user mode, by ELF machine, word size
// (ELFCLASS32/64) and byte order (ELFDATA2LSB/MSB).
static const struct {
  int machine, elf_class, order;
  const char *arch;
} kEmulators[] = {
    {EM_X86_64, ANY_CLASS, ANY_ORDER, "x86_64"},
    {EM_386, ANY_CLASS, ANY_ORDER, "i386"},
    {EM_AARCH64, ANY_CLASS, ELFDATA2LSB, "aarch64"},
    {EM_AARCH64, ANY_CLASS, ELFDATA2MSB, "aarch64_be"},
    {EM_ARM, ANY_CLASS, ELFDATA2LSB, "arm"},
    {EM_ARM, ANY_CLASS, ELFDATA2MSB, "armeb"},
    {EM_RISCV, ELFCLASS64, ANY_ORDER, "riscv64"},
    {EM_RISCV, ELFCLASS32, ANY_ORDER, "riscv32"},
    {EM_PPC64, ANY_CLASS, ELFDATA2LSB, "ppc64le"},
    {EM_PPC64, ANY_CLASS, ELFDATA2MSB, "ppc64"},
    {EM_PPC, ANY_CLASS, ANY_ORDER, "ppc"},
    {EM_S390, ANY_CLASS, ANY_ORDER, "s390x"},
    {EM_MIPS, ELFCLASS64, ELFDATA2LSB, "mips64el"},
    {EM_MIPS, ELFCLASS64, ELFDATA2MSB, "mips64"},
    {EM_MIPS, ELFCLASS32, ELFDATA2LSB, "mipsel"},
    {EM_MIPS, ELFCLASS32, ELFDATA2MSB, "mips"},
    {EM_LOONGARCH, ANY_CLASS, ANY_ORDER, "loongarch64"},
    {EM_SPARCV9, ANY_CLASS, ANY_ORDER, "sparc64"},
    {EM_SPARC32PLUS, ANY_CLASS, ANY_ORDER, "sparc32plus"},
    {EM_SPARC, ANY_CLASS, ANY_ORDER, "sparc"},
    {EM_68K, ANY_CLASS, ANY_ORDER, "m68k"},
    {EM_SH, ANY_CLASS, ELFDATA2LSB, "sh4"},
    {EM_SH, ANY_CLASS, ELFDATA2MSB, "sh4eb"},
    {EM_ALPHA, ANY_CLASS, ANY_ORDER, "alpha"},
    {EM_PARISC, ANY_CLASS, ANY_ORDER, "hppa"},
};

// Writes into name the emulator of the ELF program at path ("qemu-x86_64");
// false, with why filled, when the file is no ELF image of a machine that
// QEMU's user mode emulates.
static bool emulator_name(const char *path, char *name, size_t size,
                          char *why, size_t why_size) {
  unsigned char head[20];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  ssize_t got = fd < 0 ? -1 : read(fd, head, sizeof head);
  if (fd >= 0) close(fd);
  if (got < static_cast<ssize_t>(sizeof head) ||
      memcmp(head, ELFMAG, SELFMAG) != 0) {
    snprintf(why, why_size, "`%s' is not an ELF executable", path);
    return false;
  }
  int elf_class = head[EI_CLASS], order = head[EI_DATA];
  int machine = order == ELFDATA2MSB ? head[18] << 8 | head[19]
                                     : head[19] << 8 | head[18];
  for (const auto &e : kEmulators)
    if (e.machine == machine && (!e.elf_class || e.elf_class == elf_class) &&
        (!e.order || e.order == order)) {
      snprintf(name, size, "qemu-%s", e.arch);
      return true;
    }
  snprintf(why, why_size, "QEMU emulates no machine %d (the ELF machine of "
           "`%s')", machine, path);
  return false;
}

// The emulator, the plugin and the libraries of a foreign program.
static struct {
  char *emulator, *plugin;
  const char *sysroot;
  char *plugin_argument;  // read by QEMU after exec
} launch;

// The plugin beside the running executable (malloc'd path), whether it is
// there or not.
static char *plugin_path(void) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n < 0) n = 0;
  self[n] = '\0';
  const char *slash = strrchr(self, '/');
  int dir = slash ? static_cast<int>(slash - self) : 0;
  size_t size = static_cast<size_t>(dir) + sizeof "/vantle-qemu.so";
  char *path = static_cast<char *>(
      checked_calloc(size, 1, "tracer_qemu", "plugin_path", __LINE__));
  snprintf(path, size, "%.*s/vantle-qemu.so", dir, self);
  return path;
}

// QEMU's -plugin argument: the path, commas doubled as its option syntax
// wants, the shared file's descriptor and the region size.
static char *plugin_argument(const char *plugin, int shared_fd,
                             int region_bits) {
  size_t size = 2 * strlen(plugin) + 64;
  char *arg = static_cast<char *>(
      checked_calloc(size, 1, "tracer_qemu", "tq_command", __LINE__));
  char *out = arg;
  for (const char *p = plugin; *p; p++) {
    if (*p == ',') *out++ = ',';
    *out++ = *p;
  }
  snprintf(out, size - static_cast<size_t>(out - arg),
           ",ring=%d,region=%d", shared_fd, region_bits);
  return arg;
}

bool tq_find(const char *path, char *why, size_t why_size) {
  char emulator[64];
  if (!emulator_name(path, emulator, sizeof emulator, why, why_size))
    return false;
  launch.emulator = find_on_path(getenv("PATH"), emulator);
  if (!launch.emulator) {
    snprintf(why, why_size, "%s is not installed (not found on PATH)",
             emulator);
    return false;
  }
  launch.plugin = plugin_path();
  if (access(launch.plugin, R_OK) != 0) {
    snprintf(why, why_size, "vantle's QEMU plugin `%s' is missing",
             launch.plugin);
    return false;
  }
  return true;
}

const char *tq_path(void) { return launch.emulator; }

void tq_use_sysroot(const char *sysroot) { launch.sysroot = sysroot; }

char **tq_command(char **argv, int shared_fd, int region_bits) {
  free(launch.plugin_argument);
  launch.plugin_argument =
      plugin_argument(launch.plugin, shared_fd, region_bits);
  int argc = 0;
  while (argv[argc]) argc++;
  char **args = static_cast<char **>(checked_calloc(
      static_cast<size_t>(argc) + 6, sizeof(char *), "tracer_qemu",
      "tq_command", __LINE__));
  int k = 0;
  args[k++] = launch.emulator;
  if (launch.sysroot) {
    args[k++] = const_cast<char *>("-L");
    args[k++] = const_cast<char *>(launch.sysroot);
  }
  args[k++] = const_cast<char *>("-plugin");
  args[k++] = launch.plugin_argument;
  for (int i = 0; i < argc; i++) args[k++] = argv[i];
  return args;
}

// What next_records did.
enum tq_outcome {
  TQ_RECORDS = 0,  // handed out records
  TQ_STOPPED,      // stop() said to stop waiting
  TQ_END,          // QEMU has ended and every record is read
  TQ_BAD_BATCH,    // a batch head the plugin cannot have written
  TQ_BAD_KIND      // a record of no kind the plugin writes
};

// Records next_records handed out, and what came with them.
struct tq_records {
  const md_addr_t *addrs;
  const unsigned char *kinds;
  size_t count;
  // The batch's (bad) head, and the regions it newly placed (handed out
  // with its first records).
  uint32_t references, region_count;
  const void *regions;  // trace_region records
  // The records are the whole batch, whose counts by kind these are.
  bool counted;
  counter_t loads, stores;
  // The batch ends the trace: address found the folding map full.
  bool map_full;
  uint64_t address;
  // TQ_END: the program exec'd another, which QEMU does not trace.
  bool execed;
};

// The file shared with the plugin, and where reading stands in it.
static struct {
  trace_ring *ring;
  trace_live *live;
  unsigned char *slots;
  // Records handed out of the batch at the read position (once QEMU has
  // gone and the ring is read, of slot next_slot).
  size_t given;
  size_t release_bytes;  // that batch's size, once it is out whole
  bool qemu_gone;        // QEMU has ended: the ring gets nothing more
  int next_slot;
} shared;

// Moves fd high, where QEMU's descriptor table, which vantle-sim's
// (running no threads) hands down, then already reaches: growing it in
// QEMU, which does run threads, waits for an RCU grace period (some 15 ms
// of start-up).
static int above_guest_descriptors(int fd) {
  int high = fcntl(fd, F_DUPFD, TRACE_HIGH_DESCRIPTOR);
  if (high < 0) return fd;
  close(fd);
  return high;
}

int tq_share(void) {
  tq_unshare();
  int fd = memfd_create("vantle-live", MFD_CLOEXEC);
  if (fd < 0) return -1;
  if (ftruncate(fd, static_cast<off_t>(trace_live_file_bytes())) != 0 ||
      !(shared.ring = trace_ring_map(fd)) ||
      !(shared.slots = trace_live_map_slots(fd))) {
    int why = errno;
    close(fd);
    tq_unshare();
    errno = why;
    return -1;
  }
  shared.live = trace_live_of(shared.ring);
  shared.live->reader_pid = getpid();
  return above_guest_descriptors(fd);
}

void tq_unshare(void) {
  if (shared.ring) trace_ring_unmap(shared.ring);
  if (shared.slots) trace_live_unmap_slots(shared.slots);
  shared = {};
}

// Whether process child has ended (it is left to be reaped).
static bool has_ended(pid_t child) {
  siginfo_t info;
  info.si_pid = 0;
  return waitid(P_PID, static_cast<id_t>(child), &info,
                WEXITED | WNOHANG | WNOWAIT) != 0 ||
         info.si_pid != 0;
}

// What a wait for the plugin's next batch watches besides the ring.
struct batch_wait {
  pid_t child;        // QEMU
  int (*stop)(void);  // the caller's question
};

// Asked by the ring's wait before each sleep: TQ_END once the plugin has
// said that the program exited, or QEMU has ended (then the ring gets
// nothing more: qemu_gone); TQ_STOPPED when the caller says to stop; else
// 0, sleep on. The ring's wait hands out what the plugin wrote before its
// word first.
static int stop_waiting_for_batch(void *arg) {
  const batch_wait *w = static_cast<const batch_wait *>(arg);
  if (shared.qemu_gone ||
      __atomic_load_n(&shared.live->ended, __ATOMIC_SEQ_CST) ==
          TRACE_LIVE_EXITED)
    return TQ_END;
  if (w->stop && w->stop()) return TQ_STOPPED;
  shared.qemu_gone = has_ended(w->child);
  return shared.qemu_gone ? TQ_END : 0;
}

static bool kinds_valid(const unsigned char *kinds, size_t n) {
  unsigned char bad = 0;
  for (size_t i = 0; i < n; i++)
    bad |= static_cast<unsigned char>(kinds[i] - TRACE_KIND_FETCH) >
           TRACE_KIND_STORE - TRACE_KIND_FETCH;
  return !bad;
}

// Whether the batch head at the read position is one the plugin writes,
// whole in the ring, with records of known kinds.
static tq_outcome check_batch(const unsigned char *batch,
                              const trace_batch &head) {
  if (head.references > TRACE_BATCH_REFERENCES ||
      uint64_t{head.loads} + head.stores > head.references ||
      head.regions > TRACE_BATCH_REGIONS || head.map_full > 1 ||
      trace_batch_bytes(&head) > trace_ring_unread(shared.ring))
    return TQ_BAD_BATCH;
  if (!kinds_valid(batch + trace_batch_kinds(&head), head.references))
    return TQ_BAD_KIND;
  return TQ_RECORDS;
}

// Hands out up to cap records of the batch at the ring's read position.
static tq_outcome from_ring(size_t cap, tq_records *out) {
  trace_ring *ring = shared.ring;
  const unsigned char *batch = trace_ring_at(ring, ring->read);
  trace_batch head;
  memcpy(&head, batch, sizeof head);
  out->references = head.references;
  out->region_count = head.regions;
  if (shared.given == 0) {
    tq_outcome sound = check_batch(batch, head);
    if (sound != TQ_RECORDS) return sound;
    out->regions = batch + sizeof head;
  }
  size_t n = std::min<size_t>(cap, head.references - shared.given);
  out->counted = n == head.references;
  out->loads = head.loads;
  out->stores = head.stores;
  out->addrs = reinterpret_cast<const md_addr_t *>(
                   batch + trace_batch_addresses(&head)) + shared.given;
  out->kinds = batch + trace_batch_kinds(&head) + shared.given;
  out->count = n;
  shared.given += n;
  if (shared.given == head.references) {
    shared.release_bytes = trace_batch_bytes(&head);
    out->map_full = head.map_full;
    out->address = head.address;
  }
  return TQ_RECORDS;
}

// After QEMU died without flushing: hands out up to cap of the records of
// the batches it was filling that the ring did not get.
static tq_outcome from_slots(size_t cap, tq_records *out) {
  uint64_t written = __atomic_load_n(&shared.ring->written, __ATOMIC_SEQ_CST);
  for (; shared.next_slot < TRACE_SLOTS; shared.next_slot++) {
    const trace_slot *slot = reinterpret_cast<const trace_slot *>(
        shared.slots + shared.next_slot * size_t{TRACE_SLOT_BYTES});
    if (shared.given >= slot->count ||
        (slot->publishing && written >= slot->publishing)) {
      shared.given = 0;
      continue;
    }
    out->references = slot->count;
    if (slot->count > TRACE_BATCH_REFERENCES) return TQ_BAD_BATCH;
    if (shared.given == 0 && !kinds_valid(slot->kinds, slot->count))
      return TQ_BAD_KIND;
    out->count = std::min<size_t>(cap, slot->count - shared.given);
    out->addrs =
        reinterpret_cast<const md_addr_t *>(slot->addresses) + shared.given;
    out->kinds = slot->kinds + shared.given;
    shared.given += out->count;
    return TQ_RECORDS;
  }
  return TQ_END;
}

// Hands out up to cap records of the next batch, where they lie (see
// tq_read).
static tq_outcome next_records(size_t cap, pid_t child, int (*stop)(void),
                               tq_records *out) {
  *out = {};
  if (shared.release_bytes) {
    trace_ring_release(shared.ring, shared.release_bytes);
    shared.release_bytes = shared.given = 0;
  }
  batch_wait w = {child, stop};
  tq_outcome waited = static_cast<tq_outcome>(trace_ring_wait(
      shared.ring, TRACE_RING_READER, 1, stop_waiting_for_batch, &w));
  if (waited == TQ_RECORDS) return from_ring(cap, out);
  if (waited != TQ_END) return waited;
  uint32_t ended = __atomic_load_n(&shared.live->ended, __ATOMIC_SEQ_CST);
  out->execed = ended == TRACE_LIVE_EXECED;
  return ended == TRACE_LIVE_EXITED ? TQ_END : from_slots(cap, out);
}

// Where reading stands, for the loader, and the counts by kind of the last
// records handed out when they came counted (counted_records of them).
static struct {
  int state;
  char error[512];
  bool interrupted;
  counter_t counted[MD_REF_MODIFY + 1];
  size_t counted_records;
} reader;

// The n regions a batch of the plugin newly placed in its folding map.
static void note_placed_regions(const void *regions, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    trace_region r;
    memcpy(&r, static_cast<const char *>(regions) + i * sizeof r, sizeof r);
    note_region_placed(r.region, r.place);
  }
}

// Notes where reading stands after an outcome that handed out nothing.
static void stop_reading(tq_outcome outcome, const tq_records &r,
                         const char *name) {
  switch (outcome) {
    case TQ_RECORDS:
      break;
    case TQ_STOPPED:
      reader.interrupted = true;
      break;
    case TQ_END:
      if (r.execed)
        fprintf(stderr, "sim: program `%s' exec'd another program, which "
                "ran untraced: QEMU traces the program it starts\n", name);
      reader.state = LD_END;
      break;
    case TQ_BAD_BATCH:
      snprintf(reader.error, sizeof reader.error, "`%s': the QEMU plugin "
               "wrote a batch of %u references and %u regions, which cannot "
               "be", name, r.references, r.region_count);
      reader.state = LD_MALFORMED;
      break;
    case TQ_BAD_KIND:
      snprintf(reader.error, sizeof reader.error, "`%s': the QEMU plugin "
               "wrote a reference of no kind it knows", name);
      reader.state = LD_MALFORMED;
      break;
  }
}

// The records of one next_records call, taken in.
static size_t take_records(const tq_records &r, const char *name,
                           const md_addr_t **addrs,
                           const unsigned char **kinds) {
  if (debugging && r.regions) note_placed_regions(r.regions, r.region_count);
  reader.counted_records = r.counted ? r.count : 0;
  reader.counted[MD_REF_LOAD] = r.loads;
  reader.counted[MD_REF_STORE] = r.stores;
  reader.counted[MD_REF_INST] = counter_t{r.references} - r.loads - r.stores;
  *addrs = r.addrs;
  *kinds = r.kinds;
  if (r.map_full) {
    say_fold_map_full(reader.error, sizeof reader.error, name, "",
                      r.address);
    reader.state = LD_MALFORMED;
  }
  return r.count;
}

size_t tq_read(size_t cap, pid_t child, int (*stop)(void), const char *name,
               const md_addr_t **addrs, const unsigned char **kinds) {
  reader.counted_records = 0;
  reader.interrupted = false;
  if (reader.state != LD_READING || cap == 0) return 0;
  size_t n = 0;
  do {
    tq_records r;
    tq_outcome outcome = next_records(cap, child, stop, &r);
    if (outcome == TQ_RECORDS)
      n = take_records(r, name, addrs, kinds);
    else
      stop_reading(outcome, r, name);
  } while (n == 0 && reader.state == LD_READING && !reader.interrupted);
  return n;
}

bool tq_interrupted(void) { return reader.interrupted; }
int tq_state(void) { return reader.state; }
const char *tq_error(void) { return reader.error; }

bool tq_counted(size_t n, counter_t *by_kind) {
  if (n == 0 || n != reader.counted_records) return false;
  std::copy(reader.counted, reader.counted + MD_REF_MODIFY + 1, by_kind);
  return true;
}

void tq_reset(void) {
  tq_unshare();
  free(launch.emulator);
  free(launch.plugin);
  free(launch.plugin_argument);
  launch = {};
  reader = {};
}
