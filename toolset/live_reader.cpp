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
#include <deque>
#include <vector>

#include "loader.h"
#include "misc.h"
#include "toolset/folding.h"
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
  BAD_KIND,     // a record of no kind the plugin writes
  WAITED_LONG   // a thread whose turn it is wrote nothing for a while
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
  // Slots of processes that died (or exec'd), to be handed out in turn.
  int left_over[TRACE_SLOTS];
  int left_over_count;
  bool queued[TRACE_SLOTS];
  struct timespec last_check;
  bool untraced_said;
} shared;

// A batch of the ring taken in by the threads' turns, until released.
struct held_batch {
  uint64_t at;     // its position in the ring: when it was written
  uint64_t start;  // when its thread's run began (see turns)
  uint64_t end;    // when its last record was made
  size_t bytes;
  trace_batch head;
  const md_addr_t *addrs;
  const unsigned char *kinds;
  uint32_t given;  // references handed out
  bool in_ring;    // not yet released (else done, or copied out)
  std::vector<unsigned char> copy;  // the batch copied out of the ring
};

// A thread of a process of several that runs on beside others (so that
// its next batch is waited for), and where in the ring its run began.
struct turn_thread {
  uint32_t thread;
  pid_t pid;
  uint64_t run_begin;
};

// The threads' turns. Each thread writes whole batches, and says where
// it starts to run beside others (a new thread, or back from a system
// call; the batches of the others are cut there) and where it stops. The
// ring's order says which ran at once: of a process's threads, those
// whose run began before the earliest of their held batches ended take
// turns of at most `length' references each, round the threads by number,
// however fast each ran; a batch that ended before any other thread's run
// began goes out whole, where it lies. A thread that runs on and has
// written nothing yet is waited for when its turn comes; one that stopped
// (a system call, its end) is passed over. Processes take no turns.
// Batches are taken in from the ring as they come and released in the
// ring's order once handed out.
struct {
  unsigned length;  // references of a turn; 0: batches go out whole
  uint64_t taken;   // the ring's position up to which batches are held
  std::deque<held_batch> held;
  std::vector<turn_thread> threads;
  uint32_t current;  // the thread whose turn it is, and what it has left
  unsigned left;
  uint64_t waiting_since_ms;  // since when a turn waits for a thread
  size_t copied_bytes;        // of the batches copied out of the ring
  md_addr_t addrs[TRACE_BATCH_REFERENCES];
  unsigned char kinds[TRACE_BATCH_REFERENCES];
} turns;

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
  if (__atomic_load_n(&slot->count, __ATOMIC_SEQ_CST) == 0) {
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

uint64_t now_ms(void) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_nsec) / 1000000;
}

// Asked by the ring's wait before each sleep: LEFT_OVER when a process
// that died left records, STOPPED when the caller says to stop, END once
// every process has ended, WAITED_LONG once a turn has waited kTurnWait
// ms for its thread; else 0, sleep on. The ring's wait hands out what the
// plugins wrote before their end first.
enum { kTurnWait = 100 };
int stop_waiting_for_batch(void *stop_arg) {
  int (*stop)(void) = *static_cast<int (**)(void)>(stop_arg);
  if (shared.left_over_count) return LEFT_OVER;
  if (stop && stop()) return STOPPED;
  bool running = processes_run();
  if (shared.left_over_count) return LEFT_OVER;
  if (!running) return END;
  return turns.waiting_since_ms &&
                 now_ms() - turns.waiting_since_ms >= kTurnWait
             ? WAITED_LONG
             : 0;
}

// ---- The records ------------------------------------------------------------

bool kinds_valid(const unsigned char *kinds, size_t n) {
  unsigned char bad = 0;
  for (size_t i = 0; i < n; i++)
    bad |= static_cast<unsigned char>(kinds[i] - TRACE_KIND_FETCH) >
           TRACE_KIND_STORE - TRACE_KIND_FETCH;
  return !bad;
}

// Whether the batch head at ring position at is one the plugin writes,
// whole in the ring, with records of known kinds.
outcome check_batch(const unsigned char *batch, const trace_batch &head,
                    uint64_t at) {
  if (head.references > TRACE_BATCH_REFERENCES ||
      uint64_t{head.loads} + head.stores > head.references ||
      head.regions > TRACE_BATCH_REGIONS || head.map_full > 1 ||
      head.runs_on > TRACE_RUNS_ON_CUT ||
      trace_batch_bytes(&head) >
          __atomic_load_n(&shared.file.ring->written, __ATOMIC_SEQ_CST) - at)
    return BAD_BATCH;
  if (!kinds_valid(batch + trace_batch_kinds(&head), head.references))
    return BAD_KIND;
  return RECORDS;
}

