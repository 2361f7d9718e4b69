// Direct-mapped caches of one size, 2^C bytes, for every line size 2^A to
// 2^B bytes, in one pass. Each set of the largest-line cache (a "row") keeps
// one entry per smallest-size line, ordered as a recency trie over the
// sub-block bits, so that one walk from position 0 finds the last earlier
// reference to the reference's set under every line size at once. A hit is
// counted once per interval of line sizes in the triangular hits_arr; the
// report sums the intervals per line size.
//
// State: the derived sizes, tag_arr/set_arr (the rows), hits_arr, lm_arr,
// hits, the reference count and the periodic-output marks. linesweep reads
// only a mirror copy of the sizes and table pointers, written once at the
// end of init_linesweep. Reads A, B, C, P_INTERVAL and SAVE_INTERVAL.
#include "libvantle/linesweep.h"

#include <stdint.h>

static const uint32_t kNeverUsed = 0xFFFFFFFFu;  // tag of an untouched entry

static uint32_t CACHE_SZ, MIN_LINE_SZ, MAX_LINE_SZ, NO_LINES, MIN_SET_SZ;
static uint32_t TAG_MASK, TAG_SET1_MASK;
static uint32_t **tag_arr, **set_arr, **hits_arr;
static uint32_t *lm_arr;
static uint32_t *hits;

// The copy that the per-reference path reads.
static uint32_t RCACHE_SZ, RMIN_LINE_SZ, RMAX_LINE_SZ, RNO_LINES;
static uint32_t RTAG_MASK, RTAG_SET1_MASK;
static uint32_t **rtag_arr, **rset_arr, **rhits_arr;

// The front end caps a run at 2^31 - 1 references, so 32-bit counts do not
// wrap.
static int32_t t_entries;
static int32_t next_save_time;

static void set_derived_sizes() {
  MIN_LINE_SZ = static_cast<uint32_t>(A);
  MAX_LINE_SZ = static_cast<uint32_t>(B);
  CACHE_SZ = static_cast<uint32_t>(C);
  NO_LINES = MAX_LINE_SZ - MIN_LINE_SZ + 1;
  MIN_SET_SZ = CACHE_SZ - MAX_LINE_SZ;
  TAG_MASK = (1u << CACHE_SZ) - 1;
  TAG_SET1_MASK = (1u << MAX_LINE_SZ) - 1;
}

// Every sub-block once, untouched: position 0 has sub-block 0; at level d
// the entry of prefix k has the prefix, a one bit, then zeros.
static void fill_row(uint32_t *tags, uint32_t *subs) {
  subs[0] = 0;
  tags[0] = kNeverUsed;
  for (uint32_t d = 1; d < NO_LINES; d++) {
    uint32_t st = 1u << (d - 1);
    uint32_t t = 1u << (NO_LINES - d);
    subs[st] = 1u << (NO_LINES - d - 1);
    tags[st] = kNeverUsed;
    for (uint32_t k = 1; k < st; k++) {
      subs[st + k] = subs[st + k - 1] + t;
      tags[st + k] = kNeverUsed;
    }
  }
}

// lm_arr[x]: common leading prefix length of two (N-1)-bit sub-blocks whose
// exclusive-or is x.
static void fill_prefix_lengths() {
  uint32_t entries = 1u << (NO_LINES - 1);
  uint32_t v = NO_LINES - 1;
  uint32_t b = 1;
  for (uint32_t x = 0; x < entries; x++) {
    if (x >= b) {
      b <<= 1;
      v--;
    }
    lm_arr[x] = v;
  }
}

static void copy_mirror() {
  RCACHE_SZ = CACHE_SZ;
  RMIN_LINE_SZ = MIN_LINE_SZ;
  RMAX_LINE_SZ = MAX_LINE_SZ;
  RNO_LINES = NO_LINES;
  RTAG_MASK = TAG_MASK;
  RTAG_SET1_MASK = TAG_SET1_MASK;
  rtag_arr = tag_arr;
  rset_arr = set_arr;
  rhits_arr = hits_arr;
}

void init_linesweep(void) {
  set_derived_sizes();
  int rows = 1 << MIN_SET_SZ;
  int cols = 1 << (NO_LINES - 1);
  int n = static_cast<int>(NO_LINES);
  tag_arr = idim2(rows, cols);
  set_arr = idim2(rows, cols);
  hits_arr = idim2(n, n);
  lm_arr = static_cast<uint32_t *>(checked_calloc(
      static_cast<size_t>(cols), sizeof(uint32_t), "linesweep",
      "init_linesweep", __LINE__));
  hits = static_cast<uint32_t *>(checked_calloc(
      MAX_LINE_SZ + 1, sizeof(uint32_t), "linesweep", "init_linesweep",
      __LINE__));
  for (int r = 0; r < rows; r++) fill_row(tag_arr[r], set_arr[r]);
  fill_prefix_lengths();
  copy_mirror();
  next_save_time = SAVE_INTERVAL;
}

