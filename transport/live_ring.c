/* The shared file of a live run (live_ring.h): its mappings, its locks,
 * the processes of the tree and the programs that ran untraced. Owns no
 * state of its own: everything lies in the file. Reads /proc/<pid>/stat. */
#define _GNU_SOURCE
#include "transport/live_ring.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static void *map_part(int fd, size_t offset, size_t bytes) {
  void *at = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                  (off_t)offset);
  return at == MAP_FAILED ? NULL : at;
}

int trace_file_map(struct trace_file *f, int fd, int with_map) {
  memset(f, 0, sizeof *f);
  struct stat st;
  if (fstat(fd, &st) != 0 || (size_t)st.st_size < trace_file_bytes(0))
    return 0;
  f->ring = trace_ring_map(fd);
  f->live = map_part(fd, TRACE_LIVE_AT, TRACE_LIVE_BYTES);
  f->slots = map_part(fd, TRACE_SLOTS_AT,
                      (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES);
  if (f->live && with_map &&
      (size_t)st.st_size >= trace_file_bytes((size_t)f->live->map_bytes))
    f->map = map_part(fd, trace_map_at(), (size_t)f->live->map_bytes);
  if (f->ring && f->live && f->slots && (f->map || !with_map)) return 1;
  trace_file_unmap(f);
  return 0;
}

void trace_file_unmap(struct trace_file *f) {
  if (f->map) munmap(f->map, (size_t)f->live->map_bytes);
  if (f->ring) trace_ring_unmap(f->ring);
  if (f->live) munmap(f->live, TRACE_LIVE_BYTES);
  if (f->slots) munmap(f->slots, (size_t)TRACE_SLOTS * TRACE_SLOT_BYTES);
  memset(f, 0, sizeof *f);
}

static void init_lock(pthread_mutex_t *lock) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(lock, &attr);
  pthread_mutexattr_destroy(&attr);
}

int trace_file_init(struct trace_file *f, int fd, int region_bits,
                    size_t map_bytes) {
  void *map = map_part(fd, trace_map_at(), 4096);
  if (!map) return 0;
  fm_shared_init(map, region_bits);
  munmap(map, 4096);
  struct trace_live *live = f->live;
  live->reader_pid = getpid();
  live->reader_start = trace_process_start(getpid());
  live->map_bytes = map_bytes;
  init_lock(&live->write_lock);
  init_lock(&live->fold_lock);
  init_lock(&live->process_lock);
  return 1;
}

/* The writer that held the write lock died: the batch it was copying is
 * in the ring when `written' reached its end (then its records count as
 * taken from its slot, so that they are not taken twice), else its slot
 * keeps them. */
static void settle_pending(struct trace_file *f) {
  struct trace_pending *p = &f->live->pending;
  if (p->slot && p->slot <= TRACE_SLOTS &&
      __atomic_load_n(&f->ring->written, __ATOMIC_SEQ_CST) == p->end)
    __atomic_store_n(&trace_slot_at(f, (int)p->slot - 1)->taken, p->taken,
                     __ATOMIC_SEQ_CST);
  p->slot = 0;
}

/* Whether lock is held after a call to take it that returned got; when
 * its last holder died holding it, makes it whole first. */
static int held(struct trace_file *f, pthread_mutex_t *lock, int got) {
  if (got != EOWNERDEAD) return got == 0;
  if (lock == &f->live->write_lock) settle_pending(f);
  pthread_mutex_consistent(lock);
  return 1;
}

void trace_live_lock(struct trace_file *f, pthread_mutex_t *lock) {
  held(f, lock, pthread_mutex_lock(lock));
}

int trace_live_trylock(struct trace_file *f, pthread_mutex_t *lock) {
  return held(f, lock, pthread_mutex_trylock(lock));
}

void trace_live_unlock(pthread_mutex_t *lock) { pthread_mutex_unlock(lock); }

/* Reads /proc/<pid>/stat: the state letter and the start time (the 22nd
 * field, the 20th after the command in parentheses); 0 when it cannot. */
static int read_stat(pid_t pid, char *state, uint64_t *start) {
  char name[64], text[1024];
  snprintf(name, sizeof name, "/proc/%d/stat", (int)pid);
  int fd = open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  const char *at = strrchr(text, ')');
  if (!at || at[1] != ' ') return 0;
  *state = at[2];
  at += 2;
  for (int field = 3; field < 22 && at; field++) {
    at = strchr(at, ' ');
    if (at) at++;
  }
  if (!at) return 0;
  *start = strtoull(at, NULL, 10);
  return 1;
}

uint64_t trace_process_start(pid_t pid) {
  char state;
  uint64_t start;
  return read_stat(pid, &state, &start) ? start : 0;
}

int trace_process_alive(pid_t pid, uint64_t start) {
  char state;
  uint64_t now;
  return read_stat(pid, &state, &now) && now == start && state != 'Z' &&
         state != 'X' && state != 'x';
}

struct trace_process *trace_live_register(struct trace_file *f, pid_t pid,
                                          const char *name) {
  struct trace_live *live = f->live;
  uint64_t start = trace_process_start(pid);
  if (!start) return NULL;
  struct trace_process *found = NULL, *free_entry = NULL;
  trace_live_lock(f, &live->process_lock);
  for (int i = 0; i < TRACE_PROCESSES && !found; i++) {
    struct trace_process *p = &live->processes[i];
    uint32_t state = __atomic_load_n(&p->state, __ATOMIC_SEQ_CST);
    if (state == TRACE_PROC_FREE && !free_entry) free_entry = p;
    if (state != TRACE_PROC_FREE && p->pid == pid && p->start == start)
      found = p;
  }
  if (!found && free_entry) {
    found = free_entry;
    found->pid = pid;
    found->start = start;
    found->image = 0;
    found->number = ++live->processes_seen;
    __atomic_store_n(&found->state, TRACE_PROC_RUNNING, __ATOMIC_SEQ_CST);
  }
  if (found && name) snprintf(found->name, sizeof found->name, "%s", name);
  trace_live_unlock(&live->process_lock);
  return found;
}

void trace_live_untraced(struct trace_file *f, const char *name,
                         uint32_t why) {
  uint32_t i = __atomic_fetch_add(&f->live->untraced_seen, 1,
                                  __ATOMIC_SEQ_CST);
  if (i >= TRACE_UNTRACED) return;
  struct trace_untraced *u = &f->live->untraced[i];
  snprintf(u->name, sizeof u->name, "%s", name);
  __atomic_store_n(&u->why, why, __ATOMIC_SEQ_CST);
}
