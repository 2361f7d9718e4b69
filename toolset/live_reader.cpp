// The reader of a live run under QEMU (live_reader.h). Owns the shared
// file (its descriptor and mappings), where reading stands in its ring,
// the slots left by processes that died, still to be handed out, and why
// reading stopped.
#include "toolset/live_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "loader.h"
#include "misc.h"
#include "toolset/folding.h"
#include "toolset/site_numbers.h"
#include "transport/live_ring.h"

// The plugin's records are handed out as they lie: its folded addresses
// as md_addr_t, its kinds as md_ref_kind.
static_assert(sizeof(md_addr_t) == sizeof(uint32_t), "folded addresses");
static_assert(int{TRACE_KIND_FETCH} == int{MD_REF_INST} &&
                  int{TRACE_KIND_LOAD} == int{MD_REF_LOAD} &&
                  int{TRACE_KIND_STORE} == int{MD_REF_STORE},
              "the plugin's kinds are the tool set's");

namespace {

// What next_records did.
enum outcome {
  RECORDS = 0,  // handed out records
  STOPPED,      // stop() said to stop waiting
  END,          // every process has ended and every record is read
  LEFT_OVER,    // a process that died left records in its slots
  BAD_BATCH,    // a batch head the plugin cannot have written
  BAD_KIND      // a record of no kind the plugin writes
};

// Records next_records handed out, and what came with them.
struct records {
  const md_addr_t *addrs;
  const unsigned char *kinds;
  size_t count;
  uint32_t thread;
  pid_t pid;
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
};

enum { kCheckEvery = 20 };  // ms between looks at whether processes live

// The shared file, and where reading stands in it.
struct {
  trace_file file;
  int fd = -1;
  // Records handed out of the batch at the read position (or of the
  // first slot left over).
  size_t given;
  size_t release_bytes;  // that batch's size, once it is out whole
  uint64_t asked;  // the ring's lines up to here are asked for (ask_ahead)
  // Slots of processes that died (or exec'd), to be handed out in turn.
  int left_over[TRACE_SLOTS];
  int left_over_count;
  bool queued[TRACE_SLOTS];
  struct timespec last_check;
  bool untraced_said;
} shared;

// Where reading stands, for the loader, and the counts by kind of the last
// records handed out when they came counted (counted_records of them).
struct {
  int state;
  char error[512];
  bool interrupted;
  counter_t counted[MD_REF_MODIFY + 1];
  size_t counted_records;
  uint32_t thread;
  pid_t pid;
  long long processes;  // counted when the file was closed
} reader;

// Moves fd high, where QEMU's descriptor table, which vantle-sim's
// (running no threads) hands down, then already reaches: growing it in
// QEMU, which does run threads, waits for an RCU grace period (some 15 ms
// of start-up).
int above_guest_descriptors(int fd) {
  int high = fcntl(fd, F_DUPFD, TRACE_HIGH_DESCRIPTOR);
  if (high < 0) return fd;
  close(fd);
  return high;
}

// ---- The processes ----------------------------------------------------------

bool running_state(uint32_t state) {
  return state == TRACE_PROC_RUNNING || state == TRACE_PROC_EXECING;
}

// Puts slot i, which no process fills any more, in line to be handed out
// (or frees it when it is empty).
void leave_over(int i) {
  trace_slot *slot = trace_slot_at(&shared.file, i);
  if (shared.queued[i]) return;
  if (__atomic_load_n(&slot->count, __ATOMIC_SEQ_CST) <=
      __atomic_load_n(&slot->taken, __ATOMIC_SEQ_CST)) {
    __atomic_store_n(&slot->owner, 0u, __ATOMIC_SEQ_CST);
    return;
  }
  shared.queued[i] = true;
  shared.left_over[shared.left_over_count++] = i;
}

// Process entry index has ended (or left the trace and died): what its
// slots hold is handed out, and the entry is free.
void retire(int index) {
  trace_live *live = shared.file.live;
  for (int i = 0; i < TRACE_SLOTS; i++) {
    uint32_t owner = __atomic_load_n(&trace_slot_at(&shared.file, i)->owner,
                                     __ATOMIC_SEQ_CST);
    if (owner && trace_owner_index(owner) == index) leave_over(i);
  }
  __atomic_store_n(&live->processes[index].state, TRACE_PROC_FREE,
                   __ATOMIC_SEQ_CST);
}

// The slots an exec abandoned: their process runs a later image.
void find_abandoned_slots(void) {
  trace_live *live = shared.file.live;
  for (int i = 0; i < TRACE_SLOTS; i++) {
    uint32_t owner = __atomic_load_n(&trace_slot_at(&shared.file, i)->owner,
                                     __ATOMIC_SEQ_CST);
    if (!owner || shared.queued[i]) continue;
    const trace_process *p = &live->processes[trace_owner_index(owner)];
    if (running_state(__atomic_load_n(&p->state, __ATOMIC_SEQ_CST)) &&
        trace_owner_image(owner) !=
            (__atomic_load_n(&p->image, __ATOMIC_SEQ_CST) & 0xffff))
      leave_over(i);
  }
}

bool time_to_check(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long ms = (now.tv_sec - shared.last_check.tv_sec) * 1000 +
            (now.tv_nsec - shared.last_check.tv_nsec) / 1000000;
  if (ms < kCheckEvery) return false;
  shared.last_check = now;
  return true;
}

// Looks at the processes (whether each still lives, every kCheckEvery ms)
// and retires those that ended; true while one runs on.
bool processes_run(void) {
  trace_live *live = shared.file.live;
  bool check = time_to_check(), running = false;
  for (int i = 0; i < TRACE_PROCESSES; i++) {
    trace_process *p = &live->processes[i];
    uint32_t state = __atomic_load_n(&p->state, __ATOMIC_SEQ_CST);
    if (state == TRACE_PROC_FREE) continue;
    bool alive = state != TRACE_PROC_EXITED &&
                 (!check || trace_process_alive(p->pid, p->start));
    if (!alive)
      retire(i);
    else if (running_state(state))
      running = true;
  }
  if (check) find_abandoned_slots();
  return running;
}

// Asked by the ring's wait before each sleep: LEFT_OVER when a process
// that died left records, STOPPED when the caller says to stop, END once
// every process has ended; else 0, sleep on. The ring's wait hands out
// what the plugins wrote before their end first.
int stop_waiting_for_batch(void *stop_arg) {
  int (*stop)(void) = *static_cast<int (**)(void)>(stop_arg);
  if (shared.left_over_count) return LEFT_OVER;
  if (stop && stop()) return STOPPED;
  bool running = processes_run();
  if (shared.left_over_count) return LEFT_OVER;
  return running ? 0 : END;
}

// ---- The records ------------------------------------------------------------

// Records come from QEMU's core a cache line at a time, each when first
// read. Batches of one thread's turn are short, so the next ones are
// asked for as a batch is first looked at: their lines then travel while
// the family takes this one. Each line is asked for once: asking again
// for lines on their way stalls.
enum { kAheadBytes = 1536 };  // about a batch of one turn

// Asks for the lines published in the kAheadBytes after the batch of
// batch_bytes at the read position.
void ask_ahead(uint64_t batch_bytes) {
  trace_ring *ring = shared.file.ring;
  uint64_t at = ring->reader_at, end = at + batch_bytes;
  uint64_t from = std::max(shared.asked, end) & ~uint64_t{63};
  uint64_t to = std::min(at + trace_ring_ready(ring, TRACE_RING_READER),
                         end + kAheadBytes);
  if (from >= to) return;
  const unsigned char *line = trace_ring_at(ring, from);
  for (uint64_t b = 0; b < to - from; b += 64) __builtin_prefetch(line + b);
  shared.asked = to;
}

bool kinds_valid(const unsigned char *kinds, size_t n) {
  unsigned char bad = 0;
  for (size_t i = 0; i < n; i++)
    bad |= static_cast<unsigned char>(kinds[i] - TRACE_KIND_FETCH) >
           TRACE_KIND_STORE - TRACE_KIND_FETCH;
  return !bad;
}

// Whether the batch head at the read position is one the plugin writes,
// whole in the ring, with records of known kinds.
outcome check_batch(const unsigned char *batch, const trace_batch &head) {
  if (head.references > TRACE_BATCH_REFERENCES ||
      uint64_t{head.loads} + head.stores > head.references ||
      head.regions > TRACE_BATCH_REGIONS || head.map_full > 1 ||
      head.text > TRACE_BATCH_TEXT || (head.text && head.references) ||
      trace_batch_bytes(&head) >
          trace_ring_ready(shared.file.ring, TRACE_RING_READER))
    return BAD_BATCH;
  ask_ahead(trace_batch_bytes(&head));
  if (!kinds_valid(batch + trace_batch_kinds(&head), head.references))
    return BAD_KIND;
  return RECORDS;
}

// Hands out up to cap records of the batch at the ring's read position.
outcome from_ring(size_t cap, records *out) {
  const unsigned char *batch = trace_ring_next(shared.file.ring);
  trace_batch head;
  memcpy(&head, batch, sizeof head);
  out->references = head.references;
  out->region_count = head.regions;
  if (shared.given == 0) {
    outcome sound = check_batch(batch, head);
    if (sound != RECORDS) return sound;
    out->regions = batch + sizeof head;
    if (head.text)
      sn_add_maps(reinterpret_cast<const char *>(batch) +
                      trace_batch_kinds(&head), head.text, head.pid);
  }
  size_t n = std::min<size_t>(cap, head.references - shared.given);
  out->counted = n == head.references;
  out->loads = head.loads;
  out->stores = head.stores;
  out->thread = head.thread;
  out->pid = head.pid;
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
  return RECORDS;
}

// Hands out up to cap of the records left in the slots of processes that
// died; frees each slot once it is out. RECORDS with none when there are
// none left.
outcome from_slots(size_t cap, records *out) {
  while (shared.left_over_count) {
    int i = shared.left_over[0];
    trace_slot *slot = trace_slot_at(&shared.file, i);
    bool first = shared.given == 0;
    if (first) shared.given = slot->taken; /* the rest is in the ring */
    if (shared.given >= slot->count) {
      shared.given = 0;
      shared.queued[i] = false;
      __atomic_store_n(&slot->owner, 0u, __ATOMIC_SEQ_CST);
      std::copy(shared.left_over + 1,
                shared.left_over + shared.left_over_count--,
                shared.left_over);
      continue;
    }
    out->references = slot->count - slot->taken;
    if (slot->count > TRACE_BATCH_REFERENCES) return BAD_BATCH;
    if (first && !kinds_valid(slot->kinds + slot->taken, out->references))
      return BAD_KIND;
    out->count = std::min<size_t>(cap, slot->count - shared.given);
    out->addrs =
        reinterpret_cast<const md_addr_t *>(slot->addresses) + shared.given;
    out->kinds = slot->kinds + shared.given;
    out->thread = slot->thread;
    out->pid = slot->pid;
    shared.given += out->count;
    return RECORDS;
  }
  return RECORDS;
}

// Hands out up to cap records of the next batch, where they lie (see
// lr_read).
outcome next_records(size_t cap, int (*stop)(void), records *out) {
  *out = {};
  if (shared.release_bytes) {
    trace_ring_release(shared.file.ring, shared.release_bytes);
    shared.release_bytes = shared.given = 0;
  }
  if (shared.left_over_count) return from_slots(cap, out);
  outcome waited = static_cast<outcome>(trace_ring_wait(
      shared.file.ring, TRACE_RING_READER, 1, stop_waiting_for_batch,
      &stop));
  if (waited == RECORDS) return from_ring(cap, out);
  if (waited == LEFT_OVER) return from_slots(cap, out);
  return waited;
}

const char *why_untraced(uint32_t why) {
  switch (why) {
    case TRACE_UNTRACED_SETUID:
      return "it is set-user-ID or set-group-ID, and QEMU would run it "
             "without its privileges";
    case TRACE_UNTRACED_MACHINE:
      return "no QEMU emulator of its machine is installed";
    case TRACE_UNTRACED_UNREAD:
      return "QEMU did not let the plugin read the exec's arguments";
    case TRACE_UNTRACED_FAILED:
      return "QEMU could not be started on it";
    default:
      return "more processes ran at once than vantle-sim follows";
  }
}

// Names the programs that ran untraced, once.
void say_untraced(void) {
  if (!shared.file.live || shared.untraced_said) return;
  shared.untraced_said = true;
  const trace_live *live = shared.file.live;
  uint32_t seen = __atomic_load_n(&live->untraced_seen, __ATOMIC_SEQ_CST);
  for (uint32_t i = 0; i < seen && i < TRACE_UNTRACED; i++)
    fprintf(stderr, "sim: program `%s' ran untraced: %s\n",
            live->untraced[i].name, why_untraced(live->untraced[i].why));
  if (seen > TRACE_UNTRACED)
    fprintf(stderr, "sim: %u more programs ran untraced\n",
            seen - TRACE_UNTRACED);
}

// The n regions a batch of a plugin newly placed in the folding map.
void note_placed_regions(const void *regions, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    trace_region r;
    memcpy(&r, static_cast<const char *>(regions) + i * sizeof r, sizeof r);
    note_region_placed(r.region, r.place);
  }
}

