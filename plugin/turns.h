/* The turns of a process's threads: while several of them run (are out
 * of system calls), each hands its records over in turns of `interleave'
 * references, which reach the ring in strict rotation whatever the host's
 * timing, so that a shared cache sees them as finely interleaved in every
 * run; a thread that runs alone fills whole batches. A thread runs ahead
 * of the one whose turn it is by TURNS_QUEUED turns at most. */
#ifndef VANTLE_PLUGIN_TURNS_H_
#define VANTLE_PLUGIN_TURNS_H_

#include <stdint.h>

#include "plugin/batch_out.h"

/* A turn is interleave references at most. */
void start_turns(uint32_t interleave);
/* In a forked child: the forking thread is alone, out of the rotation. */
void turns_after_fork(void);
/* Sets where b, filled to its count, next asks look_at. */
void next_cut(struct batch *b);

/* Writes the batch's records, after the regions placed since the last
 * batch, then empties it: its waiting turns first, in their places among
 * the other threads' turns (or, should those threads not come, without
 * them). map_full: the trace ends at address. */
void flush(struct batch *b, int map_full, uint64_t address);
/* At the guest's exit (its threads stopped): b's last records are its
 * last turn (written at once when it waits in a system call), then
 * write_queued writes every turn, in rotation as far as there are any. */
void queue_rest(struct batch *b);
void write_queued(void);
/* Ends the trace at address, which does not fold. */
void end_at_full_map(struct batch *b, uint64_t address);
/* The batch reached its cut: while other threads run (or its turns
 * wait), its records since the last cut are a turn, written in its place
 * in the rotation (by its own thread, or by one that waits); else they are
 * written when the batch is full, or filled on. */
void look_at(struct batch *b);

/* Notes that the thread of b runs (1), taking turns, or waits in a system
 * call (0), out of the rotation, its waiting turns written first (flush
 * writes them in their places). */
void set_running(struct batch *b, int running);
/* Whether other threads of this process are out of system calls. */
int others_running(void);

#endif /* VANTLE_PLUGIN_TURNS_H_ */
