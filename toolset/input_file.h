// The loader's reader of bytes: a trace file, standard input, a FIFO, the
// output of the tool that decompresses a trace, or the pipe a tracer
// writes its trace to. It reads them through one buffer, waits for a pipe
// as a slow writer wants, recognises a trace's format from its first
// bytes, and decodes the records of the four trace formats (text lines of
// din, lackey and hex, or bin32 words), folding wide addresses (folding.h).
// One input per process; the loader (loader.h) drives it.
#ifndef VANTLE_TOOLSET_INPUT_FILE_H_
#define VANTLE_TOOLSET_INPUT_FILE_H_

#include <stddef.h>

#include "machine.h"

// Opens the trace file name ("-": standard input) and reads enough of it
// to recognise its format; returns the format (format itself unless it is
// MD_FMT_AUTO). A compressed file is read through its tool. Ends the
// process with a message naming the file when it cannot be used.
int in_open(const char *name, int format);

// Reads the text records of format from fd, a pipe of the loader's own
// that a tracer writes to; name names the input in messages.
void in_use_pipe(int fd, const char *name, int format);

// While a read waits for input, stop() is asked at least every tenth of a
// second and after every signal; a non-zero answer ends the read early
// (in_interrupted). While in_open waits for a FIFO or pipe to deliver, it
// is asked too, but its answer is not followed.
void in_on_wait(int (*stop)(void));

// Lines that carry no reference go to skipped (a tracer's own lines).
void in_on_skipped_line(void (*skipped)(const char *line, size_t len));

// Decodes up to cap records into addrs and kinds (MD_REF_NONE for formats
// without kinds); returns how many. Stops before a record that cannot be
// used (in_state then says so) and, having nothing yet, when the input
// ends or stop() said to stop.
size_t in_read(md_addr_t *addrs, unsigned char *kinds, size_t cap);

// Whether the last in_read ended because stop() said so.
bool in_interrupted(void);

// Where reading stands (an ld_state) and why it stopped early.
int in_state(void);
const char *in_error(void);

long long in_line_number(void);  // of the last text record read
long long in_bytes_read(void);   // 0 for a compressed file
long long in_total_bytes(void);  // the file's size, -1 when unknown
const char *in_compression(void);  // the decompressing tool, or null

// Closes the input and reaps its decompressor (killing it first when
// kill_it); ends the process when the decompressor failed after the input
// was read to its end.
void in_finish(bool kill_it);

// Closes the input, kills and reaps the decompressor, and forgets
// everything (in_open may then open another input).
void in_reset(void);

#endif  // VANTLE_TOOLSET_INPUT_FILE_H_
