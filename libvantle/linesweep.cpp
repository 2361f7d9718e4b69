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
// The unit also keeps the time of the last reference to each smallest line
// of the cache. It is never read per reference: from it and the tags,
// linesweep_row_copy rebuilds the recency trie of the original design (a
// row per set of the largest line, one entry per smallest line, in trie
// order), which tests read.
//
// State: the derived sizes, the tag table, the times, the hits per line size
// (hits, filled by the report), the reference count and the marks of the
// periodic output. Reads A, B, C, P_INTERVAL and SAVE_INTERVAL.
#include "libvantle/linesweep.h"

#include <stdint.h>

#include "libvantle/periodic.h"
#include "libvantle/report.h"

static uint32_t CACHE_SZ, MIN_LINE_SZ, MAX_LINE_SZ, NO_LINES, MIN_SET_SZ;
static uint32_t TAG_MASK, TAG_SET1_MASK;
static uint32_t *hits;  // by line-size exponent, written by the report
// The tables as idim2 made them (the per-reference path reads their bodies
// through s): the tags in one or two rows; the times, a row per set of the
// largest line.
static uint32_t **tag_rows, **time_rows;

// What the per-reference path reads, together.
static struct {
  uint32_t cache_sz;     // C
  uint32_t min_line_sz;  // A
  uint32_t no_lines;     // N = B - A + 1
  uint32_t index_bit;    // 2^C: the heap's top bit before the shift by A
  uint32_t tag_mask;     // 2^C - 1
  uint32_t *tags;        // complemented tags, 2^(C-A+1) entries
  uint32_t *times;       // last reference to each smallest line; 0: none
  uint32_t *line_hits;   // hits of line-size index i
  int32_t t_entries;
  periodic_marks marks_due;  // progress lines and interim reports
} s;

static void set_derived_sizes() {
  MIN_LINE_SZ = static_cast<uint32_t>(A);
  MAX_LINE_SZ = static_cast<uint32_t>(B);
  CACHE_SZ = static_cast<uint32_t>(C);
  NO_LINES = MAX_LINE_SZ - MIN_LINE_SZ + 1;
  MIN_SET_SZ = CACHE_SZ - MAX_LINE_SZ;
  TAG_MASK = (1u << CACHE_SZ) - 1;
  TAG_SET1_MASK = (1u << MAX_LINE_SZ) - 1;
}

uint64_t footprint_linesweep(void) {
  int heap_bits = C - A + 1;
  int high_bits = heap_bits > 30 ? heap_bits - 30 : 0;
  return idim2_bytes(1 << high_bits, 1 << (heap_bits - high_bits)) +
         idim2_bytes(1 << (C - B), 1 << (B - A)) +
         static_cast<uint64_t>(B - A + 1 + B + 1) * sizeof(uint32_t);
}

