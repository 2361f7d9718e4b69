// Fully-associative LRU simulator: every fully-associative LRU cache of 1 to
// MAX_LINES lines of 2^L bytes, in one pass. The LRU stack is a time axis
// (lru_axis.h), which gives each reference's LRU depth: one plus the number
// of distinct lines referenced since the line's last reference. Hits are
// counted per depth in out_stack; a cache of k lines hits every reference
// of depth at most k.
//
// The stack grows until more than MAX_LINES lines have been inserted; from
// the next reference on, every new line evicts the least recent entry, so
// that it keeps MAX_LINES + 2 entries. The first entry evicted is a sentinel
// that init_widestack plants below every line: it holds no line, and only
// delays the first eviction of a line by one new line.
//
// State: the stack (its axis and hash table), the depth histogram, the
// reference and line counts.
// Reads L, MAX_LINES, MISS_RATIO_INTERVAL, SAVE_INTERVAL and P_INTERVAL.
#include "libvantle/widestack.h"

#include <stdlib.h>

#include <algorithm>

#include "libvantle/lru_axis.h"
#include "libvantle/periodic.h"
#include "libvantle/report.h"
#include "libvantle/site_table.h"

static const char kUnit[] = "widestack";

// Counts in 64 bits: no run wraps them.
static lru_axis axis;           // the stack; its line table: the lines in it
static depth_counts out_stack;  // count d: references at LRU depth d
static uint64_t tot_addrs;   // insertions into the hash table
static uint64_t t_entries;   // references processed
static int16_t size_exceeded;
static periodic_marks marks_due;  // progress lines and interim reports
static bool sentinel_in_stack;  // not yet evicted

uint64_t footprint_widestack(void) {
  return (static_cast<uint64_t>(MAX_LINES) + 1000) * sizeof(uint32_t);
}

void init_widestack(void) {
  periodic_init(&marks_due);
  depth_counts_init(&out_stack, static_cast<size_t>(MAX_LINES) + 1000, kUnit);
  lru_axis_init(&axis, kUnit, "init_widestack");
  t_entries = 0;
  tot_addrs = 0;
  sentinel_in_stack = true;
}

uint32_t hash_lookup_add(md_addr_t addr) {
  uint32_t position = static_cast<uint32_t>(axis.next_position);
  line_record *record = line_table_find(&axis.lines, addr);
  if (!record) {
    tot_addrs++;
    line_table_add(&axis.lines, addr, position);
    return 0;
  }
  uint32_t previous = static_cast<uint32_t>(record->a);
  record->a = position;
  return previous;
}

void hash_del(md_addr_t addr) {
  line_record *record = line_table_find(&axis.lines, addr);
  if (!record) {
    fprintf(stderr, "libvantle: addr not found in hash_table\n");
    return;
  }
  line_table_remove(&axis.lines, record);
}

// Drops the least recent entry of the stack: the sentinel while it is
// there, then the line of the lowest mark, from the axis and the hash table.
static void evict_lru() {
  if (sentinel_in_stack) {
    sentinel_in_stack = false;
    return;
  }
  hash_del(lru_axis_drop_oldest(&axis));
}

uint64_t test_time_axis_size(void) { return axis.size; }

__attribute__((noinline, cold)) static void progress_line() {
  fprintf(stderr, "libvantle: addresses processed %llu\n",
          static_cast<unsigned long long>(t_entries));
}

// What every reference does first: the limit's note, the interim report
// and the progress line when due, the count.
static inline void begin_reference() {
  if (tot_addrs > MAX_LINES && !size_exceeded) {
    size_exceeded = 1;
    fprintf(stderr, "libvantle: distinct entries limit exceeded\n");
    progress_line();
  }
  if (save_due(&marks_due, t_entries)) outpr_widestack(stderr);
  t_entries++;
  if (progress_due(&marks_due, t_entries)) progress_line();
}

// A reference of a site (kSites) also notes its depth's count in the
// site's row (fa_site_slot).
template <bool kSites>
static inline void reference(md_addr_t addr, uint32_t site) {
  begin_reference();
  md_addr_t line = addr >> L;
  uint32_t position = hash_lookup_add(line);
  uint32_t slot = kNoSlot;
  if (position) {
    uint32_t depth = lru_axis_take_mark(&axis, position);
    depth_counts_add(&out_stack, depth);
    slot = fa_site_slot(depth);
  } else if (size_exceeded) {  // a new line in a full stack
    evict_lru();
  }
  // Noted for later: the row of a random site is a cache miss.
  if (kSites) site_note(site, slot);
  lru_axis_mark_next(&axis, line);
}

void ptc(md_addr_t addr) { reference<false>(addr, 0); }

void ptc_at(md_addr_t addr, uint32_t site) { reference<true>(addr, site); }

// The note of a passed limit comes at the reference after the one that
// passed it: none passes quietly while it is due.
static uint64_t quiet_widestack() {
  if (tot_addrs > MAX_LINES && !size_exceeded) return 0;
  return quiet_references(&marks_due, t_entries, false);
}

static void top_hits_widestack(uint64_t n) {
  depth_counts_add_many(&out_stack, 1, n);
  t_entries += n;
}

void ptc_repeat(md_addr_t addr, uint64_t count) {
  feed_repeats(addr, count, ptc, quiet_widestack, top_hits_widestack);
}

