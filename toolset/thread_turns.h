// The threads' turns of a live run under QEMU, for the live reader
// (live_reader.h): the batches of the ring taken in as they come, held
// until handed out, and handed out where they lie or, while threads of a
// process run at once, interleaved in turns. The records the reader hands
// out at a time, and the note of the regions a batch placed.
#ifndef VANTLE_TOOLSET_THREAD_TURNS_H_
#define VANTLE_TOOLSET_THREAD_TURNS_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "machine.h"
#include "transport/trace_record.h"
#include "transport/trace_ring.h"

// Records the live reader hands out at a time, and what came with them.
struct live_records {
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

// The n regions a plugin's batch newly placed in the folding map, noted
// for -d (note_region_placed).
void live_note_regions(const void *regions, uint32_t n);

// Reads the ring from its read position on; forgets every batch and
// thread held before.
void tt_start(trace_ring *ring);
// Takes in the batches written since the last look. check says of each
// whether it is sound (0) or what is wrong, which is returned, with its
// head's counts in *out.
int tt_take_in(int (*check)(const unsigned char *batch,
                            const trace_batch &head, uint64_t at),
               live_records *out);
// Hands take, in the ring's order, each text a batch carried (a
// process's code maps) whose process has no earlier records held: call
// it once the records handed out so far are fed, so that a text follows
// its process's earlier references, as it does in the ring.
void tt_texts_due(void (*take)(const char *text, size_t n, pid_t pid));
// The ring's position up to which batches are taken in.
uint64_t tt_taken(void);
// Releases in the ring's order the batches handed out (or copied out),
// whose records are then no longer valid.
void tt_release(void);
// Whether a writer may be waiting for room that only a release makes.
bool tt_ring_pressed(void);
// Copies the held batches out of the ring and releases them, so that a
// thread far ahead of the one waited for goes on writing; false, nothing
// copied, past 256 MiB copied (the thread waited for is then to be passed
// over).
bool tt_copy_out(void);
// Hands out up to cap records of the held batches, those of the process
// of the oldest, in turns of length references; none when a thread whose
// turn it is runs on and has written nothing, unless drain (no thread is
// waited for) or pass_over (that thread is passed over until it writes
// again). The records are counted by kind.
void tt_give(size_t cap, unsigned length, bool drain, bool pass_over,
             live_records *out);
// Process pid has ended: none of its threads runs on.
void tt_forget_process(pid_t pid);
// Whether records are held that are not handed out yet.
bool tt_records_held(void);

#endif  // VANTLE_TOOLSET_THREAD_TURNS_H_
