// Several families in one run, one child process each (kChildFamilies,
// family_sink.h). vantle-sim reads and decodes the input once; each child
// owns one library instance, fed through a ring (transport/trace_ring.h)
// of messages: a header (count, what), then the addresses of the
// references that family takes, picked out by the parent, which closes the
// ring at the end of the input. The families use every core, and the
// decoded stream is never stored. A child's standard output and error go
// to a memory file the parent copies out in order; its result rows go to a
// second one, written once at the end. Owns each child's process record
// (fam_process) and what the run's signals ask of a wait.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <initializer_list>

#include "libvantle/util.h"
#include "toolset/family_sink.h"
#include "toolset/run_families.h"
#include "transport/trace_ring.h"

// A child running one family.
struct fam_process {
  pid_t pid;
  trace_ring *ring;  // batches go in here
  int ack_fd;        // one byte back when an asked-for report is written
  int text_fd;       // its standard output and error
  int rows_fd;       // its vantle_results rows, at the end
  int explained_fd;  // its vantle_explanation rows, at the end (-explain)
  off_t shown;       // bytes of its text already printed
  int wait_status;
  bool silent;       // it did not answer in time, and was killed
  int acks_owed;     // acknowledgements of interim reports given up on
};

namespace {

enum { kBatch = 1 << 16 };  // the most references one message carries
enum { kMostChildren = RF_MOST_FAMILIES };

// What a message holds: count addresses; a request for an interim report;
// count addresses followed by count bytes, each 1 when its reference
// writes (a family that counts write-backs).
enum : uint32_t { kReferences = 0, kInterim = 1, kReferencesAndStores = 2 };
struct header {
  uint32_t count;
  uint32_t what;
};

fam_process processes[kMostChildren];

// What the run's signals ask while vantle-sim waits on a child.
int (*asked_of_waits)(void);

// The size of a message of count references, with their store marks when
// stores (rounded up so that the next message's addresses stay aligned).
size_t message_bytes(size_t count, bool stores = false) {
  size_t bytes = sizeof(header) + count * sizeof(md_addr_t);
  return stores ? (bytes + count + 7) & ~size_t{7} : bytes;
}

// Whole reads and writes over the acknowledgement pipe and the rows file,
// through interrupting signals.
bool read_all(int fd, void *into, size_t bytes) {
  char *p = static_cast<char *>(into);
  while (bytes > 0) {
    ssize_t got = read(fd, p, bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    bytes -= static_cast<size_t>(got);
  }
  return true;
}

bool write_all(int fd, const void *from, size_t bytes) {
  const char *p = static_cast<const char *>(from);
  while (bytes > 0) {
    ssize_t put = write(fd, p, bytes);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    bytes -= static_cast<size_t>(put);
  }
  return true;
}

void acknowledge(int ack_fd) {
  unsigned char done = 1;
  if (!write_all(ack_fd, &done, 1)) _exit(1);
}

// ---- In the child ----------------------------------------------------------

// Whether the parent has closed the ring: the input is over.
int input_over(void *ring) {
  return trace_ring_closed(static_cast<trace_ring *>(ring));
}

// The child's loop: feed what comes, report when asked, and at the end of
// the input make the final report and leave the rows.
[[noreturn]] void serve(fam_process *p, int ack_fd) {
  while (!trace_ring_wait(p->ring, TRACE_RING_READER, 1, input_over,
                          p->ring)) {
    const unsigned char *message = trace_ring_next(p->ring);
    header h;
    memcpy(&h, message, sizeof h);
    if (h.what == kInterim) {
      vantle_stats(stderr, 1);
      fflush(nullptr);
      acknowledge(ack_fd);
    } else if (h.count > kBatch) {
      _exit(1);
    }
    const md_addr_t *addrs =
        reinterpret_cast<const md_addr_t *>(message + sizeof h);
    bool stores = h.what == kReferencesAndStores;
    if (stores) {
      const unsigned char *writes =
          reinterpret_cast<const unsigned char *>(addrs + h.count);
      for (uint32_t i = 0; i < h.count; i++)
        vantle_access_store(addrs[i], writes[i]);
    } else {
      vantle_access_batch(addrs, h.count);
    }
    trace_ring_release(p->ring, message_bytes(h.count, stores));
  }
  vantle_stats(stderr, 0);
  fflush(nullptr);
  int n = vantle_results(nullptr, 0);
  vantle_result *rows = static_cast<vantle_result *>(checked_calloc(
      n ? n : 1, sizeof *rows, "families", "serve", __LINE__));
  vantle_results(rows, n);
  bool saved = write_all(p->rows_fd, rows, n * sizeof *rows);
  if (saved && p->explained_fd >= 0) {
    vantle_explained *why = static_cast<vantle_explained *>(checked_calloc(
        n ? n : 1, sizeof *why, "families", "serve", __LINE__));
    vantle_explanation(why, n);
    saved = write_all(p->explained_fd, why, n * sizeof *why);
  }
  _exit(saved ? 0 : 1);
}

void quiet_fatal(FILE *) {}

[[noreturn]] void run_child(fam_family *f, int ack_fd,
                            const fam_hooks *hooks) {
  // The run's signals are vantle-sim's to answer.
  for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) signal(sig, SIG_IGN);
  signal(SIGPIPE, SIG_DFL);
  fatal_hook(quiet_fatal);
  if (hooks->in_child) hooks->in_child();
  dup2(f->process->text_fd, 1);
  dup2(f->process->text_fd, 2);
  vantle_explain(f->explain);
  vantle_init(f->count, f->words);  // what it refuses ends the child here
  vantle_config(stderr);
  if (hooks->after_config) hooks->after_config(stderr);
  fflush(nullptr);
  acknowledge(ack_fd);
  serve(f->process, ack_fd);
}

// ---- Waiting on a child -----------------------------------------------------

enum { kSlice = 100, kGraceSlices = 50 };  // milliseconds; 5 s

// A wait on a child: it ends when the run's signals ask for a bit of
// give_up_when, or, once grace counts (from the start, or from a bit of
// grace_when), when the child has made no progress (read from its ring,
// written text or rows) for kGraceSlices slices. Counted in slices rather
// than by the clock, so that a run stopped and resumed (Ctrl-Z, fg) gives
// its children their whole grace again.
struct watch {
  const fam_process *p;
  int give_up_when, grace_when;
  bool counting;
  int idle;
  uint64_t last;
};

uint64_t progress(const fam_process *p) {
  uint64_t done = p->ring ? trace_ring_progress(p->ring) : 0;
  struct stat st;
  if (fstat(p->text_fd, &st) == 0) done += static_cast<uint64_t>(st.st_size);
  if (fstat(p->rows_fd, &st) == 0) done += static_cast<uint64_t>(st.st_size);
  return done;
}

// A watch; its first slice takes the child's progress so far, so that a
// wait that never sleeps costs nothing.
watch watching(const fam_family *f, int give_up_when, int grace_when,
               bool counting) {
  return {f->process, give_up_when, grace_when, counting, -1, 0};
}

// A slice went by with no answer: whether to wait on.
bool keep_waiting(watch *w) {
  int asked = asked_of_waits ? asked_of_waits() : 0;
  if (asked & w->give_up_when) return false;
  if (asked & w->grace_when) w->counting = true;
  uint64_t now = progress(w->p);
  if (now != w->last || w->idle < 0) {
    w->last = now;
    w->idle = 0;
    return true;
  }
  return !w->counting || ++w->idle < kGraceSlices;
}

// Waits for the byte that says the child did what it was asked. False
// when the child is gone (f->gone set) or the watch gave up; the answers
// of given-up waits are passed over when they come.
bool acknowledged(fam_family *f, watch *w) {
  fam_process *p = f->process;
  while (!f->gone) {
    pollfd answer = {p->ack_fd, POLLIN, 0};
    int ready = poll(&answer, 1, kSlice);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      if (!keep_waiting(w)) return false;
      continue;
    }
    unsigned char done;
    if (!read_all(p->ack_fd, &done, 1)) break;
    if (p->acks_owed > 0) {
      p->acks_owed--;
      continue;
    }
    return true;
  }
  f->gone = true;
  return false;
}

