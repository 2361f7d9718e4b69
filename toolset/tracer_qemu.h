// The loader's QEMU tracer: finds the user-mode emulator for a program's
// machine (for a script, its interpreter's, as the kernel would run it)
// and vantle's plugin, makes the file the plugins share with vantle-sim
// (read by live_reader.h) and the command that runs the program under
// them. Every process of the program's tree runs under QEMU with the
// plugin: the plugin of a process that execs starts the next QEMU.
#ifndef VANTLE_TOOLSET_TRACER_QEMU_H_
#define VANTLE_TOOLSET_TRACER_QEMU_H_

#include <stddef.h>

// Finds the emulator of the program at path on PATH (following a script's
// "#!" lines to the program that runs it), and the plugin beside the
// running executable: true when both are there, else false with why QEMU
// cannot trace the program in why.
bool tq_find(const char *path, char *why, size_t why_size);
// The emulator found (null before), and the interpreter that runs the
// program when it is a script (else null).
const char *tq_path(void);
const char *tq_interpreter(void);

// The directory QEMU takes a foreign program's libraries from (-L), or
// null; it must live until the program is started.
void tq_use_sysroot(const char *sysroot);

// Makes the file shared with the plugins, which fold by regions of
// 2^region_bits bytes and write a thread's batch every `interleave'
// references while other threads run, and fills in what a plugin needs to
// start QEMU on an exec'd program; returns its descriptor for QEMU to
// inherit (kept open for the run), or -1 with errno set.
int tq_share(int region_bits, unsigned interleave);

// The command that runs the program argv (argv[0] its path) under the
// emulator found, with the plugin writing into the shared file shared_fd:
// a null-ended array, which the caller frees.
char **tq_command(char **argv, int shared_fd);

// Forgets everything (the shared file is live_reader's to close).
void tq_reset(void);

#endif  // VANTLE_TOOLSET_TRACER_QEMU_H_
