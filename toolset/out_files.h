// The -out: files of a run (-out:csv, -out:json, -out:plot, -out:sites),
// from the check of the options to the moment each is complete. A file is
// written to a new file beside the one its path ends at (symbolic links
// followed) and renamed over it when whole, so that a run that fails or
// is ended never leaves one half written and a link stays a link. A
// device, a FIFO, or a file that a descriptor of the run names
// (/dev/stdout, /dev/fd/3, the file the error stream goes to) is written
// where it is instead, from memory, once the text is whole.
#ifndef VANTLE_TOOLSET_OUT_FILES_H_
#define VANTLE_TOOLSET_OUT_FILES_H_

#include <stddef.h>
#include <stdio.h>

#include "options.h"

enum { OUT_CSV, OUT_JSON, OUT_PLOT, OUT_SITES, OUT_KINDS };

// Registers -out:csv, -out:json, -out:plot and -out:sites, in that order.
void out_reg_options(opt_odb_t *odb);

// The path given for an -out: kind, or null.
const char *out_name(int kind);

// Readies every -out: file given, before the run, so that a bad path fails
// first: makes its new file, or opens a device in place (a FIFO is opened
// when written). False, with "-out:csv: cannot write `x': why" in message
// (of size n), at the first that cannot be written.
bool out_open(char *message, size_t n);

// Writes every -out: file given: fill(kind, stream, context) writes its
// text and returns 0, or -1 on failure; the file is then put in place. A
// FIFO waits for its reader, and for it to read, while give_up(option,
// name) returns false (it is asked every tenth of a second). Each file
// that cannot be written is said on stderr; false when one could not.
bool out_write(int (*fill)(int kind, FILE *to, void *context), void *context,
               bool (*give_up)(const char *option, const char *name));

// Opens the FIFO name for writing (with O_NONBLOCK and flags) once a
// reader has it open, asking keep_waiting(context) every tenth of a second
// meanwhile, so that a wait never blocks in open where no signal is
// answered. -1 with errno set when it cannot; ENXIO when no reader came
// and keep_waiting said to stop (at once when it is null).
int out_open_fifo(const char *name, int flags, bool (*keep_waiting)(void *),
                  void *context);

// Removes the new files not yet complete; safe in a signal handler.
void out_remove_unfinished(void);

// Leaves the new files alone from now on (a child process of the run).
void out_forget(void);

#endif  // VANTLE_TOOLSET_OUT_FILES_H_
