// Host probe, run on the build host. With no argument or "-flags" it prints
// one line of compiler definitions (no newline, each word followed by one
// blank) describing the host's byte and word order, its right shifts and
// where gzip lives; "-s", "-libs" and "-t" answer single questions. Any
// other invocation prints nothing. Reads no file; keeps no state beyond a
// run. Its test compiles this file with HOSTCHECK_NO_MAIN and calls the
// probes and run_hostcheck itself.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// Places searched for an executable gzip, in order; ends with a null.
const char *gzip_paths[] = {
    "/bin/gzip",         "/usr/bin/gzip",     "/usr/local/bin/gzip",
    "/usr/intel/bin/gzip", "/usr/gnu/bin/gzip", "/usr/local/gnu/bin/gzip",
    nullptr};

// 1 little-endian, 0 big-endian, 2 cannot be determined.
int endian_host_byte_order(void) {
  int32_t one = 1;
  unsigned char low;
  memcpy(&low, &one, 1);
  if (low == 1) return 1;
  if (low == 0) return 0;
  return 2;
}

// 1 low word of a double first, 0 high word first, 2 cannot be determined.
int endian_host_word_order(void) {
  double one = 1.0;  // 0x3FF0000000000000
  uint32_t first;
  memcpy(&first, &one, sizeof first);
  if (first == 0) return 1;
  if (first == 0x3FF00000u) return 0;
  return 2;
}

// 1: a logical right shift is available (on every host).
int fast_SRL(void) { return 1; }

// 1 when a right shift of a negative int copies the sign in, else 0.
int fast_SRA(void) {
  volatile int most_negative = INT_MIN;
  return (most_negative >> 1) < 0 ? 1 : 0;
}

// The answers of the four probes.
struct host_answers {
  int byte_order;
  int word_order;
  int srl;
  int sra;
};

// Runs the four probes.
host_answers probe_host(void) {
  return host_answers{endian_host_byte_order(), endian_host_word_order(),
                      fast_SRL(), fast_SRA()};
}

// The first path of the null-terminated table that is executable (access
// with X_OK), or null when none is.
const char *find_gzip(const char *const *paths) {
  for (; *paths; paths++)
    if (access(*paths, X_OK) == 0) return *paths;
  return nullptr;
}

// Writes the definitions line; returns 1 after an error, else 0. Sets the
// two order flags for the final test.
static int print_flags(const host_answers &answers, const char *const *paths,
                       bool *bytes_little, bool *words_little) {
  switch (answers.byte_order) {
    case 1:
      printf("-DBYTES_LITTLE_ENDIAN ");
      *bytes_little = true;
      break;
    case 0:
      printf("-DBYTES_BIG_ENDIAN ");
      break;
    default:
      fprintf(stderr, "\nerror: cannot determine byte order!\n");
      return 1;
  }
  switch (answers.word_order) {
    case 1:
      printf("-DWORDS_LITTLE_ENDIAN ");
      *words_little = true;
      break;
    case 0:
      printf("-DWORDS_BIG_ENDIAN ");
      break;
    default:
      fprintf(stderr, "\nerror: cannot determine word order!\n");
      return 1;
  }
  if (answers.srl) printf("-DFAST_SRL ");
  if (answers.sra) printf("-DFAST_SRA ");
  if (const char *gzip = find_gzip(paths)) printf("-DGZIP_PATH=\"%s\" ", gzip);
  return 0;
}

static int print_byte_order(const host_answers &answers) {
  switch (answers.byte_order) {
    case 1:
      printf("little\n");
      return 0;
    case 0:
      printf("big\n");
      return 0;
    default:
      fprintf(stderr, "\nerror: cannot determine byte order!\n");
      return 1;
  }
}

// The program: picks the mode from argv (argv[0] is the program name),
// writes its answer to stdout and errors to stderr, and returns the exit
// status (0, or 1 after an error). paths is the gzip table to search.
int run_hostcheck(int argc, char **argv, const host_answers &answers,
                  const char *const *paths) {
  bool bytes_little = false, words_little = false;
  const char *mode = argc == 1 ? "-flags" : argc == 2 ? argv[1] : "";
  if (!strcmp(mode, "-flags")) {
    if (print_flags(answers, paths, &bytes_little, &words_little)) return 1;
  } else if (!strcmp(mode, "-s")) {
    if (print_byte_order(answers)) return 1;
  } else if (!strcmp(mode, "-libs")) {
    printf(" \n");
  } else if (!strcmp(mode, "-t")) {
    printf("sizeof(int) = %d\n", static_cast<int>(sizeof(int)));
    printf("sizeof(long) = %d\n", static_cast<int>(sizeof(long)));
  }
  // The tool set handles mixed orders nowhere; refuse them once the
  // definitions have been written.
  if (bytes_little != words_little) {
    fprintf(stderr, "\nerror: opposite byte/word endian currently not "
                    "supported!\n");
    return 1;
  }
  return 0;
}

#ifndef HOSTCHECK_NO_MAIN
int main(int argc, char **argv) {
  return run_hostcheck(argc, argv, probe_host(), gzip_paths);
}
#endif
