/* The turns of a process's threads (turns.h). State: the rotation of the
 * running threads, the turns written (a futex word for the threads that
 * wait for theirs), the length of a turn, and until when the host is
 * crowded.
 * While several threads of the process run, their records reach the ring
 * in turns of `interleave' references at most, in strict rotation however
 * the host schedules them. A thread whose turn ends queues it in its slot
 * and traces on; when its turn was next, it then writes, under the write
 * lock, those of its queued turns that are next in the rotation, unless
 * another thread holds the lock. It copies only its own records, which
 * its core has just made: another thread's turn, next once this one's
 * are out, goes out as that thread ends its next turn (threads that run
 * at once then never wait for the lock, nor copy each other's records,
 * nor wake each other to hand the lock on). A thread waits only when
 * TURNS_QUEUED of its turns wait (it is that far ahead of the thread
 * whose turn it is), when its slot is full, or until its turns are out
 * before it leaves the rotation (a system call, its end): a handoff every
 * few turns rather than every turn. A thread that waits writes every turn
 * that is next, its own or not, and yields its core a while before it
 * sleeps (at once while other programs crowd the host). Processes take no
 * turns: each writes whole batches. */
#define _GNU_SOURCE
#include "plugin/turns.h"

#include <limits.h>
#include <linux/futex.h>
#include <sched.h>
#include <stddef.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

/* Each on a cache line of its own: every thread reads the first at each
 * cut, whoever writes turns moves the second, and the third changes only
 * when a thread waits for its turn. */
static struct {
  uint32_t interleave;
  uint32_t running; /* threads out of system calls */
  _Alignas(64) struct batch *next_turn; /* the rotation of running threads,
                                           at whose turn is next; null when
                                           none runs */
  _Alignas(64) uint32_t turns;          /* bumped when a waiter may sleep */
  uint32_t turn_waiters;
  uint64_t crowded_until; /* monotonic ns: waits sleep rather than yield */
} t;

/* A thread that does not come (stopped, or held by QEMU while it waits
 * for this one) is waited for TURN_SLEEPS sleeps of a millisecond at
 * most; the turns waiting then go out without it. */
enum { TURN_SPINS = 200, TURN_SLEEPS = 100 };

/* A yield hands the core to the thread whose turn it is when the two
 * share a core, for the few turns that thread may run ahead: far cheaper
 * than a sleep and a wake-up. But while other programs keep the cores
 * busy, each yield hands the core to one of them for a whole time slice,
 * and a run of two threads took minutes instead of seconds. A yield that
 * lasts longer than SLOW_YIELD_NS tells the host is crowded: for the next
 * CROWDED_NS, waits sleep until the turn they wait for is written. */
enum { SLOW_YIELD_NS = 2000000, CROWDED_NS = 100000000 };

static uint32_t running_now(void) {
  return __atomic_load_n(&t.running, __ATOMIC_RELAXED);
}

/* Moved under the write lock, read without it too (take_turn). */
static void set_next_turn(struct batch *b) {
  __atomic_store_n(&t.next_turn, b, __ATOMIC_RELAXED);
}

static uint32_t turns_waiting(const struct batch *b) {
  return __atomic_load_n(&b->turns_made, __ATOMIC_ACQUIRE) -
         __atomic_load_n(&b->turns_written, __ATOMIC_ACQUIRE);
}

/* Writes b's oldest waiting turn. Under the write lock. */
static void write_turn(struct batch *b) {
  write_records(b, b->ends[b->turns_written % TURNS_QUEUED], 0, 0);
  __atomic_store_n(&b->turns_written, b->turns_written + 1, __ATOMIC_RELEASE);
}

/* Writes the waiting turns that are next in the rotation (only those of
 * `only' unless null), and wakes the threads that wait for theirs. Under
 * the write lock. */