// Hands out up to cap records of the batch at the ring's read position.
outcome from_ring(size_t cap, records *out) {
  trace_ring *ring = shared.file.ring;
  const unsigned char *batch = trace_ring_at(ring, ring->read);
  trace_batch head;
  memcpy(&head, batch, sizeof head);
  out->references = head.references;
  out->region_count = head.regions;
  if (shared.given == 0) {
    outcome sound = check_batch(batch, head, ring->read);
    if (sound != RECORDS) return sound;
    out->regions = batch + sizeof head;
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
    if (shared.given >= slot->count) {
      shared.given = 0;
      shared.queued[i] = false;
      __atomic_store_n(&slot->owner, 0u, __ATOMIC_SEQ_CST);
      std::copy(shared.left_over + 1,
                shared.left_over + shared.left_over_count--,
                shared.left_over);
      continue;
    }
    out->references = slot->count;
    if (slot->count > TRACE_BATCH_REFERENCES) return BAD_BATCH;
    if (shared.given == 0 && !kinds_valid(slot->kinds, slot->count))
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

// The n regions a batch of a plugin newly placed in the folding map.
void note_placed_regions(const void *regions, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    trace_region r;
    memcpy(&r, static_cast<const char *>(regions) + i * sizeof r, sizeof r);
    note_region_placed(r.region, r.place);
  }
}

// ---- The threads' turns -----------------------------------------------------

turn_thread *thread_of(uint32_t thread) {
  for (turn_thread &t : turns.threads)
    if (t.thread == thread) return &t;
  return nullptr;
}

// Notes what batch h says of its thread, and where its run began; a
// batch cut short ends where the latest run of another thread began.
void note_thread(held_batch *h) {
  const trace_batch &head = h->head;
  turn_thread *t = thread_of(head.thread);
  h->start = h->end = h->at;
  for (const turn_thread &o : turns.threads)
    if (head.runs_on == TRACE_RUNS_ON_CUT && o.pid == head.pid &&
        o.thread != head.thread && o.run_begin < h->end &&
        (!t || o.run_begin > t->run_begin))
      h->end = o.run_begin;
  if (t) h->start = t->run_begin;
  if (t && !head.runs_on)
    turns.threads.erase(turns.threads.begin() + (t - turns.threads.data()));
  else if (!t && head.runs_on)
    turns.threads.push_back({head.thread, head.pid, h->at});
}

bool has_records(const held_batch &h) {
  return h.given < h.head.references;
}

// Takes in the batches written since the last look (and their heads' word
// on their threads).
outcome take_in(records *out) {
  trace_ring *ring = shared.file.ring;
  uint64_t written = __atomic_load_n(&ring->written, __ATOMIC_SEQ_CST);
  while (turns.taken < written) {
    const unsigned char *batch = trace_ring_at(ring, turns.taken);
    held_batch h{turns.taken, 0, 0, 0, {}, nullptr, nullptr, 0, true, {}};
    memcpy(&h.head, batch, sizeof h.head);
    out->references = h.head.references;
    out->region_count = h.head.regions;
    outcome sound = check_batch(batch, h.head, turns.taken);
    if (sound != RECORDS) return sound;
    if (debugging && h.head.references == 0)
      note_placed_regions(batch + sizeof h.head, h.head.regions);
    note_thread(&h);
    h.bytes = trace_batch_bytes(&h.head);
    h.addrs = reinterpret_cast<const md_addr_t *>(
        batch + trace_batch_addresses(&h.head));
    h.kinds = batch + trace_batch_kinds(&h.head);
    turns.held.push_back(h);
    turns.taken += h.bytes;
  }
  return RECORDS;
}

// Releases the batches handed out or copied out, in the ring's order, and
// forgets those handed out.
void release_given(void) {
  for (held_batch &h : turns.held) {
    if (!h.in_ring) continue;
    if (has_records(h) && h.copy.empty()) break;
    trace_ring_release(shared.file.ring, h.bytes);
    h.in_ring = false;
  }
  while (!turns.held.empty() && !turns.held.front().in_ring &&
         !has_records(turns.held.front())) {
    turns.copied_bytes -= turns.held.front().copy.size();
    turns.held.pop_front();
  }
}

// Whether a writer may be waiting for room that only a release makes.
bool ring_pressed(void) {
  const uint64_t largest = sizeof(trace_batch) +
                           TRACE_BATCH_REGIONS * sizeof(trace_region) +
                           TRACE_BATCH_REFERENCES * 5 + 8;
  return trace_ring_unread(shared.file.ring) + largest > TRACE_RING_DATA;
}

// A thread ahead of the one whose turn it is fills the ring while its
// batches wait: they are copied out, so that every writer goes on (one
// waiting for room holds the ring's lock), up to kMostCopied bytes; past
// that, false, and the thread waited for is passed over.
enum : size_t { kMostCopied = size_t{256} << 20 };
bool copy_out_held(void) {
  for (held_batch &h : turns.held) {
    if (!h.in_ring || !has_records(h) || !h.copy.empty()) continue;
    if (turns.copied_bytes + h.bytes > kMostCopied) return false;
    const unsigned char *batch = trace_ring_at(shared.file.ring, h.at);
    h.copy.assign(batch, batch + h.bytes);
    h.addrs = reinterpret_cast<const md_addr_t *>(
        h.copy.data() + trace_batch_addresses(&h.head));
    h.kinds = h.copy.data() + trace_batch_kinds(&h.head);
    turns.copied_bytes += h.bytes;
  }
  release_given();
  return true;
}

// Takes records of h out: n of them, from where it stands.
void take_from(held_batch *h, size_t n, records *out) {
  if (debugging && h->given == 0)
    note_placed_regions(reinterpret_cast<const char *>(h->addrs) -
                            h->head.regions * sizeof(trace_region),
                        h->head.regions);
  out->thread = h->head.thread;
  out->pid = h->head.pid;
  h->given += static_cast<uint32_t>(n);
  if (!has_records(*h) && h->head.map_full) {
    out->map_full = true;
    out->address = h->head.address;
  }
}

// Hands out h's records where they lie, up to cap.
void give_whole(held_batch *h, size_t cap, records *out) {
  size_t n = std::min<size_t>(cap, h->head.references - h->given);
  out->addrs = h->addrs + h->given;
  out->kinds = h->kinds + h->given;
  out->count = n;
  out->counted = n == h->head.references;
  out->references = h->head.references;
  out->loads = h->head.loads;
  out->stores = h->head.stores;
  take_from(h, n, out);
}

// Counts the loads and stores of the records out holds, copied (in one
// pass, cheaper than a count per kind where they are fed).
void count_kinds(records *out) {
  uint32_t loads = 0, stores = 0;
  for (size_t i = 0; i < out->count; i++) {
    loads += out->kinds[i] == TRACE_KIND_LOAD;
    stores += out->kinds[i] == TRACE_KIND_STORE;
  }
  out->references = static_cast<uint32_t>(out->count);
  out->loads = loads;
  out->stores = stores;
  out->counted = out->count > 0;
}

// A thread of a process in the turns: its next batch (null: it runs on
// and has written none since begin), where that began and ended.
struct contender {
  uint32_t thread;
  held_batch *batch;
  uint64_t begin, end;
};

// The threads of process pid that take turns now (see turns), by number.
const std::vector<contender> &in_turns(pid_t pid, bool drain) {
  static std::vector<contender> all;
  all.clear();
  auto known = [](uint32_t thread) {
    return std::any_of(all.begin(), all.end(), [thread](const contender &c) {
      return c.thread == thread;
    });
  };
  for (held_batch &h : turns.held)
    if (h.head.pid == pid && has_records(h) && !known(h.head.thread))
      all.push_back({h.head.thread, &h, h.start, h.end});
  for (const turn_thread &t : turns.threads)
    if (!drain && t.pid == pid && !known(t.thread))
      all.push_back({t.thread, nullptr, t.run_begin, UINT64_MAX});
  uint64_t first_end = UINT64_MAX;
  for (const contender &c : all) first_end = std::min(first_end, c.end);
  all.erase(std::remove_if(all.begin(), all.end(),
                           [first_end](const contender &c) {
                             return c.begin >= first_end &&
                                    c.end != first_end;
                           }),
            all.end());
  std::sort(all.begin(), all.end(),
            [](const contender &a, const contender &b) {
              return a.thread < b.thread;
            });
  return all;
}

// The contender whose turn it is: the current one while its turn lasts,
// else the next by number.
const contender &whose_turn(const std::vector<contender> &round) {
  auto next = std::lower_bound(round.begin(), round.end(), turns.current,
                               [](const contender &c, uint32_t thread) {
                                 return c.thread < thread;
                               });
  if (next != round.end() && next->thread == turns.current && turns.left)
    return *next;
  if (next != round.end() && next->thread == turns.current) ++next;
  if (next == round.end()) next = round.begin();
  turns.current = next->thread;
  turns.left = turns.length;
  return *next;
}

// Hands out up to cap records of process pid's held batches in turns.
// Stops at a thread that runs on and has written nothing, unless draining
// or pass_over (the thread is then passed over until it writes again).
void give_in_turns(pid_t pid, size_t cap, bool drain, bool pass_over,
                   records *out) {
  size_t n = 0;
  while (n < cap && !out->map_full) {
    const std::vector<contender> &round = in_turns(pid, drain);
    if (round.empty()) break;
    if (round.size() == 1 && n == 0 && round[0].batch) {
      give_whole(round[0].batch, cap, out);
      return;
    }
    const contender &c = whose_turn(round);
    held_batch *h = c.batch;
    if (!h) {
      if (!(drain || pass_over)) break;
      turn_thread *t = thread_of(c.thread);
      turns.threads.erase(turns.threads.begin() + (t - turns.threads.data()));
      continue;
    }
    size_t k = std::min<size_t>({turns.left, h->head.references - h->given,
                                 cap - n});
    std::copy(h->addrs + h->given, h->addrs + h->given + k, turns.addrs + n);
    std::copy(h->kinds + h->given, h->kinds + h->given + k, turns.kinds + n);
    take_from(h, k, out);
    n += k;
    turns.left -= static_cast<unsigned>(k);
  }
  out->addrs = turns.addrs;
  out->kinds = turns.kinds;
  out->count = n;
  count_kinds(out);
}

// Hands out up to cap records of the held batches: those of the process
// of the oldest batch, in turns.
void give_turns(size_t cap, bool drain, bool pass_over, records *out) {
  auto first = std::find_if(turns.held.begin(), turns.held.end(),
                            has_records);
  if (first != turns.held.end())
    give_in_turns(first->head.pid, cap, drain, pass_over, out);
}

bool records_held(void) {
  return std::any_of(turns.held.begin(), turns.held.end(), has_records);
}

// next_records with the threads' turns: what is held goes out before a
// dead process's slots, and at the end, with no thread waited for.
outcome next_in_turns(size_t cap, int (*stop)(void), records *out) {
  trace_ring *ring = shared.file.ring;
  release_given();
  bool pass_over = false, ended = false;
  for (;;) {
    bool drain = ended || shared.left_over_count;
    outcome taken = take_in(out);
    if (taken != RECORDS) return taken;
    give_turns(cap, drain, pass_over, out);
    if (out->count) {
      turns.waiting_since_ms = 0;
      return RECORDS;
    }
    if (!records_held()) {
      turns.waiting_since_ms = 0;
      if (shared.left_over_count) return from_slots(cap, out);
      if (ended) return END;
    } else {
      if (!turns.waiting_since_ms) turns.waiting_since_ms = now_ms();
      if (ring_pressed() && !copy_out_held()) {
        pass_over = true;
        continue;
      }
    }
    pass_over = false;
    outcome waited = static_cast<outcome>(trace_ring_wait(
        ring, TRACE_RING_READER, turns.taken - ring->read + 1,
        stop_waiting_for_batch, &stop));
    if (waited == STOPPED) return STOPPED;
    pass_over = waited == WAITED_LONG;
    ended = waited == END;
  }
}

// Hands out up to cap records of the next batch, where they lie (see
// lr_read).
outcome next_records(size_t cap, int (*stop)(void), records *out) {
  *out = {};
  turns.length = shared.file.live->interleave;
  if (turns.length) return next_in_turns(cap, stop, out);
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

// Notes where reading stands after an outcome that handed out nothing.
void stop_reading(outcome done, const records &r, const char *name) {
  switch (done) {
    case RECORDS:
    case LEFT_OVER:
    case WAITED_LONG:
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
  if (debugging && r.regions) note_placed_regions(r.regions, r.region_count);
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
  turns.taken = 0;
  turns.held.clear();
  turns.threads.clear();
  turns.current = turns.left = 0;
  turns.waiting_since_ms = 0;
  turns.copied_bytes = 0;
}

void lr_reset(void) {
  lr_close();
  reader = {};
}
