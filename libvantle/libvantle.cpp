// Front end of the library: defines the configuration variables, which the
// option words set (option_words.h), initialises one simulator for them and
// routes every reference and report request to it through the family's
// record of operations, chosen once. Keeps no per-reference state but the count that
// enforces the reference limit and the end of the run at the final report.
#include "libvantle/libvantle.h"

#include <stdio.h>
#include <stdlib.h>

#include "libvantle/explain.h"
#include "libvantle/frontend.h"
#include "libvantle/linesweep.h"
#include "libvantle/lookahead.h"
#include "libvantle/option_words.h"
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

// Writes one "libvantle: " message to stderr and ends the process with
// status 1.
[[noreturn]] static void refuse(const char *message) {
  fputs("libvantle: ", stderr);
  fputs(message, stderr);
  exit(1);
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

int vantle_configure(int argc, char **argv) {
  if (!read_option_words(argc, argv)) return 1;
  const family *f = configured_family();
  uint64_t need =
      f->footprint() + footprint_explain(explain_parts, explained(f));
  return fits_in_memory(need) ? 0 : 1;
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
    fprintf(stderr,
            "libvantle: vantle_access_at: site %u is above the largest, %u\n",
            site, VANTLE_MOST_SITES - 1);
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

// ---------------------------------------------------------------------------
// For tests only.

int test_start_at(uint64_t count) {
  if (!chosen || references_accepted != 0 || count > reference_limit)
    return 1;
  references_accepted = count;
  chosen->test_start(count);
  return 0;
}
