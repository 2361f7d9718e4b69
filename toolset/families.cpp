// Several families in one run, one child process each. The parent owns
// the reading; a child owns one library instance, fed through a ring
// (transport/trace_ring.h) of messages: a header (count, what), then the
// addresses of the references that family takes, picked out by the
// parent; the parent closes the ring at the end of the input. The child's
// standard output and error go to a memory file the parent copies out in
// order; its result rows go to a second one, written once at the end.
#include "families.h"

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
#include "transport/trace_ring.h"

namespace {

enum { kBatch = 1 << 16 };  // the most references one message carries
enum { kMostChildren = 64 };

enum : uint32_t { kReferences = 0, kInterim = 1 };
struct header {
  uint32_t count;
  uint32_t what;
};

// The size of a message of count references.
size_t message_bytes(uint32_t count) {
  return sizeof(header) + count * sizeof(md_addr_t);
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

void acknowledge(int ack_fd, unsigned char value = 1) {
  if (!write_all(ack_fd, &value, 1)) _exit(1);
}

// Whether the parent has closed the ring: the input is over.
int input_over(void *ring) {
  return trace_ring_closed(static_cast<trace_ring *>(ring));
}

// The child's loop: feed what comes, report when asked, and at the end of
// the input make the final report and leave the rows.
[[noreturn]] void serve(fam_family *f, int ack_fd) {
  while (!trace_ring_wait(f->ring, TRACE_RING_READER, 1, input_over,
                          f->ring)) {
    const unsigned char *message = trace_ring_at(f->ring, f->ring->read);
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
    for (uint32_t i = 0; i < h.count; i++) vantle_access(addrs[i]);
    trace_ring_release(f->ring, message_bytes(h.count));
  }
  vantle_stats(stderr, 0);
  fflush(nullptr);
  int n = vantle_results(nullptr, 0);
  vantle_result *rows = static_cast<vantle_result *>(checked_calloc(
      n ? n : 1, sizeof *rows, "families", "serve", __LINE__));
  vantle_results(rows, n);
  bool saved = write_all(f->rows_fd, rows, n * sizeof *rows);
  _exit(saved ? 0 : 1);
}

void quiet_fatal(FILE *) {}

[[noreturn]] void run_child(fam_family *f, int ack_fd,
                            void (*in_child)(void),
                            void (*after_config)(FILE *),
                            int (*ready_value)(void)) {
  // The child goes with vantle-sim, however vantle-sim ends; the run's
  // signals are vantle-sim's to answer.
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  for (int sig : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) signal(sig, SIG_IGN);
  signal(SIGPIPE, SIG_DFL);
  fatal_hook(quiet_fatal);
  if (in_child) in_child();
  dup2(f->text_fd, 1);
  dup2(f->text_fd, 2);
  vantle_init(f->count, f->words);  // a refused word ends the child here
  vantle_config(stderr);
  if (after_config) after_config(stderr);
  fflush(nullptr);
  acknowledge(ack_fd, static_cast<unsigned char>(ready_value ? ready_value()
                                                             : 1));
  serve(f, ack_fd);
}

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

// What the run's signals ask while vantle-sim waits on a child.
int (*asked_of_waits)(void);

enum { kSlice = 100, kGraceSlices = 50 };  // milliseconds; 5 s

// A wait on a child: it ends when the run's signals ask for a bit of
// give_up_when, or, once grace counts (from the start, or from a bit of
// grace_when), when the child has made no progress (read from its ring,
// written text or rows) for kGraceSlices slices. Counted in slices rather
// than by the clock, so that a run stopped and resumed (Ctrl-Z, fg) gives
// its children their whole grace again.
struct watch {
  const fam_family *f;
  int give_up_when, grace_when;
  bool counting;
  int idle;
  uint64_t last;
};

uint64_t progress(const fam_family *f) {
  uint64_t done = f->ring ? __atomic_load_n(&f->ring->read, __ATOMIC_SEQ_CST)
                          : 0;
  struct stat st;
  if (fstat(f->text_fd, &st) == 0) done += static_cast<uint64_t>(st.st_size);
  if (fstat(f->rows_fd, &st) == 0) done += static_cast<uint64_t>(st.st_size);
  return done;
}

// A watch; its first slice takes the child's progress so far, so that a
// wait that never sleeps costs nothing.
watch watching(const fam_family *f, int give_up_when, int grace_when,
               bool counting) {
  return {f, give_up_when, grace_when, counting, -1, 0};
}

// A slice went by with no answer: whether to wait on.
bool keep_waiting(watch *w) {
  int asked = asked_of_waits ? asked_of_waits() : 0;
  if (asked & w->give_up_when) return false;
  if (asked & w->grace_when) w->counting = true;
  uint64_t now = progress(w->f);
  if (now != w->last || w->idle < 0) {
    w->last = now;
    w->idle = 0;
    return true;
  }
  return !w->counting || ++w->idle < kGraceSlices;
}

// Waits for the byte that says the child did what it was asked; *value
// gets it. False when the child is gone (f->gone set) or the watch gave
// up; the answers of given-up waits are passed over when they come.
bool acknowledged(fam_family *f, watch *w, unsigned char *value = nullptr) {
  while (!f->gone) {
    pollfd answer = {f->ack_fd, POLLIN, 0};
    int ready = poll(&answer, 1, kSlice);
    if (ready == 0 || (ready < 0 && errno == EINTR)) {
      if (!keep_waiting(w)) return false;
      continue;
    }
    unsigned char done;
    if (!read_all(f->ack_fd, &done, 1)) break;
    if (f->acks_owed > 0) {
      f->acks_owed--;
      continue;
    }
    if (value) *value = done;
    return true;
  }
  f->gone = true;
  return false;
}

// Whether the child has ended: it held the one writing end of its
// acknowledgement pipe, which hangs up then.
bool hung_up(const fam_family *f) {
  pollfd end = {f->ack_fd, POLLIN, 0};
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
  if (hung_up(r->f)) r->f->gone = true;
  return r->f->gone || !keep_waiting(r->w);
}

// Waits for room in the child's ring for a message of n references and
// writes its header there; the message, null when the child is gone
// (f->gone set) or the watch gave up.
unsigned char *start_message(fam_family *f, size_t n, uint32_t what,
                             watch *w) {
  room_wait r = {f, w};
  if (f->gone || trace_ring_wait(f->ring, TRACE_RING_WRITER,
                                 message_bytes(n), stop_waiting_for_room, &r))
    return nullptr;
  unsigned char *at = trace_ring_at(f->ring, f->ring->written);
  header h = {static_cast<uint32_t>(n), what};
  memcpy(at, &h, sizeof h);
  return at;
}

// Hands the message at the ring's write position to the child, holding n
// references.
void finish_message(fam_family *f, size_t n) {
  unsigned char *message = trace_ring_at(f->ring, f->ring->written);
  uint32_t count = static_cast<uint32_t>(n);
  memcpy(message + offsetof(header, count), &count, sizeof count);
  trace_ring_publish(f->ring, message_bytes(count));
}

}  // namespace

bool fam_select_kinds(const char *name, bool *wanted) {
  bool all = !strcmp(name, "all"), data = !strcmp(name, "data");
  bool load = !strcmp(name, "load"), store = !strcmp(name, "store");
  wanted[MD_REF_NONE] = all;
  wanted[MD_REF_INST] = all || !strcmp(name, "inst");
  wanted[MD_REF_LOAD] = all || data || load;
  wanted[MD_REF_STORE] = all || data || store;
  // A modify reads and writes one location: one data reference.
  wanted[MD_REF_MODIFY] = all || data || load || store;
  return wanted[MD_REF_INST] || wanted[MD_REF_LOAD] || wanted[MD_REF_STORE];
}

bool fam_parse(fam_family *f, const char *spec, const char *kinds,
               const char **why) {
  memset(f, 0, sizeof *f);
  f->spec = spec;
  f->kinds = kinds;
  f->text = strdup(spec);
  char *words = f->text;
  char *colon = strchr(words, ':');
  if (colon) {
    // The kinds are one word, blanks around it aside: "all junk:" is no
    // kind, and must not pass as "all".
    *colon = '\0';
    char *name = words + strspn(words, " \t");
    size_t length = strlen(name);
    while (length > 0 && strchr(" \t", name[length - 1]))
      name[--length] = '\0';
    f->kinds = name;
    f->kinds_given = true;
    words = colon + 1;
  }
  if (!fam_select_kinds(f->kinds, f->wanted)) {
    *why = "its reference kinds must be all, inst, data, load or store";
    return false;
  }
  for (char *w = strtok(words, " \t"); w; w = strtok(nullptr, " \t")) {
    if (f->count == 256) {
      *why = "it holds too many words";
      return false;
    }
    f->words[f->count++] = w;
  }
  return true;
}

void fam_start(fam_family *families, int count, void (*in_child)(void),
               void (*after_config)(FILE *text), int (*ready_value)(void)) {
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t parent = getpid();
  for (int i = 0; i < count; i++) {
    fam_family *f = &families[i];
    int ack[2];
    if (pipe2(ack, O_CLOEXEC) != 0)
      cannot_make(f, i, count, "its pipe", __LINE__);
    if (!(f->ring = shared_ring()))
      cannot_make(f, i, count, "its ring of shared memory", __LINE__);
    if ((f->text_fd = memory_file("vantle-family-text")) < 0)
      cannot_make(f, i, count, "its text file", __LINE__);
    if ((f->rows_fd = memory_file("vantle-family-rows")) < 0)
      cannot_make(f, i, count, "its rows file", __LINE__);
    f->pid = fork();
    if (f->pid < 0) cannot_make(f, i, count, "its process", __LINE__);
    if (f->pid == 0) {
      if (getppid() != parent) _exit(1);  // vantle-sim is gone already
      for (int j = 0; j < i; j++) {  // the earlier children's ends
        trace_ring_unmap(families[j].ring);
        close(families[j].ack_fd);
      }
      close(ack[0]);
      run_child(f, ack[1], in_child, after_config, ready_value);
    }
    close(ack[1]);
    f->ack_fd = ack[0];
  }
  for (int i = 0; i < count; i++) {
    fam_family *f = &families[i];
    unsigned char value;
    watch w = watching(f, FAM_END, 0, false);
    if (acknowledged(f, &w, &value)) {
      f->ready_value = value;
      continue;
    }
    if (!f->gone) kill(f->pid, SIGKILL);
    fam_wait(f);
    fam_copy_text(f, stderr);
    fprintf(stderr, "error: -cache:opts family %d of %d (`%s') cannot run; "
                    "nothing was simulated\n", i + 1, count, f->spec);
    fam_kill_all(families, count);
    exit(1);
  }
}

void fam_copy_text(fam_family *f, FILE *to) {
  char chunk[1 << 16];
  for (;;) {
    ssize_t got = pread(f->text_fd, chunk, sizeof chunk, f->shown);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    fwrite(chunk, 1, static_cast<size_t>(got), to);
    f->shown += got;
  }
}

void fam_on_wait(int (*asked)(void)) { asked_of_waits = asked; }

md_addr_t *fam_reserve(fam_family *f, size_t n) {
  watch w = watching(f, FAM_END | FAM_REPORT, 0, false);
  unsigned char *message = start_message(f, n, kReferences, &w);
  return message ? reinterpret_cast<md_addr_t *>(message + sizeof(header))
                 : nullptr;
}

void fam_commit(fam_family *f, size_t n) { finish_message(f, n); }

bool fam_interim(fam_family *f) {
  watch w = watching(f, FAM_END, 0, true);
  if (!start_message(f, 0, kInterim, &w)) return false;
  finish_message(f, 0);
  if (acknowledged(f, &w)) return true;
  if (!f->gone) f->acks_owed++;
  return false;
}

void fam_end_input(fam_family *f) {
  if (f->ring) trace_ring_close(f->ring);
}

// Waits until the child has closed its end of the acknowledgement pipe,
// as it does when it ends; kills it when the watch gives up.
void await_end(fam_family *f) {
  watch w = watching(f, 0, FAM_END, false);
  while (!f->gone) {
    pollfd end = {f->ack_fd, POLLIN, 0};
    int ready = poll(&end, 1, kSlice);
    unsigned char passed_over;
    if (ready > 0 && read(f->ack_fd, &passed_over, 1) > 0) continue;
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
    if (!keep_waiting(&w)) {
      f->silent = true;
      kill(f->pid, SIGKILL);
      return;
    }
  }
}

bool fam_wait(fam_family *f) {
  fam_end_input(f);
  if (f->pid > 0) {
    await_end(f);
    while (waitpid(f->pid, &f->wait_status, 0) < 0 && errno == EINTR) {
    }
    f->pid = 0;
  }
  if (f->ring) trace_ring_unmap(f->ring);
  f->ring = nullptr;
  f->gone = true;
  return !f->silent && WIFEXITED(f->wait_status) &&
         WEXITSTATUS(f->wait_status) == 0;
}

void fam_say_failure(const fam_family *f, int index, int count, FILE *to) {
  fprintf(to, "sim: family %d of %d (`%s') ", index + 1, count, f->spec);
  if (f->silent)
    fprintf(to, "did not answer for %d s; it was killed\n",
            kGraceSlices * kSlice / 1000);
  else if (WIFSIGNALED(f->wait_status))
    fprintf(to, "was killed by signal %d (%s)\n", WTERMSIG(f->wait_status),
            strsignal(WTERMSIG(f->wait_status)));
  else
    fprintf(to, "failed with exit status %d\n", WEXITSTATUS(f->wait_status));
}

int fam_rows(const fam_family *f, vantle_result **rows) {
  struct stat st;
  *rows = nullptr;
  if (fstat(f->rows_fd, &st) != 0 || st.st_size <= 0) return 0;
  size_t n = static_cast<size_t>(st.st_size) / sizeof(vantle_result);
  *rows = static_cast<vantle_result *>(checked_calloc(
      n, sizeof(vantle_result), "families", "fam_rows", __LINE__));
  if (pread(f->rows_fd, *rows, n * sizeof(vantle_result), 0) !=
      static_cast<ssize_t>(n * sizeof(vantle_result))) {
    free(*rows);
    *rows = nullptr;
    return 0;
  }
  return static_cast<int>(n);
}

bool fam_any_gone(fam_family *families, int count) {
  pollfd ends[kMostChildren];
  fam_family *of[kMostChildren];
  int n = 0;
  for (int i = 0; i < count && n < kMostChildren; i++)
    if (!families[i].gone) {
      of[n] = &families[i];
      ends[n++] = {families[i].ack_fd, POLLIN, 0};
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

void fam_kill_all(fam_family *families, int count) {
  for (int i = 0; i < count; i++) {
    if (families[i].pid > 0) kill(families[i].pid, SIGKILL);
    fam_wait(&families[i]);
  }
}
