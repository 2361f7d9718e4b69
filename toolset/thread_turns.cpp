// The threads' turns of a live run (thread_turns.h). Owns the batches
// taken in from the ring and not yet released, and the threads that run
// on beside others.
#include "toolset/thread_turns.h"

#include <string.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "misc.h"
#include "toolset/folding.h"

namespace {

enum : size_t { kMostCopied = size_t{256} << 20 };

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

// The text a batch carried (its process's code maps), held until every
// earlier batch of its process has been handed out, and so fed.
struct held_text {
  uint64_t at;
  pid_t pid;
  std::string text;
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
  trace_ring *ring;
  unsigned length;  // references of a turn
  uint64_t taken;   // the ring's position up to which batches are held
  std::deque<held_batch> held;
  std::vector<turn_thread> threads;
  std::deque<held_text> texts;
  uint32_t current;  // the thread whose turn it is, and what it has left
  unsigned left;
  size_t copied_bytes;        // of the batches copied out of the ring
  md_addr_t addrs[TRACE_BATCH_REFERENCES];
  unsigned char kinds[TRACE_BATCH_REFERENCES];
} turns;

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

}  // namespace

int tt_take_in(int (*check)(const unsigned char *, const trace_batch &,
                            uint64_t),
               live_records *out) {
  trace_ring *ring = turns.ring;
  uint64_t written = __atomic_load_n(&ring->written, __ATOMIC_SEQ_CST);
  while (turns.taken < written) {
    const unsigned char *batch = trace_ring_at(ring, turns.taken);
    held_batch h{turns.taken, 0, 0, 0, {}, nullptr, nullptr, 0, true, {}};
    memcpy(&h.head, batch, sizeof h.head);
    out->references = h.head.references;
    out->region_count = h.head.regions;
    int wrong = check(batch, h.head, turns.taken);
    if (wrong) return wrong;
    if (h.head.references == 0)
      live_note_regions(batch + sizeof h.head, h.head.regions);
    if (h.head.text)
      turns.texts.push_back(
          {h.at, h.head.pid,
           std::string(reinterpret_cast<const char *>(batch) +
                           trace_batch_kinds(&h.head),
                       h.head.text)});
    note_thread(&h);
    h.bytes = trace_batch_bytes(&h.head);
    h.addrs = reinterpret_cast<const md_addr_t *>(
        batch + trace_batch_addresses(&h.head));
    h.kinds = batch + trace_batch_kinds(&h.head);
    turns.held.push_back(h);
    turns.taken += h.bytes;
  }
  return 0;
}

void tt_release(void) {
  for (held_batch &h : turns.held) {
    if (!h.in_ring) continue;
    if (has_records(h) && h.copy.empty()) break;
    trace_ring_release(turns.ring, h.bytes);
    h.in_ring = false;
  }
  while (!turns.held.empty() && !turns.held.front().in_ring &&
         !has_records(turns.held.front())) {
    turns.copied_bytes -= turns.held.front().copy.size();
    turns.held.pop_front();
  }
}

bool tt_ring_pressed(void) {
  const uint64_t largest = sizeof(trace_batch) +
                           TRACE_BATCH_REGIONS * sizeof(trace_region) +
                           TRACE_BATCH_REFERENCES * 5 + 8;
  return trace_ring_unread(turns.ring) + largest > TRACE_RING_DATA;
}

bool tt_copy_out(void) {
  for (held_batch &h : turns.held) {
    if (!h.in_ring || !has_records(h) || !h.copy.empty()) continue;
    if (turns.copied_bytes + h.bytes > kMostCopied) return false;
    const unsigned char *batch = trace_ring_at(turns.ring, h.at);
    h.copy.assign(batch, batch + h.bytes);
    h.addrs = reinterpret_cast<const md_addr_t *>(
        h.copy.data() + trace_batch_addresses(&h.head));
    h.kinds = h.copy.data() + trace_batch_kinds(&h.head);
    turns.copied_bytes += h.bytes;
  }
  tt_release();
  return true;
}

namespace {

// Takes records of h out: n of them, from where it stands.
void take_from(held_batch *h, size_t n, live_records *out) {
  if (h->given == 0)
    live_note_regions(reinterpret_cast<const char *>(h->addrs) -
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
void give_whole(held_batch *h, size_t cap, live_records *out) {
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
void count_kinds(live_records *out) {
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
                   live_records *out) {
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

}  // namespace

void tt_give(size_t cap, unsigned length, bool drain, bool pass_over,
             live_records *out) {
  turns.length = length;
  auto first = std::find_if(turns.held.begin(), turns.held.end(),
                            has_records);
  if (first != turns.held.end())
    give_in_turns(first->head.pid, cap, drain, pass_over, out);
}

bool tt_records_held(void) {
  return std::any_of(turns.held.begin(), turns.held.end(), has_records);
}

void tt_texts_due(void (*take)(const char *text, size_t n, pid_t pid)) {
  for (auto t = turns.texts.begin(); t != turns.texts.end();) {
    bool earlier_held = std::any_of(
        turns.held.begin(), turns.held.end(), [&](const held_batch &h) {
          return h.at < t->at && h.head.pid == t->pid && has_records(h);
        });
    if (earlier_held) {
      ++t;
      continue;
    }
    take(t->text.data(), t->text.size(), t->pid);
    t = turns.texts.erase(t);
  }
}

void live_note_regions(const void *regions, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    trace_region r;
    memcpy(&r, static_cast<const char *>(regions) + i * sizeof r, sizeof r);
    note_region_placed(r.region, r.place);
  }
}

void tt_start(trace_ring *ring) {
  turns.ring = ring;
  turns.taken = ring ? ring->read : 0;
  turns.held.clear();
  turns.threads.clear();
  turns.texts.clear();
  turns.current = turns.left = 0;
  turns.copied_bytes = 0;
}

uint64_t tt_taken(void) { return turns.taken; }

void tt_forget_process(pid_t pid) {
  std::erase_if(turns.threads,
                [pid](const turn_thread &t) { return t.pid == pid; });
}
