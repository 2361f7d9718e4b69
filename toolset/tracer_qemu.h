// The loader's QEMU tracer: finds the user-mode emulator for a program's
// machine and vantle's plugin, the command that runs the program under
// them, and the file shared with the plugin (transport/live_ring.h), whose
// batches (transport/trace_record.h) it hands out where they lie.
#ifndef VANTLE_TOOLSET_TRACER_QEMU_H_
#define VANTLE_TOOLSET_TRACER_QEMU_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>

#include "machine.h"

// Writes into name the emulator of the ELF program at path ("qemu-x86_64");
// false, with why filled, when the file is no ELF image of a machine that
// QEMU's user mode emulates.
bool tq_emulator_name(const char *path, char *name, size_t size, char *why,
                      size_t why_size);

// The plugin beside the running executable (malloc'd path), whether it is
// there or not.
char *tq_plugin_path(void);

// The command that runs the program argv (argv[0] its path) under emulator
// with the plugin folding by regions of 2^region_bits bytes and writing
// into the shared file shared_fd, and -L sysroot when sysroot is
// non-null: a null-ended array, which the caller frees.
char **tq_command(const char *emulator, const char *plugin,
                  const char *sysroot, char **argv, int shared_fd,
                  int region_bits);

// Makes the file shared with the plugin for a run and maps it; returns a
// descriptor of it for QEMU to inherit (the caller closes it once QEMU
// runs), or -1 with errno set.
int tq_share(void);
// Unmaps it, if it is mapped.
void tq_unshare(void);

// What tq_read did.
enum tq_outcome {
  TQ_RECORDS = 0,  // handed out records
  TQ_STOPPED,      // stop() said to stop waiting
  TQ_END,          // QEMU has ended and every record is read
  TQ_BAD_BATCH,    // a batch head the plugin cannot have written
  TQ_BAD_KIND      // a record of no kind the plugin writes
};

struct tq_records {
  const md_addr_t *addrs;
  const unsigned char *kinds;
  size_t count;
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
  // TQ_END: the program exec'd another, which QEMU does not trace.
  bool execed;
};

// Hands out up to cap records of the next batch, where they lie, valid
// until the next call. While the ring is empty it waits, asking stop()
// (when non-null) every tenth of a second and after every signal, and
// watching QEMU, process child (not reaped here): once it has ended
// without the plugin's last word (a signal killed it), the records left
// in the plugin's batches come last.
tq_outcome tq_read(size_t cap, pid_t child, int (*stop)(void),
                   tq_records *out);

#endif  // VANTLE_TOOLSET_TRACER_QEMU_H_
