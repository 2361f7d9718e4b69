// Front end of the library: parses the option words into the configuration
// variables, validates them, initialises one simulator and routes every
// reference and report request to it through the family's record of
// operations, chosen once. Keeps no per-reference state but the count that
// enforces the reference limit and the end of the run at the final report.
#include "libvantle/libvantle.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "libvantle/explain.h"
#include "libvantle/frontend.h"
#include "libvantle/linesweep.h"
#include "libvantle/lookahead.h"
#include "libvantle/rowseer.h"
#include "libvantle/report.h"
#include "libvantle/saclru.h"
#include "libvantle/site_table.h"
#include "libvantle/wideseer.h"
#include "libvantle/widestack.h"

extern "C" {
int A, B, C, L, N, T, P_INTERVAL, SAVE_INTERVAL, MISS_RATIO_INTERVAL;
int trace_config;
unsigned int MAX_CACHE_SIZE, MAX_LINES;
short repl;

const char *outstrings[15] = {
    "LRU",    "OPT",   "Set-associative", "Fully-associative",
    "Direct-mapped",   "Basic", "Pixie", "DIN", "an instruction", "a load",
    " ",      "a store", " ", "a data", "a unified"};
}

// The families' counts of write-backs (vantle_explain).
static const writeback_ops kWidestackWritebacks = {
    init_writebacks_widestack, ptc_store, writebacks_widestack,
    footprint_writebacks_widestack};
static const writeback_ops kSaclruWritebacks = {
    init_writebacks_saclru, sacnmul_store, writebacks_saclru,
    footprint_writebacks_saclru};
static const writeback_ops kLinesweepWritebacks = {
    init_writebacks_linesweep, linesweep_store, writebacks_linesweep,
    footprint_writebacks_linesweep};

// What the front end does for one family: every call after vantle_init
// goes through the record chosen there.
struct family {
  int organisation;
  int policy;
  void (*init)(void);
  void (*access)(md_addr_t addr);
  // count accesses to addr at once; null: one by one.
  void (*repeat)(md_addr_t addr, uint64_t count);
  // A batch of accesses at once, with no allocation; null: run by run.
  void (*batch)(const md_addr_t *addrs, size_t count);
  void (*report)(FILE *fd, int mid);
  int (*results)(vantle_result *rows, int capacity);
  uint64_t (*footprint)(void);
  // For tests: starts the family's clock and counts at a later count.
  void (*test_start)(uint64_t count);
  const writeback_ops *writebacks;  // null: the family counts none
  // access, which also counts the reference for a site; the counts of a
  // site's row; the hits of the family's rows from a site's row.
  void (*access_at)(md_addr_t addr, uint32_t site);
  uint32_t (*site_width)(void);
  void (*site_hits)(const uint64_t *counts, vantle_result *rows, int count);
  // access_at for a batch, taken whole as batch is (null: run by run), and
  // for a run of one line by one site (null: one by one).
  void (*batch_at)(const md_addr_t *addrs, const uint32_t *sites,
                   size_t count, site_rows rows);
  void (*repeat_at)(md_addr_t addr, uint32_t site, uint64_t count);
  // A site's references from its row (null: counted apart).
  uint64_t (*site_references)(const uint64_t *counts);
};

// The OPT families reach their simulator through the look-ahead window
// and its short queue; the final report drains them.
static void init_fa_opt() {
  init_wideseer();
  init_optpp();
}
static void access_fa_opt(md_addr_t addr) {
  optpp_queue(addr, L, stack_proc_fa, inf_handler_fa);
}
static void access_fa_opt_at(md_addr_t addr, uint32_t site) {
  optpp_queue_at(addr, site + 1, L, stack_proc_fa, inf_handler_fa);
}
static void report_fa_opt(FILE *fd, int mid) {
  if (!mid) term_optpp(stack_proc_fa);
  outpr_wideseer(fd);
}
static void init_sa_opt() {
  init_rowseer();
  init_optpp();
}
static void access_sa_opt(md_addr_t addr) {
  optpp_queue(addr, L, stack_proc_sa, inf_handler_sa);
}
static void access_sa_opt_at(md_addr_t addr, uint32_t site) {
  optpp_queue_at(addr, site + 1, L, stack_proc_sa, inf_handler_sa);
}
static void report_sa_opt(FILE *fd, int mid) {
  if (!mid) term_optpp(stack_proc_sa);
  outpr_rowseer(fd);
}
static void test_start_fa_opt(uint64_t count) {
  test_start_wideseer_at(count);
  test_start_window_at(count);
}
static void test_start_sa_opt(uint64_t count) {
  test_start_rowseer_at(count);
  test_start_window_at(count);
}
static void report_fa_lru(FILE *fd, int) { outpr_widestack(fd); }
static void report_sa_lru(FILE *fd, int) { outpr_saclru(fd); }
static void report_dm(FILE *fd, int) { outpr_linesweep(fd); }

