// The tool that decompresses a trace for the loader's reader of bytes
// (input_file.h): a compressed trace is recognised by its magic bytes, so
// that it is never taken for bin32 data, and read through the tool that
// made it (gzip, xz, zstd or bzip2) on a pipe. One at a time.
#ifndef VANTLE_TOOLSET_DECOMPRESSOR_H_
#define VANTLE_TOOLSET_DECOMPRESSOR_H_

#include <stddef.h>

// The tool whose format's magic bytes start head (len bytes), or null.
const char *dc_tool_of(const unsigned char *head, size_t len);

// Starts tool on the trace file name ("-": the tool reads standard input)
// and returns the reading end of the pipe it writes to. Ends the process,
// naming the file, when the tool is not installed or cannot start.
int dc_start(const char *tool, const char *name);

// The tool started, or null.
const char *dc_tool(void);

// The tool's output has ended: reaps it; when it failed, writes why into
// failure (of size n).
void dc_reap(char *failure, size_t n);

// Reaps the tool, killing it first when kill_it; returns its exit status
// (128 + signal when a signal ended it), or 0 when none runs.
int dc_finish(bool kill_it);

// Kills and reaps the tool, and forgets it.
void dc_reset(void);

#endif  // VANTLE_TOOLSET_DECOMPRESSOR_H_