// Whether the child has ended: it held the one writing end of its
// acknowledgement pipe, which hangs up then.
bool hung_up(const fam_process *p) {
  pollfd end = {p->ack_fd, POLLIN, 0};
  return poll(&end, 1, 0) > 0 && (end.revents & (POLLHUP | POLLERR));
}

// What a wait for room in a child's ring watches besides the ring.
struct room_wait {
  fam_family *f;
  watch *w;
};

// Asked by the ring's wait before each sleep: non-zero, to stop waiting,
// when the child has gone (f->gone set) or the watch gives up.
int stop_waiting_for_room(void *arg) {
  room_wait *r = static_cast<room_wait *>(arg);
  if (hung_up(r->f->process)) r->f->gone = true;
  return r->f->gone || !keep_waiting(r->w);
}

// Waits for room in the child's ring for a message of n references and
// writes its header there; the message, null when the child is gone
// (f->gone set) or the watch gave up.
unsigned char *start_message(fam_family *f, size_t n, uint32_t what,
                             watch *w) {
  trace_ring *ring = f->process->ring;
  room_wait r = {f, w};
  if (f->gone ||
      trace_ring_wait(ring, TRACE_RING_WRITER,
                      message_bytes(n, what == kReferencesAndStores),
                      stop_waiting_for_room, &r))
    return nullptr;
  unsigned char *at = trace_ring_at(ring, ring->written);
  header h = {static_cast<uint32_t>(n), what};
  memcpy(at, &h, sizeof h);
  return at;
}