// Notes where reading stands after an outcome that handed out nothing.
void stop_reading(outcome done, const records &r, const char *name) {
  switch (done) {
    case RECORDS:
    case LEFT_OVER:
      break;
    case STOPPED:
      reader.interrupted = true;
      break;
    case END:
      say_untraced();
      reader.state = LD_END;
      break;
    case BAD_BATCH:
      snprintf(reader.error, sizeof reader.error, "`%s': the QEMU plugin "
               "wrote a batch of %u references and %u regions, which cannot "
               "be", name, r.references, r.region_count);
      reader.state = LD_MALFORMED;
      break;
    case BAD_KIND:
      snprintf(reader.error, sizeof reader.error, "`%s': the QEMU plugin "
               "wrote a reference of no kind it knows", name);
      reader.state = LD_MALFORMED;
      break;
  }
}

// The records of one next_records call, taken in.
size_t take_records(const records &r, const char *name,
                    const md_addr_t **addrs, const unsigned char **kinds) {
  if (r.regions) note_placed_regions(r.regions, r.region_count);
  reader.counted_records = r.counted ? r.count : 0;
  reader.counted[MD_REF_LOAD] = r.loads;
  reader.counted[MD_REF_STORE] = r.stores;
  reader.counted[MD_REF_INST] = counter_t{r.references} - r.loads - r.stores;
  reader.thread = r.thread;
  reader.pid = r.pid;
  *addrs = r.addrs;
  *kinds = r.kinds;
  if (r.map_full) {
    say_fold_map_full(reader.error, sizeof reader.error, name, "",
                      r.address);
    reader.state = LD_MALFORMED;
  }
  return r.count;
}

}  // namespace