// Walks the row below position 0 after the reference (orig_tag, orig_set2)
// has displaced the carried entry (tag, set2), whose common prefix with the
// reference is depth - 1 bits long. Each displaced entry moves one place down
// its chain; the walk ends at the reference's own sub-block, whose old entry
// is dropped.
static void walk_row(uint32_t *tags, uint32_t *subs, uint32_t orig_tag,
                     uint32_t orig_set2, uint32_t tag, uint32_t set2,
                     uint32_t depth) {
  const uint32_t n = RNO_LINES;
  uint32_t pos = (set2 >> (n - depth)) + (1u << (depth - 1));
  while (depth < n) {
    uint32_t tg = tags[pos];
    uint32_t st = subs[pos];
    tags[pos] = tag;
    subs[pos] = set2;
    if (st == orig_set2) {
      rhits_arr[depth][n - 1] += tg == orig_tag;
      return;
    }
    uint32_t set2_match = lm_arr[st ^ orig_set2];
    // Hits along the walk are rare and random: add the comparison rather
    // than branch on it.
    rhits_arr[depth][set2_match] += tg == orig_tag;
    tag = tg;
    set2 = st;
    depth = set2_match + 1;
    pos = (st >> (n - depth)) + (1u << (depth - 1));
  }
}

void linesweep(md_addr_t addr) {
  t_entries++;
  if (P_INTERVAL > 0 && t_entries % P_INTERVAL == 0)
    fprintf(stderr, "libvantle: addresses processed  %d\n", t_entries);

  uint32_t orig_tag = addr >> RCACHE_SZ;
  uint32_t set1 = (addr & RTAG_MASK) >> RMAX_LINE_SZ;
  uint32_t orig_set2 = (addr & RTAG_SET1_MASK) >> RMIN_LINE_SZ;
  uint32_t *tags = rtag_arr[set1];
  uint32_t *subs = rset_arr[set1];

  if (subs[0] == orig_set2) {
    // Same set as the row's latest reference under every line size.
    if (tags[0] == orig_tag)
      rhits_arr[0][RNO_LINES - 1]++;
    else
      tags[0] = orig_tag;
  } else {
    uint32_t tag = tags[0];
    uint32_t set2 = subs[0];
    uint32_t set2_match = lm_arr[set2 ^ orig_set2];
    rhits_arr[0][set2_match] += tag == orig_tag;
    tags[0] = orig_tag;
    subs[0] = orig_set2;
    walk_row(tags, subs, orig_tag, orig_set2, tag, set2, set2_match + 1);
  }

  if (t_entries > next_save_time) {
    outpr_linesweep(stderr);
    next_save_time += SAVE_INTERVAL;
  }
}

// Hits of line-size index i (line 2^(MIN_LINE_SZ + i)): every recorded
// interval of prefix lengths [d, m] that contains N-1-i.
static uint32_t hits_of_line_size(uint32_t i) {
  uint32_t prefix = NO_LINES - 1 - i;
  uint32_t sum = 0;
  for (uint32_t d = 0; d <= prefix; d++)
    for (uint32_t m = prefix; m < NO_LINES; m++) sum += hits_arr[d][m];
  return sum;
}

void outpr_linesweep(FILE *fd) {
  fprintf(fd, "Direct Mapped Caches\n");
  fprintf(fd, "Addresses processed %d\n", t_entries);
  fprintf(fd, "Cache size: %d bytes\n", 1 << CACHE_SZ);
  fprintf(fd, "Line size (bytes)\tMiss ratio\n");
  for (uint32_t i = 0; i < NO_LINES; i++) {
    uint32_t &h = hits[MIN_LINE_SZ + i];
    h = hits_of_line_size(i);
    double ratio = 1.0 - static_cast<double>(h) /
                             static_cast<double>(t_entries);
    fprintf(fd, "%d\t\t\t%f\n", 1 << (MIN_LINE_SZ + i), ratio);
  }
  fprintf(fd, "\n");
}

int results_linesweep(vantle_result *rows, int capacity) {
  int count = static_cast<int>(NO_LINES);
  for (int i = 0; i < count && i < capacity; i++) {
    uint32_t line_exp = MIN_LINE_SZ + static_cast<uint32_t>(i);
    rows[i] = result_row(4, 0, 1u << line_exp, 1u << (CACHE_SZ - line_exp),
                         1, uint64_t{1} << CACHE_SZ,
                         static_cast<uint64_t>(t_entries),
                         hits_of_line_size(static_cast<uint32_t>(i)));
  }
  return count;
}

int linesweep_row_copy(uint32_t row, uint32_t *tags, uint32_t *subs) {
  if (!tag_arr || row >= (1u << MIN_SET_SZ)) return 0;
  uint32_t cols = 1u << (NO_LINES - 1);
  for (uint32_t pos = 0; pos < cols; pos++) {
    tags[pos] = tag_arr[row][pos];
    subs[pos] = set_arr[row][pos];
  }
  return 1;
}
