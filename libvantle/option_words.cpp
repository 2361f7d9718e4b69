// The option words of the library: reads them into the configuration
// variables (A, B, C, L, N, MAX_CACHE_SIZE, MISS_RATIO_INTERVAL,
// trace_config, repl, and T, P_INTERVAL, SAVE_INTERVAL at their defaults),
// refuses a value that does not fit or a configuration that the simulators
// or their report cannot take, and describes every word for help texts.
// Owns the defaults and the help table; the variables are the library's.
#include "libvantle/option_words.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Writes one "libvantle: " message to stderr; returns false so that
// validation can say `return complain(...)`.
static bool complain(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("libvantle: ", stderr);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  return false;
}

// Reads an option's value like the standard atoi (leading blanks, a sign,
// decimal digits, anything after them ignored; no digits is 0) into
// *value, refusing one that does not fit in [lo, hi] rather than letting
// a cast wrap it into some other valid-looking size.
static bool read_number(char option, const char *text, long long lo,
                        long long hi, long long *value) {
  errno = 0;
  long long v = strtoll(text, nullptr, 10);
  if (errno == ERANGE || v < lo || v > hi)
    return complain("-%c: `%s' is out of range %lld..%lld\n", option, text,
                    lo, hi);
  *value = v;
  return true;
}

static bool read_int(char option, const char *text, int *var) {
  long long v = 0;
  if (!read_number(option, text, INT_MIN, INT_MAX, &v)) return false;
  *var = static_cast<int>(v);
  return true;
}

// The defaults of the option words, in one place: the help table shows
// these very values.
constexpr int kDefaultA = 7, kDefaultB = 14, kDefaultL = 4, kDefaultN = 1,
              kDefaultC = 16, kDefaultInterval = 512;
constexpr unsigned int kDefaultMaxCacheSize = 524288;

static void set_defaults() {
  A = kDefaultA;
  B = kDefaultB;
  L = kDefaultL;
  N = kDefaultN;
  C = kDefaultC;
  T = 2147483647;
  MAX_CACHE_SIZE = kDefaultMaxCacheSize;
  MISS_RATIO_INTERVAL = kDefaultInterval;
  P_INTERVAL = 2147483647;
  SAVE_INTERVAL = 2147483647;
  trace_config = VANTLE_SET_ASSOCIATIVE;
  repl = VANTLE_LRU;
}

static bool parse_word(const char *word) {
  if (word[0] != '-') return complain("illegal argument `%s'\n", word);
  char letter = word[1];
  const char *value = letter ? word + 2 : word + 1;
  switch (letter) {
    case 'C':
      if (!strcmp(value, "fa") || !strcmp(value, "FA"))
        trace_config = VANTLE_FULLY_ASSOCIATIVE;
      else if (!strcmp(value, "sa") || !strcmp(value, "SA"))
        trace_config = VANTLE_SET_ASSOCIATIVE;
      else if (!strcmp(value, "dm") || !strcmp(value, "DM"))
        trace_config = VANTLE_DIRECT_MAPPED;
      else
        return complain("configuration `%s' not supported\n", value);
      break;
    case 'R':
      if (!strcmp(value, "lru") || !strcmp(value, "LRU"))
        repl = VANTLE_LRU;
      else if (!strcmp(value, "opt") || !strcmp(value, "OPT"))
        repl = VANTLE_OPT;
      else
        return complain("replacement policy `%s' not supported\n", value);
      break;
    case 'a': return read_int(letter, value, &A);
    case 'b': return read_int(letter, value, &B);
    case 'c': return read_int(letter, value, &C);
    case 'l': return read_int(letter, value, &L);
    case 'n': return read_int(letter, value, &N);
    case 'i': return read_int(letter, value, &MISS_RATIO_INTERVAL);
    case 'M': {
      long long size = 0;
      if (!read_number(letter, value, 0, UINT_MAX, &size)) return false;
      MAX_CACHE_SIZE = static_cast<unsigned int>(size);
      break;
    }
    case '\0':
      fprintf(stderr, "libvantle: `-' is not a valid option\n");
      break;
    default:
      fprintf(stderr, "libvantle: `-%c' is not a valid option\n", letter);
      break;
  }
  return true;
}

// Exponents become shifts of 32-bit values and sizes printed as ints, so
// each must keep 2^value within a signed 32-bit int.
static bool exponent_in_range(char option, const char *what, int value,
                              int lo, int hi) {
  if (value >= lo && value <= hi) return true;
  return complain("-%c: %s must be in %d..%d, got %d\n", option, what, lo, hi,
                  value);
}

static bool validate_fully_associative() {
  if (!exponent_in_range('l', "line size exponent", L, 0, 30)) return false;
  int line_size = 1 << L;
  if (line_size > MISS_RATIO_INTERVAL) {
    fprintf(stderr, "libvantle: line size > output interval!!\n");
    fprintf(stderr, "libvantle: output interval changed to line size\n");
    MISS_RATIO_INTERVAL = 1;
  } else {
    MISS_RATIO_INTERVAL =
        static_cast<int>(static_cast<unsigned int>(MISS_RATIO_INTERVAL) >> L);
  }
  if (static_cast<unsigned int>(line_size) > MAX_CACHE_SIZE)
    return complain("max cache size is less than line size\n");
  MAX_LINES = MAX_CACHE_SIZE >> L;
  // The stacks count depths and sizes in signed 32-bit fields.
  if (MAX_LINES > (1u << 30))
    return complain(
        "-M: max cache size must be at most 2^30 lines, got %u lines\n",
        MAX_LINES);
  if (MAX_LINES * 35u > 8388608u)
    fprintf(stderr, "libvantle: warning: mem limit may be exceeded\n");
  return true;
}

