// Direct-mapped caches of one size, 2^C bytes, for every line size 2^A to
// 2^B bytes, in one pass.
//
// The cache of line-size index i (lines of 2^(A+i) bytes) has 2^(C-A-i)
// sets; a reference falls into the set of its address bits A+i to C-1 and
// hits when the last earlier reference to that set had its tag (address
// bits C and up, the same under every line size). So the unit keeps, for
// every line size, the tag of the last reference to each set, and a
// reference costs one load, one compare and one store per line size, with
// no branch on the data and no search.
//
// The tags of all line sizes share one table laid out like a heap: with
// x = 2^(C-A) + the address bits A to C-1, the set of line-size index i is
// entry x >> i, in [2^(C-A-i), 2^(C-A-i+1)); the entries below 2^(C-B)
// are never used (nor written). An entry holds the complement of its tag,
// so that the zero fill reads as "never used" (all ones; no real tag is,
// as C >= 1).
//
// State: the derived sizes, the tag table, the hits per line size (hits,
// filled by the report), the reference count and the marks of the periodic
// output. Reads A, B, C, P_INTERVAL and SAVE_INTERVAL.
#include "libvantle/linesweep.h"

#include <stdint.h>

#include "libvantle/periodic.h"
#include "libvantle/report.h"
#include "libvantle/site_table.h"

static uint32_t CACHE_SZ, MIN_LINE_SZ, MAX_LINE_SZ, NO_LINES, TAG_MASK;
static uint64_t *hits;  // by line-size exponent, written by the report
// The tag table as idim2 made it, in rows of at most 2^30 entries. The
// per-reference path reads its body through s; this keeps the rows
// reachable until the process ends, like every table of the library, and
// `used' keeps the compiler from dropping a variable that nothing reads.
static uint32_t **tag_rows __attribute__((used));

// What the per-reference path reads, together.
static struct {
  uint32_t cache_sz;     // C
  uint32_t min_line_sz;  // A
  uint32_t no_lines;     // N = B - A + 1
  uint32_t index_bit;    // 2^C: the heap's top bit before the shift by A
  uint32_t tag_mask;     // 2^C - 1
  uint32_t *tags;        // complemented tags, 2^(C-A+1) entries
  uint64_t *line_hits;   // hits of line-size index i
  uint64_t t_entries;    // in 64 bits, like every count: no run wraps them
  periodic_marks marks_due;  // progress lines and interim reports
} s;

static void set_derived_sizes() {
  MIN_LINE_SZ = static_cast<uint32_t>(A);
  MAX_LINE_SZ = static_cast<uint32_t>(B);
  CACHE_SZ = static_cast<uint32_t>(C);
  NO_LINES = MAX_LINE_SZ - MIN_LINE_SZ + 1;
  TAG_MASK = (1u << CACHE_SZ) - 1;
}

uint64_t footprint_linesweep(void) {
  int heap_bits = C - A + 1;
  int high_bits = heap_bits > 30 ? heap_bits - 30 : 0;
  return idim2_bytes(1 << high_bits, 1 << (heap_bits - high_bits)) +
         static_cast<uint64_t>(B - A + 1 + B + 1) * sizeof(uint64_t);
}

void init_linesweep(void) {
  set_derived_sizes();
  // The tags come from idim2 (zero-filled; exhaustion ends through
  // _fatal): 2^(C-A+1) entries, in rows of at most 2^30.
  int heap_bits = static_cast<int>(CACHE_SZ - MIN_LINE_SZ) + 1;
  int high_bits = heap_bits > 30 ? heap_bits - 30 : 0;
  tag_rows = idim2(1 << high_bits, 1 << (heap_bits - high_bits));
  s.tags = tag_rows[0];
  s.line_hits = static_cast<uint64_t *>(checked_calloc(
      NO_LINES, sizeof(uint64_t), "linesweep", "init_linesweep", __LINE__));
  hits = static_cast<uint64_t *>(checked_calloc(
      MAX_LINE_SZ + 1, sizeof(uint64_t), "linesweep", "init_linesweep",
      __LINE__));
  s.cache_sz = CACHE_SZ;
  s.min_line_sz = MIN_LINE_SZ;
  s.no_lines = NO_LINES;
  s.index_bit = 1u << CACHE_SZ;
  s.tag_mask = TAG_MASK;
  periodic_init(&s.marks_due);
}