// Hands the message at the ring's write position to the child, holding n
// references.
void finish_message(fam_family *f, size_t n) {
  trace_ring *ring = f->process->ring;
  unsigned char *message = trace_ring_at(ring, ring->written);
  header h;
  memcpy(&h, message, sizeof h);
  h.count = static_cast<uint32_t>(n);
  memcpy(message, &h, sizeof h);
  trace_ring_publish(ring, message_bytes(h.count,
                                         h.what == kReferencesAndStores));
}

// Waits until the child has closed its end of the acknowledgement pipe,
// as it does when it ends; kills it when the watch gives up.
void await_end(fam_family *f) {
  fam_process *p = f->process;
  watch w = watching(f, 0, FAM_END, false);
  while (!f->gone) {
    pollfd end = {p->ack_fd, POLLIN, 0};
    int ready = poll(&end, 1, kSlice);
    unsigned char passed_over;
    if (ready > 0 && read(p->ack_fd, &passed_over, 1) > 0) continue;
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    if (!keep_waiting(&w)) {
      p->silent = true;
      kill(p->pid, SIGKILL);
      return;
    }
  }
}

// Ends the child's input and waits for its end; true when it ended by
// itself with status 0. One that does not answer is killed (silent).
bool wait_for_child(fam_family *f) {
  fam_process *p = f->process;
  if (p->ring) trace_ring_close(p->ring);
  if (p->pid > 0) {
    await_end(f);
    while (waitpid(p->pid, &p->wait_status, 0) < 0 && errno == EINTR) {
    }
    p->pid = 0;
  }
  if (p->ring) trace_ring_unmap(p->ring);
  p->ring = nullptr;
  f->gone = true;
  return !p->silent && WIFEXITED(p->wait_status) &&
         WEXITSTATUS(p->wait_status) == 0;
}

void kill_all(fam_family *families, int count) {
  for (int i = 0; i < count; i++) {
    if (families[i].process->pid > 0) kill(families[i].process->pid, SIGKILL);
    wait_for_child(&families[i]);
  }
}

// Prints what the child wrote to its text since the last call.
void copy_text(fam_family *f, FILE *to) {
  fam_process *p = f->process;
  char chunk[1 << 16];
  for (;;) {
    ssize_t got = pread(p->text_fd, chunk, sizeof chunk, p->shown);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    fwrite(chunk, 1, static_cast<size_t>(got), to);
    p->shown += got;
  }
}

// ---- Starting the children ------------------------------------------------

// What cannot be made for a family ends the run, naming the family and
// the thing: "-cache:opts family 7 of 20 (`-Csa'): cannot make its text
// file: Too many open files".
[[noreturn]] void cannot_make(const fam_family *f, int index, int count,
                              const char *what, int line) {
  _fatal("families", "fam_start", line, "-cache:opts family %d of %d (`%s'): "
         "cannot make %s: %s", index + 1, count, f->spec, what,
         strerror(errno));
}

int memory_file(const char *name) { return memfd_create(name, MFD_CLOEXEC); }

