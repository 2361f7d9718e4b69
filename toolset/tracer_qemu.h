// The loader's QEMU tracer: finds the user-mode emulator for a program's
// machine and vantle's plugin, starts the program under them, and decodes
// the plugin's records (plugin/trace_record.h).
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
// with the plugin writing to write_fd, and -L sysroot when sysroot is
// non-null: a null-ended array, which the caller frees.
char **tq_command(const char *emulator, const char *plugin,
                  const char *sysroot, char **argv, int write_fd);

// Decodes up to n records at bytes into addresses (64-bit ones folded into
// 32 bits) and kinds. Returns how many it decoded; fewer than n when record
// [returned] cannot be used (a kind of 0, or an address that does not fold).
size_t tq_decode(const unsigned char *bytes, size_t n, md_addr_t *addrs,
                 unsigned char *kinds);

#endif  // VANTLE_TOOLSET_TRACER_QEMU_H_