void ptc_repeat_at(md_addr_t addr, uint32_t site, uint64_t count) {
  feed_repeats(
      addr, count, [site](md_addr_t a) { ptc_at(a, site); }, quiet_widestack,
      [site](uint64_t n) {
        top_hits_widestack(n);
        site_note_many(site, fa_site_slot(1), n);
      });
}

static fa_histogram histogram() { return {&out_stack, t_entries, tot_addrs}; }

void outpr_widestack(FILE *fd) {
  print_fa_report(fd, histogram(), "Number of distinct lines", "\n");
}

int results_widestack(vantle_result *rows, int capacity) {
  return fa_results(rows, capacity, histogram(), VANTLE_LRU);
}

// ---------------------------------------------------------------------------
// Write-backs (vantle_explain): every cache write-back and write-allocate,
// counted in one pass by the method of Thompson and Smith. The record of a
// line written since it entered the stack holds in field b the deepest
// depth it has been found at since its last write (0 for a clean line): a
// cache of k lines has evicted it since that write exactly when it has
// been deeper than k, and each such cache wrote it back once. So a write
// to a dirty line of depth D counts one write-back for the caches of fewer
// than D lines, and a dirty line that leaves the stack one for every
// cache. Depths past MAX_LINES count as MAX_LINES + 1: every cache. What a
// run has not yet counted is in the stack: a dirty line now at depth d has
// been written back by the caches of fewer than max(D, d) lines, and is
// dirty in the rest.

static depth_counts written_back;  // count D: by the caches of < D lines

static uint32_t deepest_counted() { return MAX_LINES + 1; }

uint64_t footprint_writebacks_widestack(void) {
  return (static_cast<uint64_t>(MAX_LINES) + 2) * sizeof(uint32_t);
}

void init_writebacks_widestack(void) {
  depth_counts_init(&written_back, static_cast<size_t>(MAX_LINES) + 2, kUnit);
}

// Drops the least recent entry of the stack, counting its write-back in
// every cache when it is dirty.
static void evict_lru_written_back() {
  if (sentinel_in_stack) {
    sentinel_in_stack = false;
    return;
  }
  md_addr_t line = lru_axis_drop_oldest(&axis);
  line_record *record = line_table_find(&axis.lines, line);
  if (record->b) depth_counts_add(&written_back, deepest_counted());
  line_table_remove(&axis.lines, record);
}

void ptc_store(md_addr_t addr, int store) {
  begin_reference();
  md_addr_t line = addr >> L;
  line_record *record = line_table_find(&axis.lines, line);
  if (record) {
    uint32_t depth = lru_axis_take_mark(&axis, static_cast<uint32_t>(record->a));
    record->a = static_cast<int64_t>(axis.next_position);
    depth_counts_add(&out_stack, depth);
    // Without a branch on the data: counts no cache has go to count 0.
    uint32_t deepest = static_cast<uint32_t>(record->b);
    uint32_t reached = std::min(depth, deepest_counted());
    deepest = deepest && deepest < reached ? reached : deepest;
    depth_counts_add(&written_back, store ? deepest : 0);
    record->b = store ? 1 : static_cast<int32_t>(deepest);
  } else {
    tot_addrs++;
    if (size_exceeded) evict_lru_written_back();
    line_table_add(&axis.lines, line, static_cast<int64_t>(axis.next_position))
        ->b = store ? 1 : 0;
  }
  lru_axis_mark_next(&axis, line);
}

// The deepest depth of every dirty line in the stack, now.
struct dirty_lines {
  uint32_t *deepest;
  size_t count;
};

static void note_dirty(md_addr_t line, uint64_t depth, void *context) {
  dirty_lines *d = static_cast<dirty_lines *>(context);
  uint32_t deepest = static_cast<uint32_t>(
      line_table_find(&axis.lines, line)->b);
  if (!deepest) return;
  uint64_t now = std::max<uint64_t>(deepest, depth);
  d->deepest[d->count++] = static_cast<uint32_t>(
      std::min<uint64_t>(now, deepest_counted()));
}

void writebacks_widestack(vantle_explained *rows, int count) {
  dirty_lines dirty = {static_cast<uint32_t *>(checked_calloc(
                           axis.lines.count + 1, sizeof(uint32_t), kUnit,
                           "writebacks_widestack", __LINE__)),
                       0};
  lru_axis_visit(&axis, note_dirty, &dirty);
  std::sort(dirty.deepest, dirty.deepest + dirty.count);
  uint64_t past = 0;  // write-backs of caches of fewer than D lines
  for (uint32_t d = 2; d <= deepest_counted(); d++)
    past += depth_count(&written_back, d);
  // Row k holds (k + 1) * step lines; the write-backs counted at depths up
  // to its size leave the sum as the rows grow.
  uint32_t step = fa_report_step();
  uint32_t counted_to = 1;
  size_t below = 0;  // dirty lines no deeper than the row's size
  for (int k = 0; k < count; k++) {
    uint32_t lines = static_cast<uint32_t>(k + 1) * step;
    for (; counted_to < lines; counted_to++)
      past -= depth_count(&written_back, counted_to + 1);
    while (below < dirty.count && dirty.deepest[below] <= lines) below++;
    rows[k].writebacks = past + (dirty.count - below);
    rows[k].dirty_at_end = below;
  }
  free(dirty.deepest);
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run crosses the
// edges of 32-bit counts.

void test_start_widestack_at(uint64_t count) {
  t_entries = count;
  depth_counts_add_many(&out_stack, 1, count);
  periodic_start(&marks_due, count);
}
