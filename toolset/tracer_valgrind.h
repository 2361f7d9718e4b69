// The loader's valgrind tracer: valgrind's lackey tool runs the program
// and writes its references, as lackey lines, to a pipe that the loader
// reads like a lackey trace (input_file.h). This unit finds valgrind,
// checks the user's valgrind options, makes the command line, and counts
// the processes traced from valgrind's own lines.
#ifndef VANTLE_TOOLSET_TRACER_VALGRIND_H_
#define VANTLE_TOOLSET_TRACER_VALGRIND_H_

#include <stddef.h>

// Finds valgrind on PATH; ends the process, naming the program, when it
// is not installed.
void tv_find(const char *program);
// valgrind's path (null before tv_find).
const char *tv_path(void);

// Keeps further valgrind options (words separated by blanks, after the
// loader's own so that they may override them); ends the process with a
// message naming an option that would stop or divert the trace (another
// --tool, --trace-mem=no, --log-file=, ...).
void tv_use_options(const char *words);

// The command line that runs the program argv (argv[0] its path) under
// lackey with the trace on log_fd: a null-ended array that the caller
// frees (not its words). Forked and exec'd children are traced too.
char **tv_command(char **argv, int log_fd);

// Notes a line of valgrind's own ("==pid== ..."), which every traced
// process writes; other lines are ignored.
void tv_note_line(const char *line, size_t len);
// How many processes wrote such lines so far.
long long tv_processes(void);

// Forgets everything.
void tv_reset(void);

#endif  // VANTLE_TOOLSET_TRACER_VALGRIND_H_
