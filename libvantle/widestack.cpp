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

#include "libvantle/lru_axis.h"
#include "libvantle/periodic.h"
#include "libvantle/report.h"

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

void ptc(md_addr_t addr) {
  if (tot_addrs > MAX_LINES && !size_exceeded) {
    size_exceeded = 1;
    fprintf(stderr, "libvantle: distinct entries limit exceeded\n");
    progress_line();
  }
  if (save_due(&marks_due, t_entries)) outpr_widestack(stderr);
  t_entries++;
  if (progress_due(&marks_due, t_entries)) progress_line();

  md_addr_t line = addr >> L;
  uint32_t position = hash_lookup_add(line);
  if (position)
    depth_counts_add(&out_stack, lru_axis_take_mark(&axis, position));
  else if (size_exceeded)  // a new line in a full stack
    evict_lru();
  lru_axis_mark_next(&axis, line);
}

static fa_histogram histogram() { return {&out_stack, t_entries, tot_addrs}; }

void outpr_widestack(FILE *fd) {
  print_fa_report(fd, histogram(), "Number of distinct lines", "\n");
}

int results_widestack(vantle_result *rows, int capacity) {
  return fa_results(rows, capacity, histogram(), VANTLE_LRU);
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run crosses the
// edges of 32-bit counts.

void test_start_widestack_at(uint64_t count) {
  t_entries = count;
  depth_counts_add_many(&out_stack, 1, count);
  periodic_start(&marks_due, count);
}
