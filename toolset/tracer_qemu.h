// The loader's QEMU tracer and its reader: finds the user-mode emulator for
// a program's machine and vantle's plugin, makes the command that runs the
// program under them, and reads the file shared with the plugin
// (transport/live_ring.h), whose batches (transport/trace_record.h) it
// hands out where they lie, already folded and counted.
#ifndef VANTLE_TOOLSET_TRACER_QEMU_H_
#define VANTLE_TOOLSET_TRACER_QEMU_H_

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "machine.h"

// Finds the emulator of the program at path on PATH, and the plugin beside
// the running executable: true when both are there, else false with why
// QEMU cannot trace the program in why.
bool tq_find(const char *path, char *why, size_t why_size);
// The emulator found (null before).
const char *tq_path(void);

// The directory QEMU takes a foreign program's libraries from (-L), or
// null; it must live until the program is started.
void tq_use_sysroot(const char *sysroot);

// The command that runs the program argv (argv[0] its path) under the
// emulator found, with the plugin folding by regions of 2^region_bits
// bytes and writing into the shared file shared_fd: a null-ended array,
// which the caller frees.
char **tq_command(char **argv, int shared_fd, int region_bits);

// Makes the file shared with the plugin for a run and maps it; returns a
// descriptor of it for QEMU to inherit (the caller closes it once QEMU
// runs), or -1 with errno set.
int tq_share(void);
// Unmaps it, if it is mapped.
void tq_unshare(void);

// Hands out up to cap records of the plugin's batches, where they lie
// (*addrs, *kinds), valid until the next call; returns how many, 0 when
// the trace is over, stopped, or stop() said to stop waiting. While the
// ring is empty it waits, asking stop() (when non-null) at least every
// tenth of a second and after every signal, and watching QEMU, process
// child (not reaped here): once it has ended without the plugin's last word
// (a signal killed it), the records left in the plugin's batches come last.
// name names the program in messages.
size_t tq_read(size_t cap, pid_t child, int (*stop)(void), const char *name,
               const md_addr_t **addrs, const unsigned char **kinds);

// Whether the last tq_read returned because stop() said so.
bool tq_interrupted(void);
// Where reading stands (an ld_state) and why it stopped early.
int tq_state(void);
const char *tq_error(void);
// Fills by_kind (by md_ref_kind) with the counts of the n records the last
// tq_read handed out when those are a whole batch, which the plugin
// counted; else returns false.
bool tq_counted(size_t n, counter_t *by_kind);

// Unmaps the shared file and forgets everything.
void tq_reset(void);

#endif  // VANTLE_TOOLSET_TRACER_QEMU_H_
