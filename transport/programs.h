/* What runs a program under QEMU's user mode: the emulator of its ELF
 * machine (qemu-<arch>), or, for a script, the interpreter its "#!" line
 * names, which the kernel would run with the line's one argument and the
 * script's path before the script's own arguments. vantle-sim resolves
 * the program it is given this way, and the QEMU plugin each program its
 * guest execs; both start QEMU with the same -plugin argument. Plain C. */
#ifndef VANTLE_TRANSPORT_PROGRAMS_H_
#define VANTLE_TRANSPORT_PROGRAMS_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The bytes of a file's start the kernel reads to tell an ELF image from a
 * script (and a "#!" line longer than this is cut). */
enum { TRACE_HEAD_BYTES = 256, TRACE_SCRIPT_DEPTH = 4 };

/* Reads the start of the file at path into head (TRACE_HEAD_BYTES);
 * returns how many bytes it read, -1 when it cannot. */
long trace_read_head(const char *path, unsigned char *head);

/* The architecture of QEMU's emulator for an ELF image starting with the n
 * bytes of head ("x86_64" for qemu-x86_64); null when it is no ELF image
 * (*machine 0) or QEMU emulates no such machine (*machine its number). */
const char *trace_emulator_arch(const unsigned char *head, long n,
                                int *machine);

/* A script's "#!" line in the n bytes of head: its interpreter's path into
 * interp and its argument, if any, into arg ("" when none), each of
 * TRACE_HEAD_BYTES; 0 when head starts no such line. */
int trace_script_line(const unsigned char *head, long n, char *interp,
                      char *arg);

/* QEMU's -plugin argument for the plugin at path plugin with the shared
 * file's descriptor fd: the path, its commas doubled as QEMU's option
 * syntax wants, then ",ring=<fd>". Malloc'd; null when memory ran out. */
char *trace_plugin_argument(const char *plugin, int fd);

#ifdef __cplusplus
}
#endif

#endif /* VANTLE_TRANSPORT_PROGRAMS_H_ */