int lr_share(int region_bits) {
  lr_close();
  int fd = memfd_create("vantle-live", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t map_bytes = fm_shared_bytes(region_bits);
  if (ftruncate(fd, static_cast<off_t>(trace_file_bytes(map_bytes))) != 0 ||
      !trace_file_map(&shared.file, fd, 0) ||
      !trace_file_init(&shared.file, fd, region_bits, map_bytes)) {
    int why = errno ? errno : ENOMEM;
    close(fd);
    lr_close();
    errno = why;
    return -1;
  }
  shared.fd = above_guest_descriptors(fd);
  shared.file.live->reader_fd = shared.fd;
  return shared.fd;
}

trace_live *lr_record(void) { return shared.file.live; }

void lr_first_process(pid_t pid, const char *program) {
  const char *slash = strrchr(program, '/');
  trace_live_register(&shared.file, pid, slash ? slash + 1 : program);
}

size_t lr_read(size_t cap, int (*stop)(void), const char *name,
               const md_addr_t **addrs, const unsigned char **kinds) {
  reader.counted_records = 0;
  reader.interrupted = false;
  if (reader.state != LD_READING || cap == 0) return 0;
  size_t n = 0;
  do {
    records r;
    outcome done = next_records(cap, stop, &r);
    if (done == RECORDS)
      n = take_records(r, name, addrs, kinds);
    else
      stop_reading(done, r, name);
  } while (n == 0 && reader.state == LD_READING && !reader.interrupted);
  return n;
}

bool lr_interrupted(void) { return reader.interrupted; }
int lr_state(void) { return reader.state; }
const char *lr_error(void) { return reader.error; }
uint32_t lr_thread(void) { return reader.thread; }
pid_t lr_thread_process(void) { return reader.pid; }

const char *lr_thread_program(void) {
  static char name[TRACE_NAME];
  name[0] = '\0';
  const trace_live *live = shared.file.live;
  for (int i = 0; live && i < TRACE_PROCESSES; i++) {
    const trace_process *p = &live->processes[i];
    if (p->pid == reader.pid &&
        __atomic_load_n(&p->state, __ATOMIC_SEQ_CST) != TRACE_PROC_FREE)
      snprintf(name, sizeof name, "%s", p->name);
  }
  return name;
}

bool lr_counted(size_t n, counter_t *by_kind) {
  if (n == 0 || n != reader.counted_records) return false;
  std::copy(reader.counted, reader.counted + MD_REF_MODIFY + 1, by_kind);
  return true;
}

long long lr_processes(void) {
  return shared.file.live ? shared.file.live->processes_seen
                          : reader.processes;
}

void lr_kill_all(void) {
  trace_live *live = shared.file.live;
  say_untraced();
  for (int i = 0; live && i < TRACE_PROCESSES; i++) {
    const trace_process *p = &live->processes[i];
    uint32_t state = __atomic_load_n(&p->state, __ATOMIC_SEQ_CST);
    if (state != TRACE_PROC_FREE && state != TRACE_PROC_EXITED &&
        trace_process_alive(p->pid, p->start))
      kill(p->pid, SIGKILL);
  }
}

void lr_close(void) {
  reader.processes = lr_processes();
  if (shared.file.ring) trace_file_unmap(&shared.file);
  if (shared.fd >= 0) close(shared.fd);
  shared = {};
}

void lr_reset(void) {
  lr_close();
  reader = {};
}