// The progress line and the interim report, off the per-reference path.
__attribute__((noinline, cold)) static void progress_line() {
  fprintf(stderr, "libvantle: addresses processed  %llu\n",
          static_cast<unsigned long long>(s.t_entries));
}

__attribute__((noinline, cold)) static void interim_report() {
  outpr_linesweep(stderr);
}

// One reference in the line sizes of index below n, with no count and no
// mark. A reference of a site (kSites) also counts its hit of line-size
// index i in count i of the site's row (site_table.h).
template <bool kSites = false>
static inline void sweep_sizes(md_addr_t addr, uint32_t n,
                               uint64_t *site = nullptr) {
  uint32_t key = ~(addr >> s.cache_sz);
  uint32_t x = ((addr & s.tag_mask) | s.index_bit) >> s.min_line_sz;
  uint32_t *tags = s.tags;
  uint64_t *line_hits = s.line_hits;
  uint32_t i = 0;
  for (; i + 1 < n; i += 2) {
    uint32_t *e0 = tags + (x >> i), *e1 = tags + (x >> (i + 1));
    uint64_t hit0 = *e0 == key;
    line_hits[i] += hit0;
    *e0 = key;
    uint64_t hit1 = *e1 == key;
    line_hits[i + 1] += hit1;
    *e1 = key;
    if (kSites) site[i] += hit0, site[i + 1] += hit1;
  }
  if (i < n) {
    uint32_t *e = tags + (x >> i);
    uint64_t hit = *e == key;
    line_hits[i] += hit;
    *e = key;
    if (kSites) site[i] += hit;
  }
}

// One reference with its count and marks; with kSites, its hits also in
// the site's row.
template <bool kSites>
static inline void reference(md_addr_t addr, uint64_t *site) {
  uint64_t t = ++s.t_entries;
  if (progress_due(&s.marks_due, t)) progress_line();
  sweep_sizes<kSites>(addr, s.no_lines, site);
  if (save_due(&s.marks_due, t)) interim_report();
}

void linesweep(md_addr_t addr) { reference<false>(addr, nullptr); }

void linesweep_at(md_addr_t addr, uint32_t site) {
  reference<true>(addr, site_counts(site));
}

uint32_t site_width_linesweep(void) { return s.no_lines; }

void site_hits_linesweep(const uint64_t *counts, vantle_result *rows,
                         int count) {
  for (int i = 0; i < count; i++) rows[i].hits = counts[i];
}

// The interim report comes after the count, unlike the other families'.
static uint64_t quiet_linesweep() {
  return quiet_references(&s.marks_due, s.t_entries, true);
}

static void set_hits_linesweep(uint64_t n) {
  for (uint32_t i = 0; i < s.no_lines; i++) s.line_hits[i] += n;
  s.t_entries += n;
}

void linesweep_repeat(md_addr_t addr, uint64_t count) {
  feed_repeats(addr, count, linesweep, quiet_linesweep, set_hits_linesweep);
}

// A reference in the line of the one before it, for a line size, hits
// there and changes nothing; it is in that line for every larger size
// too. So only the smaller sizes are swept, and the rest counted as hits
// from the first of them on (from_size), added up at the end.
static void sweep_many(const md_addr_t *addrs, size_t n) {
  uint64_t from_size[33] = {0};
  uint32_t sizes = s.no_lines, shift = s.min_line_sz;
  for (size_t i = 0; i < n; i++) {
    uint32_t apart = i ? (addrs[i] ^ addrs[i - 1]) >> shift : ~0u;
    uint32_t differ = apart ? 32 - __builtin_clz(apart) : 0;
    if (differ > sizes) differ = sizes;
    from_size[differ]++;
    sweep_sizes(addrs[i], differ);
  }
  uint64_t hits = 0;
  for (uint32_t i = 0; i < sizes; i++) {
    hits += from_size[i];
    s.line_hits[i] += hits;
  }
  s.t_entries += n;
}

void linesweep_batch(const md_addr_t *addrs, size_t count) {
  feed_batch(addrs, count, linesweep, quiet_linesweep, sweep_many);
}

// A site's row needs a count for every line size, so with sites each
// reference sweeps them all.
void linesweep_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                        size_t count, site_rows rows) {
  feed_batch_by_index(
      count, quiet_linesweep,
      [&](size_t i) { reference<true>(addrs[i], rows.count(sites[i])); },
      [&](size_t i, size_t n) {
        for (size_t k = i; k < i + n; k++)
          sweep_sizes<true>(addrs[k], s.no_lines, rows.count(sites[k]));
        s.t_entries += n;
      });
}

