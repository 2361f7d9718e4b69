/* Following an exec of the guest: QEMU's user mode hands a guest's execve
 * to the host kernel, so the new program would run natively, untraced.
 * At the exec's system call the plugin reads the call's path, arguments
 * and environment from the guest's memory (through QEMU's own
 * copy_from_user, which checks each page), works out what the kernel
 * would run (a script's "#!" interpreter, as deep as the kernel goes) and
 * runs it itself under the emulator of its ELF machine, with the plugin
 * and the shared file: the process goes on as the new program, traced.
 * This sees every way of exec'ing (execve and execveat, from execvp,
 * posix_spawn, system, a statically linked program) with no help from the
 * guest. A program that QEMU cannot run as the kernel would (set-user-ID,
 * a machine with no emulator installed) is left to the kernel, and named
 * in the shared file as untraced. */
#ifndef VANTLE_PLUGIN_FOLLOW_EXEC_H_
#define VANTLE_PLUGIN_FOLLOW_EXEC_H_

#include <stdint.h>

#include "transport/live_ring.h"

/* The system calls the plugin watches on the guest's machine, and how the
 * guest stores a pointer. -1: the machine has no such call. */
struct guest_abi {
  const char *machine;
  int64_t execve, execveat, clone, fork, vfork;
  int pointer_bytes, big_endian;
};

/* The guest's machine, as QEMU names it ("x86_64"); null when unknown. */
const struct guest_abi *guest_abi_of(const char *machine);

/* Whether QEMU lets the plugin read the guest's memory. */
int can_follow_exec(void);

/* What follow_exec did, when it returned. */
enum followed {
  EXEC_NOT_RUN,  /* the kernel will refuse the exec: nothing to do */
  EXEC_UNTRACED  /* the program runs untraced; the file names it */
};

/* Follows the exec the guest is making: system call number with its first
 * arguments a1..a5, on the guest machine abi, the run's shared file f.
 * Does not return when the new program runs under QEMU; before that,
 * *state goes to TRACE_PROC_EXECING (the caller has flushed what the
 * process holds). */
enum followed follow_exec(struct trace_file *f, const struct guest_abi *abi,
                          int64_t number, const uint64_t *args,
                          uint32_t *state);

#endif /* VANTLE_PLUGIN_FOLLOW_EXEC_H_ */