static bool validate_direct_mapped() {
  // A cache of at least 2 bytes keeps every real tag below all ones.
  if (!exponent_in_range('a', "min line size exponent", A, 0, 30) ||
      !exponent_in_range('b', "max line size exponent", B, 0, 30) ||
      !exponent_in_range('c', "cache size exponent", C, 1, 30))
    return false;
  if (A > B) return complain("min line size greater than max line\n");
  if (B > C) return complain("max line size greater than cache size\n");
  return true;
}

static bool validate_set_associative() {
  if (!exponent_in_range('a', "min set count exponent", A, 0, 30) ||
      !exponent_in_range('b', "max set count exponent", B, 0, 30) ||
      !exponent_in_range('n', "associativity exponent", N, 0, 30) ||
      !exponent_in_range('l', "line size exponent", L, 0, 30))
    return false;
  if (A > B) return complain("min number of sets greater than max\n");
  // The lists of all set counts take 2^N * 2^(B+1) entries in one table.
  if (B + 1 + N > 31)
    return complain(
        "-b/-n: max set count and associativity exponents must add up to "
        "at most 30, got %d + %d\n", B, N);
  return true;
}

// A set-associative report prints a miss ratio for every set count and
// every associativity up to 2^N: past this many it is no longer a report.
constexpr uint64_t kMostReportedRatios = uint64_t{1} << 20;

static bool report_readable() {
  if (trace_config != VANTLE_SET_ASSOCIATIVE) return true;
  uint64_t rows = static_cast<uint64_t>(B - A + 1), columns = uint64_t{1} << N;
  if (rows * columns <= kMostReportedRatios) return true;
  return complain(
      "-a/-b/-n: the report would print %llu miss ratios (%llu set counts x "
      "%llu associativities), more than %llu\n",
      static_cast<unsigned long long>(rows * columns),
      static_cast<unsigned long long>(rows),
      static_cast<unsigned long long>(columns),
      static_cast<unsigned long long>(kMostReportedRatios));
}

bool read_option_words(int argc, char **argv) {
  set_defaults();
  for (int i = 0; i < argc; i++)
    if (!parse_word(argv[i])) return false;
  bool valid;
  switch (trace_config) {
    case VANTLE_FULLY_ASSOCIATIVE: valid = validate_fully_associative(); break;
    case VANTLE_DIRECT_MAPPED: valid = validate_direct_mapped(); break;
    default: valid = validate_set_associative(); break;
  }
  return valid && report_readable();
}

static double gib(uint64_t bytes) { return bytes / 1073741824.0; }

// Tables larger than the machine allows would be killed by the kernel
// part-way through the run, with no word said; they are refused before.
bool fits_in_memory(uint64_t need) {
  const char *limit = nullptr;
  uint64_t room = memory_available(&limit);
  if (need <= room) return true;
  return complain(
      "this family's tables take %llu bytes (%.1f GiB), more than the %llu "
      "bytes (%.1f GiB) that %s allows\n",
      static_cast<unsigned long long>(need), gib(need),
      static_cast<unsigned long long>(room), gib(room), limit);
}

// The help table: every option word by the families that read it, with
// the word that its default amounts to. -C and -R come first; a letter
// that two families read differently has a row in each.
namespace {
struct word_help {
  const char *group, *word, *meaning;
  char letter;
};
const word_help kWordHelp[] = {
    {"every family", "-C<sa|fa|dm>",
     "set-associative, fully-associative or direct-mapped", 'C'},
    {"every family", "-R<lru|opt>",
     "LRU or optimal (OPT) replacement; direct-mapped has none", 'R'},
    {"set-associative", "-a<n>", "smallest set count, 2^n sets", 'a'},
    {"set-associative", "-b<n>", "largest set count, 2^n sets", 'b'},
    {"set-associative", "-n<n>", "associativities 1 to 2^n ways", 'n'},
    {"set-associative", "-l<n>", "lines of 2^n bytes", 'l'},
    {"fully-associative", "-M<bytes>", "largest cache, in bytes", 'M'},
    {"fully-associative", "-i<bytes>",
     "step between the cache sizes reported, in bytes", 'i'},
    {"fully-associative", "-l<n>", "lines of 2^n bytes", 'l'},
    {"direct-mapped", "-c<n>", "one cache of 2^n bytes", 'c'},
    {"direct-mapped", "-a<n>", "smallest line, 2^n bytes", 'a'},
    {"direct-mapped", "-b<n>", "largest line, 2^n bytes", 'b'},
};

// The word that sets letter's variable to its default, e.g. "-a7".
static void default_word(char letter, char *out, size_t size) {
  long long value = 0;
  switch (letter) {
    case 'C': snprintf(out, size, "-Csa"); return;
    case 'R': snprintf(out, size, "-Rlru"); return;
    case 'a': value = kDefaultA; break;
    case 'b': value = kDefaultB; break;
    case 'c': value = kDefaultC; break;
    case 'l': value = kDefaultL; break;
    case 'n': value = kDefaultN; break;
    case 'i': value = kDefaultInterval; break;
    case 'M': value = kDefaultMaxCacheSize; break;
  }
  snprintf(out, size, "-%c%lld", letter, value);
}
}  // namespace

int vantle_word_help(vantle_word_help_row *rows, int capacity) {
  int count = static_cast<int>(sizeof kWordHelp / sizeof kWordHelp[0]);
  for (int i = 0; i < count && i < capacity; i++) {
    const word_help &h = kWordHelp[i];
    rows[i].group = h.group;
    rows[i].word = h.word;
    rows[i].meaning = h.meaning;
    rows[i].letter = h.letter;
    default_word(h.letter, rows[i].default_word, sizeof rows[i].default_word);
  }
  return count;
}