// The ring a child is fed through, shared with it across the fork; null
// with errno set when it cannot be made.
trace_ring *shared_ring() {
  int fd = memory_file("vantle-family-ring");
  if (fd < 0) return nullptr;
  trace_ring *ring = nullptr;
  if (ftruncate(fd, TRACE_RING_CONTROL + TRACE_RING_DATA) == 0)
    ring = trace_ring_map(fd);
  int saved = errno;
  close(fd);
  errno = saved;
  return ring;
}

// Makes family i's ring, files and pipe, and forks its child.
void fork_child(fam_family *families, int i, int count,
                const fam_hooks *hooks, pid_t parent) {
  fam_family *f = &families[i];
  fam_process *p = f->process = &processes[i];
  *p = {};
  int ack[2];
  if (pipe2(ack, O_CLOEXEC) != 0)
    cannot_make(f, i, count, "its pipe", __LINE__);
  if (!(p->ring = shared_ring()))
    cannot_make(f, i, count, "its ring of shared memory", __LINE__);
  if ((p->text_fd = memory_file("vantle-family-text")) < 0)
    cannot_make(f, i, count, "its text file", __LINE__);
  if ((p->rows_fd = memory_file("vantle-family-rows")) < 0)
    cannot_make(f, i, count, "its rows file", __LINE__);
  p->explained_fd = -1;
  if (f->explain &&
      (p->explained_fd = memory_file("vantle-family-explained")) < 0)
    cannot_make(f, i, count, "its explanation file", __LINE__);
  p->pid = fork();
  if (p->pid < 0) cannot_make(f, i, count, "its process", __LINE__);
  if (p->pid == 0) {
    // The child goes with vantle-sim, however vantle-sim ends. Asked for
    // first and checked after: vantle-sim may end between the fork and
    // the request, which would otherwise leave the child waiting for
    // input for ever.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);  // vantle-sim is gone already
    for (int j = 0; j < i; j++) {  // the earlier children's ends
      trace_ring_unmap(processes[j].ring);
      close(processes[j].ack_fd);
    }
    close(ack[0]);
    run_child(f, ack[1], hooks);
  }
  close(ack[1]);
  p->ack_fd = ack[0];
}

// Waits for family f's child to say it has started; false, the child
// gone and its text shown, when it does not.
bool started(fam_family *f) {
  watch w = watching(f, FAM_END, 0, false);
  if (acknowledged(f, &w)) return true;
  if (!f->gone) kill(f->process->pid, SIGKILL);
  wait_for_child(f);
  copy_text(f, stderr);
  return false;
}

void start(fam_family *families, int count, const fam_hooks *hooks) {
  asked_of_waits = hooks->asked;
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t parent = getpid();
  for (int i = 0; i < count; i++)
    fork_child(families, i, count, hooks, parent);
  for (int i = 0; i < count; i++) {
    fam_family *f = &families[i];
    if (started(f)) continue;
    fprintf(stderr, "error: -cache:opts family %d of %d (`%s') cannot run; "
                    "nothing was simulated\n", i + 1, count, f->spec);
    kill_all(families, count);
    exit(1);
  }
}

// ---- The sink ---------------------------------------------------------------

// The addresses that f takes among records 0..take-1 into picked, then
// their store marks after the taken addresses.
void pick_with_stores(const fam_family *f, const md_addr_t *addrs,
                      const unsigned char *kinds, size_t take, size_t taken,
                      md_addr_t *picked) {
  unsigned char *writes = reinterpret_cast<unsigned char *>(picked + taken);
  size_t k = 0;
  for (size_t i = 0; i < take && k < taken; i++) {
    if (!f->wanted[kinds[i]]) continue;
    picked[k] = addrs[i];
    writes[k++] = fam_stores(kinds[i]);
  }
}

// Puts the addresses that f takes among records 0..take-1 into picked,
// which has room for take.
void pick(const fam_family *f, const md_addr_t *addrs,
          const unsigned char *kinds, size_t take, md_addr_t *picked) {
  if (f->wanted[MD_REF_NONE]) {  // every kind
    memcpy(picked, addrs, take * sizeof *picked);
    return;
  }
  size_t k = 0;
  for (size_t i = 0; i < take; i++) {
    picked[k] = addrs[i];
    k += f->wanted[kinds[i]];
  }
}

