// The loader's QEMU tracer: finds the user-mode emulator for a program's
// machine and vantle's plugin, starts the program under them, and decodes
// the plugin's batches (plugin/trace_record.h).
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
// into the ring file ring_fd, woken through socket_fd (trace_ring.h),
// and -L sysroot when sysroot is non-null: a null-ended array, which the
// caller frees.
char **tq_command(const char *emulator, const char *plugin,
                  const char *sysroot, char **argv, int socket_fd,
                  int ring_fd, int region_bits);

#endif  // VANTLE_TOOLSET_TRACER_QEMU_H_
