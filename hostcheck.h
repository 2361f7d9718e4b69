// Host probe: byte and word order, sign-keeping right shift and the place
// of gzip, answered as compiler definitions for the build.
#ifndef VANTLE_HOSTCHECK_H_
#define VANTLE_HOSTCHECK_H_

// Places searched for an executable gzip, in order; ends with a null.
extern const char *gzip_paths[];

// 1 little-endian, 0 big-endian, 2 cannot be determined.
int endian_host_byte_order(void);
// 1 low word of a double first, 0 high word first, 2 cannot be determined.
int endian_host_word_order(void);
// 1: a logical right shift is available (on every host).
int fast_SRL(void);
// 1 when a right shift of a negative int copies the sign in, else 0.
int fast_SRA(void);

// The answers of the four probes.
struct host_answers {
  int byte_order;
  int word_order;
  int srl;
  int sra;
};
// Runs the four probes.
host_answers probe_host(void);

// The first path of the null-terminated table that is executable (access
// with X_OK), or null when none is.
const char *find_gzip(const char *const *paths);

// The program: picks the mode from argv (argv[0] is the program name),
// writes its answer to stdout and errors to stderr, and returns the exit
// status (0, or 1 after an error). paths is the gzip table to search.
int run_hostcheck(int argc, char **argv, const host_answers &answers,
                  const char *const *paths);

#endif  // VANTLE_HOSTCHECK_H_