static void write_ready(const struct batch *only) {
  int wrote = 0;
  struct batch *b;
  while ((b = t.next_turn) && (!only || b == only) && turns_waiting(b)) {
    write_turn(b);
    set_next_turn(b->after);
    wrote = 1;
  }
  if (!wrote) return;
  /* The fence orders the stores of turns_written before the load of the
   * waiters (await_turns counts itself in, then looks at turns_written):
   * either a waiter is seen, and the bump of `turns' wakes it or fails its
   * sleep, or it sees the turns written. No waiter, no write to a shared
   * line. */
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  if (!__atomic_load_n(&t.turn_waiters, __ATOMIC_RELAXED)) return;
  __atomic_add_fetch(&t.turns, 1, __ATOMIC_SEQ_CST);
  syscall(SYS_futex, &t.turns, FUTEX_WAKE_PRIVATE, INT_MAX, NULL, NULL, 0);
}

/* Writes every waiting turn in rotation, passing over the threads that
 * have none. Under the write lock. */
static void write_every_turn(void) {
  for (;;) {
    write_ready(NULL);
    struct batch *idle = t.next_turn, *b = idle;
    if (!idle) return;
    while ((b = b->after) != idle && !turns_waiting(b)) {
    }
    if (b == idle) return;
    set_next_turn(b);
  }
}

/* Queues b's records since its last turn as its next turn, unless there
 * are none. Only b's thread queues b's turns, and the writers read them
 * behind turns_made: no lock is needed. */
static void queue_turn(struct batch *b) {
  if (b->out.count == b->queued_to) return;
  b->ends[b->turns_made % TURNS_QUEUED] = b->queued_to = b->out.count;
  __atomic_store_n(&b->turns_made, b->turns_made + 1, __ATOMIC_RELEASE);
}

/* Writes the turns that are next in the rotation (only those of `only'
 * unless null), unless another thread holds the write lock. */
static void write_ready_unless_busy(const struct batch *only) {
  if (!try_lock_writes()) return;
  write_ready(only);
  unlock_writes();
}

static uint64_t monotonic_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

/* Yields the core, unless the host is crowded; 0 when it did not, or
 * found the host crowded. */
static int yield_unless_crowded(void) {
  uint64_t before = monotonic_ns();
  if (before < __atomic_load_n(&t.crowded_until, __ATOMIC_RELAXED)) return 0;
  sched_yield();
  uint64_t after = monotonic_ns();
  if (after - before <= SLOW_YIELD_NS) return 1;
  __atomic_store_n(&t.crowded_until, after + CROWDED_NS, __ATOMIC_RELAXED);
  return 0;
}

/* Waits until fewer than most of b's turns wait, writing every turn that
 * is next whenever the lock is free: the other threads write only their
 * own, and a holder of the lock may have missed some. */
static void await_turns(struct batch *b, uint32_t most) {
  for (int spin = 0; spin < TURN_SPINS; spin++) {
    if (turns_waiting(b) < most) return;
    if (spin % 16 == 15) {
      write_ready_unless_busy(NULL);
      if (!yield_unless_crowded()) break;
    } else {
      __builtin_ia32_pause();
    }
  }
  for (int slept = 0; slept < TURN_SLEEPS; slept++) {
    write_ready_unless_busy(NULL);
    /* Counted in before the look at turns_written (write_ready). */
    __atomic_add_fetch(&t.turn_waiters, 1, __ATOMIC_SEQ_CST);
    uint32_t seen = __atomic_load_n(&t.turns, __ATOMIC_SEQ_CST);
    if (turns_waiting(b) < most) {
      __atomic_sub_fetch(&t.turn_waiters, 1, __ATOMIC_SEQ_CST);
      return;
    }
    const struct timespec ms = {0, 1000000};
    syscall(SYS_futex, &t.turns, FUTEX_WAIT_PRIVATE, seen, &ms, NULL, 0);
    __atomic_sub_fetch(&t.turn_waiters, 1, __ATOMIC_SEQ_CST);
  }
  lock_writes();
  write_every_turn();
  unlock_writes();
}

/* Once every record of b is in the ring, its slot fills from the start
 * again. (Its count first: a slot whose taken passes its count holds
 * nothing, should QEMU die between the two.) */