void outpr_linesweep(FILE *fd) {
  fprintf(fd, "Direct Mapped Caches\n");
  fprintf(fd, "Addresses processed %llu\n",
          static_cast<unsigned long long>(s.t_entries));
  fprintf(fd, "Cache size: %d bytes\n", 1 << CACHE_SZ);
  fprintf(fd, "Line size (bytes)\tMiss ratio\n");
  for (uint32_t i = 0; i < NO_LINES; i++) {
    uint64_t &h = hits[MIN_LINE_SZ + i];
    h = s.line_hits[i];
    double ratio = 1.0 - static_cast<double>(h) /
                             static_cast<double>(s.t_entries);
    fprintf(fd, "%d\t\t\t%f\n", 1 << (MIN_LINE_SZ + i), ratio);
  }
  fprintf(fd, "\n");
}

int results_linesweep(vantle_result *rows, int capacity) {
  int count = static_cast<int>(NO_LINES);
  for (int i = 0; i < count && i < capacity; i++) {
    uint32_t line_exp = MIN_LINE_SZ + static_cast<uint32_t>(i);
    rows[i] = result_row(VANTLE_DIRECT_MAPPED, VANTLE_LRU, 1u << line_exp,
                         1u << (CACHE_SZ - line_exp), 1,
                         uint64_t{1} << CACHE_SZ,
                         s.t_entries, s.line_hits[i]);
  }
  return count;
}

// ---------------------------------------------------------------------------
// Write-backs (vantle_explain): every cache write-back and write-allocate.
// Each line size is simulated as it is, so the count is plain: a miss
// writes a dirty line back. Once write-backs are counted every reference
// comes through linesweep_store, which keeps a table of its own, laid out
// as s.tags but each entry a 64-bit word: the complemented tag, and above
// it whether the line is dirty.

static struct {
  uint64_t *entries;        // as s.tags: tag | dirty << 32
  uint64_t *written_back;   // by line-size index
} wb;

uint64_t footprint_writebacks_linesweep(void) {
  return (uint64_t{8} << (C - A + 1)) + (B - A + 1) * sizeof(uint64_t);
}

void init_writebacks_linesweep(void) {
  wb.entries = static_cast<uint64_t *>(
      checked_calloc(size_t{1} << (CACHE_SZ - MIN_LINE_SZ + 1),
                     sizeof(uint64_t), "linesweep",
                     "init_writebacks_linesweep", __LINE__));
  wb.written_back = static_cast<uint64_t *>(
      checked_calloc(NO_LINES, sizeof(uint64_t), "linesweep",
                     "init_writebacks_linesweep", __LINE__));
}

void linesweep_store(md_addr_t addr, int store) {
  uint64_t t = ++s.t_entries;
  if (progress_due(&s.marks_due, t)) progress_line();

  uint32_t key = ~(addr >> s.cache_sz);
  uint32_t x = ((addr & s.tag_mask) | s.index_bit) >> s.min_line_sz;
  uint64_t written = store != 0;
  for (uint32_t i = 0; i < s.no_lines; i++) {
    uint64_t *e = wb.entries + (x >> i);
    bool hit = static_cast<uint32_t>(*e) == key;
    uint64_t dirty = *e >> 32;
    s.line_hits[i] += hit;
    wb.written_back[i] += static_cast<uint64_t>(!hit) & dirty;
    *e = key | ((hit & dirty) | written) << 32;
  }

  if (save_due(&s.marks_due, t)) interim_report();
}

void writebacks_linesweep(vantle_explained *rows, int count) {
  for (int i = 0; i < count && i < static_cast<int>(NO_LINES); i++) {
    // Line size index i: the sets 2^(C-A-i) .. 2^(C-A-i+1) - 1.
    size_t first = size_t{1} << (CACHE_SZ - MIN_LINE_SZ - i);
    uint64_t dirty = 0;
    for (size_t set = first; set < 2 * first; set++)
      dirty += wb.entries[set] >> 32;
    rows[i].writebacks = wb.written_back[i];
    rows[i].dirty_at_end = dirty;
  }
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run crosses the
// edges of 32-bit counts.

void test_start_linesweep_at(uint64_t count) {
  s.t_entries = count;
  for (uint32_t i = 0; i < s.no_lines; i++) s.line_hits[i] = count;
  periodic_start(&s.marks_due, count);
}