fam_fed feed(fam_family *f, const md_addr_t *addrs,
             const unsigned char *kinds, size_t take, size_t taken) {
  watch w = watching(f, FAM_END | FAM_REPORT, 0, false);
  unsigned char *message = start_message(
      f, take, f->stores ? kReferencesAndStores : kReferences, &w);
  if (!message) return f->gone ? FAM_GONE : FAM_ASKED;
  md_addr_t *picked = reinterpret_cast<md_addr_t *>(message + sizeof(header));
  if (f->stores)
    pick_with_stores(f, addrs, kinds, take, taken, picked);
  else
    pick(f, addrs, kinds, take, picked);
  finish_message(f, taken);
  return FAM_FED;
}

bool interim(fam_family *f, FILE *to) {
  watch w = watching(f, FAM_END, 0, true);
  if (!start_message(f, 0, kInterim, &w)) return false;
  finish_message(f, 0);
  if (acknowledged(f, &w)) {
    copy_text(f, to);
    return true;
  }
  if (!f->gone) f->process->acks_owed++;
  return false;
}

void end_input(fam_family *families, int count) {
  for (int i = 0; i < count; i++)
    if (families[i].process->ring)
      trace_ring_close(families[i].process->ring);
}

bool final_report(fam_family *f, FILE *to) {
  bool well = wait_for_child(f);
  copy_text(f, to);
  return well;
}

void say_failure(const fam_family *f, int index, int count, FILE *to) {
  const fam_process *p = f->process;
  fprintf(to, "sim: family %d of %d (`%s') ", index + 1, count, f->spec);
  if (p->silent)
    fprintf(to, "did not answer for %d s; it was killed\n",
            kGraceSlices * kSlice / 1000);
  else if (WIFSIGNALED(p->wait_status))
    fprintf(to, "was killed by signal %d (%s)\n", WTERMSIG(p->wait_status),
            strsignal(WTERMSIG(p->wait_status)));
  else
    fprintf(to, "failed with exit status %d\n", WEXITSTATUS(p->wait_status));
}

// The records of size `size` a child left in the memory file fd, in a
// table the caller frees; *count says how many (0, with null, when there
// are none or they cannot be read).
void *records_of(int fd, size_t size, int *count, const char *func) {
  struct stat st;
  *count = 0;
  if (fd < 0 || fstat(fd, &st) != 0 || st.st_size <= 0) return nullptr;
  size_t n = static_cast<size_t>(st.st_size) / size;
  void *records = checked_calloc(n, size, "families", func, __LINE__);
  if (pread(fd, records, n * size, 0) != static_cast<ssize_t>(n * size)) {
    free(records);
    return nullptr;
  }
  *count = static_cast<int>(n);
  return records;
}

int rows(fam_family *f, vantle_result **out) {
  int n;
  *out = static_cast<vantle_result *>(records_of(
      f->process->rows_fd, sizeof(vantle_result), &n, "fam_rows"));
  return n;
}

bool any_gone(fam_family *families, int count) {
  pollfd ends[kMostChildren];
  fam_process *of[kMostChildren];
  int n = 0;
  for (int i = 0; i < count && n < kMostChildren; i++)
    if (!families[i].gone) {
      of[n] = families[i].process;
      ends[n++] = {families[i].process->ack_fd, POLLIN, 0};
    }
  if (poll(ends, n, 0) <= 0) return false;
  for (int i = 0; i < n; i++) {
    if (!ends[i].revents) continue;
    // Only the answer to an interim report given up on may come now;
    // anything else is an end of file.
    unsigned char late;
    if (of[i]->acks_owed == 0 || read(ends[i].fd, &late, 1) != 1) return true;
    of[i]->acks_owed--;
  }
  return false;
}

bool in_flight(size_t *) { return false; }  // the children feed themselves

int explanation(fam_family *f, vantle_explained **out) {
  int n;
  *out = static_cast<vantle_explained *>(
      records_of(f->process->explained_fd, sizeof(vantle_explained), &n,
                 "fam_explanation"));
  return n;
}

bool add(fam_family *families, int index, const fam_hooks *hooks) {
  fflush(nullptr);
  fork_child(families, index, index + 1, hooks, getpid());
  return started(&families[index]);
}

}  // namespace

const family_sink kChildFamilies = {start,       copy_text,   feed,
                                    interim,     end_input,   final_report,
                                    say_failure, rows,        any_gone,
                                    in_flight,   explanation, add};