static void restart(struct batch *b) {
  if (turns_waiting(b) || b->out.count != b->out.taken) return;
  __atomic_store_n(&b->out.count, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&b->out.taken, 0, __ATOMIC_SEQ_CST);
  b->queued_to = 0;
}

void next_cut(struct batch *b) {
  b->cut = b->out.count + t.interleave;
  if (b->cut > TRACE_BATCH_REFERENCES) b->cut = TRACE_BATCH_REFERENCES;
}

/* Ends b's turn, leaving room in its slot for the next. */
static void take_turn(struct batch *b) {
  queue_turn(b);
  /* Unless its turn is next, the thread will write it as it ends its next
   * turn, or as it waits: no need to try the lock now. */
  if (__atomic_load_n(&t.next_turn, __ATOMIC_RELAXED) == b)
    write_ready_unless_busy(b);
  await_turns(b, b->out.count + t.interleave > TRACE_BATCH_REFERENCES
                     ? 1
                     : TURNS_QUEUED);
  restart(b);
  next_cut(b);
}

void flush(struct batch *b, int map_full, uint64_t address) {
  if (map_full || !b->running) { /* b's turns wait no more */
    lock_writes();
    if (map_full) write_every_turn();
    while (turns_waiting(b)) write_turn(b);
    if (map_full || b->out.count != b->out.taken)
      write_records(b, b->out.count, map_full, address);
    b->queued_to = b->out.count;
    unlock_writes();
  } else {
    take_turn(b);
    await_turns(b, 1);
  }
  restart(b);
  next_cut(b);
  announce();
}

void end_at_full_map(struct batch *b, uint64_t address) {
  if (!writing_stopped()) flush(b, 1, address);
}

void look_at(struct batch *b) {
  if (others_running() || turns_waiting(b)) {
    take_turn(b);
  } else if (b->out.count >= TRACE_BATCH_REFERENCES) {
    flush(b, 0, 0);
  } else {
    b->cut += t.interleave;
    if (b->cut > TRACE_BATCH_REFERENCES) b->cut = TRACE_BATCH_REFERENCES;
  }
}

void queue_rest(struct batch *b) {
  finish_block(b);
  if (!b->running) {
    flush(b, 0, 0);
    return;
  }
  lock_writes();
  queue_turn(b);
  unlock_writes();
}

void write_queued(void) {
  lock_writes();
  write_every_turn();
  unlock_writes();
  announce();
}

/* Puts b in the rotation, last of the round. Under the write lock. */
static void join_rotation(struct batch *b) {
  struct batch *next = t.next_turn;
  if (!next) {
    b->before = b->after = b;
    set_next_turn(b);
    return;
  }
  b->after = next;
  b->before = next->before;
  next->before->after = b;
  next->before = b;
}

/* Takes b out of the rotation, its waiting turns written first (it has
 * none when it flushed). Under the write lock. */
static void leave_rotation(struct batch *b) {
  while (turns_waiting(b)) write_turn(b);
  if (b->after == b) {
    set_next_turn(NULL);
  } else {
    b->before->after = b->after;
    b->after->before = b->before;
    if (t.next_turn == b) set_next_turn(b->after);
  }
  b->before = b->after = NULL;
  write_ready(NULL); /* the turns that waited for b's */
}

void set_running(struct batch *b, int running) {
  if (b->running == running) return;
  lock_writes();
  b->running = (uint8_t)running;
  __atomic_add_fetch(&t.running, running ? 1 : -1, __ATOMIC_RELAXED);
  if (running)
    join_rotation(b);
  else
    leave_rotation(b);
  unlock_writes();
}

int others_running(void) { return running_now() > 1; }

void start_turns(uint32_t interleave) { t.interleave = interleave; }

void turns_after_fork(void) {
  t.running = t.turns = t.turn_waiters = 0; /* the forking thread, alone */
  set_next_turn(NULL); /* the other threads' batches are the parent's */
}
