// Odds and ends every unit of the tool set uses: the verbose and debug
// flags, the fatal-error macro and the random generator. _fatal,
// fatal_hook and myfprintf live in the library's util unit.
#ifndef VANTLE_MISC_H_
#define VANTLE_MISC_H_

#include <stdio.h>

#include "libvantle/util.h"

// Set by -v: say more about what the run does.
extern int verbose;
// Set by -d: print debugging messages.
extern int debugging;

// Ends the process through _fatal with this file, function and line.
#define fatal(...) _fatal(__FILE__, __func__, __LINE__, __VA_ARGS__)

// Prints a debugging message to stderr when -d is given.
#define debug(...)                                  \
  do {                                              \
    if (debugging) fprintf(stderr, "debug: " __VA_ARGS__); \
  } while (0)

// Seeds the random generator; the same seed gives the same sequence.
void mysrand(unsigned int seed);
// Returns the next pseudo-random number, 0 .. 2^31-1.
int myrand(void);

// Returns the last component of a path (the whole path without a '/').
const char *base_name(const char *path);

// Length of the well-formed UTF-8 sequence at p (1 to 4), or 0 when the
// bytes there are not one: file names are bytes, JSON and XML are text.
int utf8_length(const unsigned char *p);

// Returns a copy (malloc'd) of the full path of an executable named
// without '/', as found in the directories of path (PATH's syntax), or
// null.
char *find_on_path(const char *path, const char *name);

// Whether the two paths name one file: the same regular file when both
// exist (through links and symbolic links too; devices such as /dev/null
// never count), else the same directory and last component.
bool same_file_name(const char *a, const char *b);

#endif  // VANTLE_MISC_H_