void init_linesweep(void) {
  set_derived_sizes();
  // The tables come from idim2 (zero-filled; exhaustion ends through
  // _fatal): the tags, 2^(C-A+1) entries, in rows of at most 2^30; the
  // times, 2^(C-A) entries, a row per set of the largest line.
  int heap_bits = static_cast<int>(CACHE_SZ - MIN_LINE_SZ) + 1;
  int high_bits = heap_bits > 30 ? heap_bits - 30 : 0;
  tag_rows = idim2(1 << high_bits, 1 << (heap_bits - high_bits));
  time_rows = idim2(1 << MIN_SET_SZ, 1 << (NO_LINES - 1));
  s.tags = tag_rows[0];
  s.times = time_rows[0];
  s.line_hits = static_cast<uint32_t *>(checked_calloc(
      NO_LINES, sizeof(uint32_t), "linesweep", "init_linesweep", __LINE__));
  hits = static_cast<uint32_t *>(checked_calloc(
      MAX_LINE_SZ + 1, sizeof(uint32_t), "linesweep", "init_linesweep",
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
  fprintf(stderr, "libvantle: addresses processed  %d\n", s.t_entries);
}

__attribute__((noinline, cold)) static void interim_report() {
  outpr_linesweep(stderr);
}

void linesweep(md_addr_t addr) {
  int32_t t = ++s.t_entries;
  if (progress_due(&s.marks_due, static_cast<uint64_t>(t))) progress_line();

  uint32_t key = ~(addr >> s.cache_sz);
  uint32_t x = ((addr & s.tag_mask) | s.index_bit) >> s.min_line_sz;
  uint32_t *tags = s.tags;
  uint32_t *line_hits = s.line_hits;
  uint32_t n = s.no_lines;
  s.times[x - (s.index_bit >> s.min_line_sz)] = static_cast<uint32_t>(t);
  uint32_t i = 0;
  for (; i + 1 < n; i += 2) {
    uint32_t *e0 = tags + (x >> i), *e1 = tags + (x >> (i + 1));
    line_hits[i] += *e0 == key;
    *e0 = key;
    line_hits[i + 1] += *e1 == key;
    *e1 = key;
  }
  if (i < n) {
    uint32_t *e = tags + (x >> i);
    line_hits[i] += *e == key;
    *e = key;
  }

  if (save_due(&s.marks_due, static_cast<uint64_t>(t))) interim_report();
}

void outpr_linesweep(FILE *fd) {
  fprintf(fd, "Direct Mapped Caches\n");
  fprintf(fd, "Addresses processed %d\n", s.t_entries);
  fprintf(fd, "Cache size: %d bytes\n", 1 << CACHE_SZ);
  fprintf(fd, "Line size (bytes)\tMiss ratio\n");
  for (uint32_t i = 0; i < NO_LINES; i++) {
    uint32_t &h = hits[MIN_LINE_SZ + i];
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
                         static_cast<uint64_t>(s.t_entries), s.line_hits[i]);
  }
  return count;
}

// The trie of one row, rebuilt from the last reference to each of its
// sub-blocks (smallest lines). Sub-blocks never referenced rank below every
// referenced one, among themselves in the order of the initial row: by
// their bits written backwards, 0 the most recent. Position 0 holds the
// most recent sub-block; at level d (positions 2^(d-1) to 2^d - 1) the
// entry of the prefix p of d-1 bits holds, of the sub-blocks that begin
// with p, the most recent of those whose d-th bit differs from that of the
// most recent one.
int linesweep_row_copy(uint32_t row, uint32_t *tags, uint32_t *subs) {
  if (!tag_rows || row >= (1u << MIN_SET_SZ)) return 0;
  uint32_t bits = NO_LINES - 1;
  uint32_t cols = 1u << bits;
  uint32_t first = row << bits;  // the row's first smallest-line set
  uint32_t smallest = 1u << (CACHE_SZ - MIN_LINE_SZ);  // their heap entries
  auto rank = [&](uint32_t sub) -> uint64_t {
    uint32_t time = time_rows[row][sub];
    if (time) return uint64_t{time} + cols;
    uint32_t backwards = 0;
    for (uint32_t b = 0; b < bits; b++)
      backwards |= ((sub >> b) & 1u) << (bits - 1 - b);
    return cols - 1 - backwards;
  };
  // The most recent sub-block among those that begin with the prefix p of
  // len bits.
  auto latest = [&](uint32_t p, uint32_t len) {
    uint32_t lo = p << (bits - len), n = 1u << (bits - len), best = lo;
    for (uint32_t sub = lo + 1; sub < lo + n; sub++)
      if (rank(sub) > rank(best)) best = sub;
    return best;
  };
  auto put = [&](uint32_t pos, uint32_t sub) {
    subs[pos] = sub;
    tags[pos] = ~s.tags[smallest + first + sub];
  };
  put(0, latest(0, 0));
  for (uint32_t d = 1; d <= bits; d++) {
    for (uint32_t p = 0; p < (1u << (d - 1)); p++) {
      uint32_t r = latest(p, d - 1);
      uint32_t other = (p << 1) | (((r >> (bits - d)) & 1u) ^ 1u);
      put((1u << (d - 1)) + p, latest(other, d));
    }
  }
  return 1;
}
