// The reports and result rows that several families share: the
// fully-associative and set-associative miss-ratio tables, the rows of
// vantle_results, and the diagnostic of an unknown-priority table that
// records a line twice.
#ifndef VANTLE_LIBVANTLE_REPORT_H_
#define VANTLE_LIBVANTLE_REPORT_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/site_table.h"

// The three stderr lines of an unknown-priority table that records a line
// twice: "libvantle: <noun> already in hash table", the line with the time
// and the earlier record's priority, then the bucket's first record.
void report_second_record(const char *noun, md_addr_t addr, uint64_t t_entries,
                          int64_t prty, md_addr_t first_addr,
                          int64_t first_prty);

// One row of vantle_results, with miss_ratio = 1 - hits / references computed
// in double precision as the reports do (NaN when references is 0).
vantle_result result_row(int organisation, int policy, uint32_t line_size,
                         uint32_t sets, uint32_t associativity,
                         uint64_t cache_size, uint64_t references,
                         uint64_t hits);

// Writes the miss-ratio table that the set-associative LRU and OPT families
// share: the header lines, one column per associativity 1..ways and one row
// per set count 2^A.. (rows of them), each ratio from the running sum of
// hits[row][0..j]. With no reference every ratio reads "nan". Every count
// is printed in full.
void print_sa_report(FILE *fd, uint64_t references, uint64_t *const *hits,
                     int rows, int ways);

// A fully-associative family's hits by stack position: 32-bit counts, so
// that a reference touches 4 bytes, and their upper halves in a second
// table that comes the first time a count wraps.
struct depth_counts {
  uint32_t *low;
  uint32_t *high;  // null until a count passes 2^32 - 1
  size_t size;
  const char *unit;  // owner, named in out-of-memory messages
};

// Readies size zero counts; ends through _fatal when memory is out.
void depth_counts_init(depth_counts *c, size_t size, const char *unit);
// Adds 2^32 to count d, whose low half has just wrapped.
void depth_counts_carry(depth_counts *c, size_t d);
// Adds one to count d.
static inline void depth_counts_add(depth_counts *c, size_t d) {
  if (__builtin_expect(++c->low[d] == 0, 0)) depth_counts_carry(c, d);
}
// Adds n to count d.
void depth_counts_add_many(depth_counts *c, size_t d, uint64_t n);
// Count d in full.
static inline uint64_t depth_count(const depth_counts *c, size_t d) {
  return c->low[d] + (c->high ? static_cast<uint64_t>(c->high[d]) << 32 : 0);
}

// The histogram of a fully-associative family: count d of hits, for d from
// 1 to MAX_LINES, counts the references that hit at stack position d.
struct fa_histogram {
  const depth_counts *hits;
  uint64_t references;
  uint64_t distinct;  // lines that entered the stack, as the family counts
};

// The fully-associative report's step between cache sizes, in lines.
uint32_t fa_report_step();

// Writes the fully-associative miss-ratio report: the header lines (the
// distinct count under distinct_label), one line per multiple of the report
// step up to the largest cache or the distinct count, the "all bigger
// caches" line when every line seen fits, then ending.
void print_fa_report(FILE *fd, const fa_histogram &h,
                     const char *distinct_label, const char *ending);

// vantle_results for a fully-associative family of the given policy: one
// row per multiple of the report step up to MAX_LINES.
int fa_results(vantle_result *rows, int capacity, const fa_histogram &h,
               int policy);

// A site's counts (site_table.h) in the set-associative OPT family: the
// hits at list position j of row r at r * ways + j, then per row r the
// hits at the head of its list and of every later row's. sa_site_hits
// sets the hits of rows[0 .. count-1], in the order of the results.
uint32_t sa_site_width(int rows, uint32_t ways);
void sa_site_hits(const uint64_t *counts, int rows, uint32_t ways,
                  vantle_result *out, int count);

// A site's counts in the fully-associative families: its hits by report
// row, count k for the depths (k * step, (k + 1) * step]. fa_site_width
// also readies fa_site_hit's shape; call it after the report step is set.
uint32_t fa_site_width();
struct fa_site_shape {
  uint64_t deepest;  // the depths counted: rows x step
  uint32_t step;
  int shift;         // log2 step when a power of two, else -1
};
extern fa_site_shape fa_site;
// The count of a site's row that a hit at stack position depth (1 the
// top) adds to, or kNoSlot; no division for a step that is a power of two.
static inline uint32_t fa_site_slot(uint64_t depth) {
  if (depth > fa_site.deepest) return kNoSlot;
  return static_cast<uint32_t>(fa_site.shift >= 0
                                   ? (depth - 1) >> fa_site.shift
                                   : (depth - 1) / fa_site.step);
}
static inline void fa_site_hit(uint64_t *counts, uint64_t depth) {
  uint32_t slot = fa_site_slot(depth);
  if (slot != kNoSlot) counts[slot]++;
}
void fa_site_hits(const uint64_t *counts, vantle_result *out, int count);

#endif  // VANTLE_LIBVANTLE_REPORT_H_