static const family kFamilies[] = {
    {VANTLE_FULLY_ASSOCIATIVE, VANTLE_LRU, init_widestack, ptc, ptc_repeat,
     nullptr, report_fa_lru, results_widestack, footprint_widestack,
     test_start_widestack_at, &kWidestackWritebacks, ptc_at, fa_site_width,
     fa_site_hits, nullptr, ptc_repeat_at, nullptr},
    {VANTLE_FULLY_ASSOCIATIVE, VANTLE_OPT, init_fa_opt, access_fa_opt,
     nullptr, nullptr, report_fa_opt, results_wideseer, footprint_wideseer,
     test_start_fa_opt, nullptr, access_fa_opt_at, fa_site_width,
     fa_site_hits, nullptr, nullptr, nullptr},
    {VANTLE_SET_ASSOCIATIVE, VANTLE_LRU, init_saclru, sacnmul_woarr,
     sacnmul_repeat, sacnmul_batch, report_sa_lru, results_saclru,
     footprint_saclru, test_start_saclru_at, &kSaclruWritebacks, sacnmul_at,
     site_width_saclru, site_hits_saclru, sacnmul_batch_at, nullptr,
     site_references_saclru},
    {VANTLE_SET_ASSOCIATIVE, VANTLE_OPT, init_sa_opt, access_sa_opt,
     nullptr, nullptr, report_sa_opt, results_rowseer, footprint_rowseer,
     test_start_sa_opt, nullptr, access_sa_opt_at, site_width_rowseer,
     site_hits_rowseer, nullptr, nullptr, nullptr},
    // Direct-mapped has no policy: -R is accepted and ignored.
    {VANTLE_DIRECT_MAPPED, VANTLE_LRU, init_linesweep, linesweep,
     linesweep_repeat, linesweep_batch, report_dm,
     results_linesweep, footprint_linesweep, test_start_linesweep_at,
     &kLinesweepWritebacks, linesweep_at, site_width_linesweep,
     site_hits_linesweep, linesweep_batch_at, nullptr, nullptr},
    {VANTLE_DIRECT_MAPPED, VANTLE_OPT, init_linesweep, linesweep,
     linesweep_repeat, linesweep_batch, report_dm,
     results_linesweep, footprint_linesweep, test_start_linesweep_at,
     &kLinesweepWritebacks, linesweep_at, site_width_linesweep,
     site_hits_linesweep, linesweep_batch_at, nullptr, nullptr},
};

static int initialized;
// The family that vantle_init chose, its record copied into active with
// the entries vantle_explain changes; null before.
static const family *chosen;
static family active;

// What vantle_explain asked for, and the entry of vantle_access_store
// once it asked for anything.
static unsigned explain_parts;
static void (*store_entry)(md_addr_t addr, int store);

// Every count is 64-bit; the tool set counts references in signed 64 bits,
// so the limit is the largest count it can hold. Later references are
// ignored.
static uint64_t reference_limit = VANTLE_REFERENCE_LIMIT;
static uint64_t references_accepted;
// After the final report no family may take a reference: the OPT ones
// have drained their window. One bound serves both limits, so that an
// accepted reference costs one comparison beside the check that a family
// was chosen.
static bool final_report_made;
static uint64_t accept_until = VANTLE_REFERENCE_LIMIT;

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

