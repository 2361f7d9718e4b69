// The reader of a live run under QEMU: the file vantle-sim shares with the
// plugins of every process of the traced program (transport/live_ring.h),
// its batches (transport/trace_record.h) handed out where they lie in the
// ring, already folded and counted; the processes of the tree, followed
// until each has ended; what a process that died left in its slots; and
// the programs that ran untraced.
#ifndef VANTLE_TOOLSET_LIVE_READER_H_
#define VANTLE_TOOLSET_LIVE_READER_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "machine.h"

struct trace_live;

// Makes the file for a run whose plugins fold by regions of 2^region_bits
// bytes, and maps it; returns its descriptor, which stays open (the
// plugin of an exec'd program opens the file through it) until lr_close,
// or -1 with errno set.
int lr_share(int region_bits);
// The run's record in the file, for the launch's facts (null before).
trace_live *lr_record(void);
// The first process of the tree (QEMU, just forked), running program.
void lr_first_process(pid_t pid, const char *program);

// Hands out up to cap records of the plugins' batches, where they lie
// (*addrs, *kinds), valid until the next call; returns how many, 0 when
// the trace is over, stopped, or stop() said to stop waiting. While the
// ring is empty it waits, asking stop() (when non-null) at least every
// tenth of a second and after every signal, and watching the processes:
// the records a process that died left in its batches come after what it
// wrote, and the trace is over once every process has ended. name names
// the program in messages.
size_t lr_read(size_t cap, int (*stop)(void), const char *name,
               const md_addr_t **addrs, const unsigned char **kinds);

// Whether the last lr_read returned because stop() said so.
bool lr_interrupted(void);
// Where reading stands (an ld_state) and why it stopped early.
int lr_state(void);
const char *lr_error(void);
// Fills by_kind (by md_ref_kind) with the counts of the n records the last
// lr_read handed out when those are a whole batch, which the plugin
// counted; else returns false.
bool lr_counted(size_t n, counter_t *by_kind);
// The thread (its number in the run) whose records lr_read handed out
// last, and its process.
uint32_t lr_thread(void);
pid_t lr_thread_process(void);
// The program that process runs now, as its plugin named it ("" when
// unknown).
const char *lr_thread_program(void);

// How many processes were traced so far (until lr_reset).
long long lr_processes(void);
// Kills every process of the tree that still runs, after naming the
// programs that ran untraced (lr_read names them at the trace's end).
void lr_kill_all(void);
// Unmaps and closes the file.
void lr_close(void);
// Closes the file and forgets everything.
void lr_reset(void);

#endif  // VANTLE_TOOLSET_LIVE_READER_H_