// complain, then end the process with status 1.
[[noreturn]] static void refuse(const char *message) {
  fputs("libvantle: ", stderr);
  fputs(message, stderr);
  exit(1);
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

// What the explanation needs of family f.
static explained_family explained(const family *f) {
  return {f->organisation, f->policy, f->access, f->results, f->writebacks};
}

// The record of the configured family; null when trace_config or repl
// holds a value no family has.
static const family *configured_family() {
  for (const family &f : kFamilies)
    if (f.organisation == trace_config && f.policy == repl) return &f;
  return nullptr;
}

static double gib(uint64_t bytes) { return bytes / 1073741824.0; }

// Tables larger than the machine allows would be killed by the kernel
// part-way through the run, with no word said; refuse them before.
static bool fits_in_memory(const family *f) {
  const char *limit = nullptr;
  uint64_t need = f->footprint(), room = memory_available(&limit);
  need += footprint_explain(explain_parts, explained(f));
  if (need <= room) return true;
  return complain(
      "this family's tables take %llu bytes (%.1f GiB), more than the %llu "
      "bytes (%.1f GiB) that %s allows\n",
      static_cast<unsigned long long>(need), gib(need),
      static_cast<unsigned long long>(room), gib(room), limit);
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

int vantle_configure(int argc, char **argv) {
  set_defaults();
  for (int i = 0; i < argc; i++)
    if (!parse_word(argv[i])) return 1;
  bool valid;
  switch (trace_config) {
    case VANTLE_FULLY_ASSOCIATIVE: valid = validate_fully_associative(); break;
    case VANTLE_DIRECT_MAPPED: valid = validate_direct_mapped(); break;
    default: valid = validate_set_associative(); break;
  }
  valid = valid && report_readable() && fits_in_memory(configured_family());
  return valid ? 0 : 1;
}

int vantle_explain(unsigned parts) {
  const unsigned every = VANTLE_EXPLAIN_WRITEBACKS | VANTLE_EXPLAIN_COMPULSORY |
                         VANTLE_EXPLAIN_FULLY_ASSOCIATIVE | VANTLE_EXPLAIN_APART;
  if (initialized || (parts & ~every)) return 1;
  explain_parts = parts;
  return 0;
}

void vantle_init(int argc, char **argv) {
  if (initialized) refuse("already initialized\n");
  initialized = 1;
  if (vantle_configure(argc, argv)) exit(1);
  active = *configured_family();
  chosen = &active;
  active.init();
  site_table_init(active.site_width());
  if (!explain_parts) return;
  active.access = explain_start(explain_parts, explained(&active));
  // The explanation takes its references one by one.
  active.repeat = nullptr;
  active.batch = nullptr;
  store_entry = explain_store_entry();
}

void vantle_config(FILE *fd) {
  fprintf(fd, "\nlibvantle: ** simulation parameters **\n");
  if (trace_config == VANTLE_DIRECT_MAPPED)
    fprintf(fd, "libvantle: %s caches being simulated\n",
            outstrings[trace_config]);
  else
    fprintf(fd, "libvantle: %s %s caches being simulated\n", outstrings[repl],
            outstrings[trace_config]);
  switch (trace_config) {
    case VANTLE_FULLY_ASSOCIATIVE:
      // Unsigned: -M takes sizes up to 4 GiB - 1.
      fprintf(fd, "libvantle: max cache size is %u bytes\n", MAX_CACHE_SIZE);
      fprintf(fd, "libvantle: line size is %d bytes\n", 1 << L);
      break;
    case VANTLE_DIRECT_MAPPED:
      fprintf(fd, "libvantle: cache size is %d bytes\n", 1 << C);
      fprintf(fd, "libvantle: line sizes from %d to %d bytes\n", 1 << A,
              1 << B);
      break;
    case VANTLE_SET_ASSOCIATIVE:
      fprintf(fd, "libvantle: number of sets from %d to %d\n", 1 << A, 1 << B);
      fprintf(fd, "libvantle: maximum associativity is %d\n", 1 << N);
      fprintf(fd, "libvantle: line size is %d bytes\n", 1 << L);
      break;
    default:
      refuse("configuration wrongly set.\n");
  }
}

static void ignore_past_limit() {
  static bool reported;
  if (reported) return;
  reported = true;
  fprintf(stderr,
          "libvantle: reference limit of %llu reached; later references are "
          "not simulated\n",
          static_cast<unsigned long long>(reference_limit));
}

static void ignore_after_final_report() {
  static bool reported;
  if (reported) return;
  reported = true;
  fprintf(stderr, "libvantle: reference after the final report ignored\n");
}

// Whether a reference is to be simulated: below the limit and before the
// final report. Counts it.
static inline bool accepted() {
  if (references_accepted >= accept_until) {
    if (final_report_made)
      ignore_after_final_report();
    else
      ignore_past_limit();
    return false;
  }
  references_accepted++;
  if (!chosen) refuse("configuration wrongly set\n");
  return true;
}

void vantle_access(md_addr_t addr) {
  if (accepted()) chosen->access(addr);
}

// How many of count references to simulate: all up to the limit or the
// final report; counts them. accepted() says why the rest are not.
static uint64_t accept_many(uint64_t count) {
  uint64_t room = references_accepted < accept_until
                      ? accept_until - references_accepted
                      : 0;
  uint64_t taken = count < room ? count : room;
  if (taken && !chosen) refuse("configuration wrongly set\n");
  references_accepted += taken;
  return taken;
}

static void repeat(md_addr_t addr, uint64_t count) {
  if (chosen->repeat)
    chosen->repeat(addr, count);
  else
    for (uint64_t i = 0; i < count; i++) chosen->access(addr);
}

void vantle_access_repeat(md_addr_t addr, uint64_t count) {
  uint64_t taken = accept_many(count);
  if (taken) repeat(addr, taken);
  if (taken < count) accepted();  // past the limit: its message
}

int vantle_line_bits(void) {
  if (!chosen || !chosen->repeat) return -1;
  return trace_config == VANTLE_DIRECT_MAPPED ? A : L;
}

void vantle_access_batch(const md_addr_t *addrs, size_t count) {
  size_t taken = static_cast<size_t>(accept_many(count));
  if (taken && chosen->batch) {
    chosen->batch(addrs, taken);
  } else if (taken) {  // run by run
    int bits = vantle_line_bits();
    for (size_t i = 0, next; i < taken; i = next) {
      for (next = i + 1;
           bits >= 0 && next < taken && addrs[next] >> bits == addrs[i] >> bits;
           next++) {
      }
      repeat(addrs[i], next - i);
    }
  }
  if (taken < count) accepted();
}

int vantle_takes_batches(void) { return chosen && chosen->batch ? 1 : 0; }

void vantle_access_store(md_addr_t addr, int store) {
  if (!accepted()) return;
  if (store_entry)
    store_entry(addr, store);
  else
    chosen->access(addr);
}

// One more than the largest site fed with vantle_access_at.
static uint32_t sites_fed;

void vantle_access_at(md_addr_t addr, uint32_t site) {
  if (site >= VANTLE_MOST_SITES) {
    complain("vantle_access_at: site %u is above the largest, %u\n", site,
             VANTLE_MOST_SITES - 1);
    exit(1);
  }
  if (!accepted()) return;
  if (site >= sites_fed) sites_fed = site + 1;
  if (!explain_parts)
    chosen->access_at(addr, site);
  else if (!explain_access_at(addr, site, chosen->access_at))
    refuse("vantle_access_at: sites are not counted with write-backs\n");
}

// The batch of vantle_access_batch_at that the family is given: the
// accepted ones, none above largest.
static void feed_sites_batch(const md_addr_t *addrs, const uint32_t *sites,
                             size_t count, uint32_t largest) {
  if (largest >= sites_fed) sites_fed = largest + 1;
  if (chosen->batch_at) {
    chosen->batch_at(addrs, sites, count,
                     site_batch_rows(largest));
    return;
  }
  int bits = vantle_line_bits();
  for (size_t i = 0, next; i < count; i = next) {  // run by run
    for (next = i + 1; chosen->repeat_at && next < count &&
                       sites[next] == sites[i] &&
                       addrs[next] >> bits == addrs[i] >> bits;
         next++) {
    }
    if (next - i > 1)
      chosen->repeat_at(addrs[i], sites[i], next - i);
    else
      chosen->access_at(addrs[i], sites[i]);
  }
}

void vantle_access_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                            size_t count) {
  if (explain_parts) {  // the explanation takes references one by one
    for (size_t i = 0; i < count; i++) vantle_access_at(addrs[i], sites[i]);
    return;
  }
  // The sites up to the first out of range, and the largest of them: a
  // loop without an exit, which the compiler vectorises, then the rare one.
  uint32_t largest = 0;
  for (size_t i = 0; i < count; i++)
    largest = sites[i] > largest ? sites[i] : largest;
  size_t valid = count;
  if (largest >= VANTLE_MOST_SITES) {
    for (valid = 0; sites[valid] < VANTLE_MOST_SITES; valid++) {
    }
  }
  size_t taken = static_cast<size_t>(accept_many(valid));
  if (taken < count) {  // the largest of those taken
    largest = 0;
    for (size_t i = 0; i < taken; i++)
      if (sites[i] > largest) largest = sites[i];
  }
  if (taken) feed_sites_batch(addrs, sites, taken, largest);
  if (taken < valid) accepted();  // past the limit: its message
  if (valid < count) vantle_access_at(addrs[valid], sites[valid]);  // ends
}

uint32_t vantle_site_count(void) { return sites_fed; }

int vantle_site_results(uint32_t site, vantle_result *rows, int capacity) {
  if (capacity < 0 || (capacity > 0 && !rows)) capacity = 0;
  if (!chosen) return 0;
  int count = chosen->results(rows, capacity);
  int filled = count < capacity ? count : capacity;
  const uint64_t *counts = site_row(site);
  uint64_t references = !chosen->site_references ? site_references(site)
                        : counts ? chosen->site_references(counts)
                                 : 0;
  if (counts) chosen->site_hits(counts, rows, filled);
  for (int i = 0; i < filled; i++) {
    uint64_t hits = counts ? rows[i].hits : 0;
    rows[i] = result_row(rows[i].organisation, rows[i].policy,
                         rows[i].line_size, rows[i].sets,
                         rows[i].associativity, rows[i].cache_size,
                         references, hits);
  }
  return count;
}

void vantle_stats(FILE *fd, int mid) {
  fprintf(fd, "\nlibvantle: ** end of simulation **\n");
  if (!chosen) refuse("configuration wrongly set\n");
  chosen->report(fd, mid);
  if (!mid) {
    final_report_made = true;
    accept_until = references_accepted;
  }
}

int vantle_results(vantle_result *rows, int capacity) {
  if (capacity < 0 || (capacity > 0 && !rows)) capacity = 0;
  if (!chosen) return 0;
  return chosen->results(rows, capacity);
}

int vantle_explanation(vantle_explained *rows, int capacity) {
  if (capacity < 0 || (capacity > 0 && !rows)) capacity = 0;
  if (!chosen) return 0;
  int count = chosen->results(nullptr, 0);
  if (explain_parts) {
    explain_rows(rows, count < capacity ? count : capacity);
    return count;
  }
  for (int i = 0; i < count && i < capacity; i++)
    rows[i] = {VANTLE_NOT_COUNTED, VANTLE_NOT_COUNTED, VANTLE_NOT_COUNTED,
               VANTLE_NOT_COUNTED};
  return count;
}

uint64_t vantle_reference_limit(void) { return reference_limit; }

void vantle_set_reference_limit(uint64_t limit) {
  reference_limit = limit;
  if (!final_report_made) accept_until = limit;
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
void default_word(char letter, char *out, size_t size) {
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

// ---------------------------------------------------------------------------
// For tests only.

int test_start_at(uint64_t count) {
  if (!chosen || references_accepted != 0 || count > reference_limit)
    return 1;
  references_accepted = count;
  chosen->test_start(count);
  return 0;
}
