// Fully-associative LRU simulator: every fully-associative LRU cache of 1 to
// MAX_LINES lines of 2^L bytes, in one pass. A line's LRU depth is one plus
// the number of distinct lines referenced since its last reference. Each
// reference takes the next position of a time axis, and a bit marks every
// position that is still some line's last reference, so the depth is one
// plus the marks after the line's position. A tree of counts over the words
// of that bitmap gives the count in one walk from the word to the root, the
// walk that also takes the old mark out. When the axis fills, the live marks
// are renumbered from its start, and it doubles while more than a quarter of
// it would be live: its size follows the lines in the stack. A hash table
// maps each line to its position. Hits are counted per depth in out_stack; a
// cache of k lines hits every reference of depth at most k.
//
// The stack grows until more than MAX_LINES lines have been inserted; from
// the next reference on, every new line evicts the least recent entry, so
// that it keeps MAX_LINES + 2 entries. The first entry evicted is a sentinel
// that init_widestack plants below every line: it holds no line, and only
// delays the first eviction of a line by one new line.
//
// State: the hash table, the axis (bitmap, counts, line of each position),
// the depth histogram, the reference and line counts.
// Reads L, MAX_LINES, MISS_RATIO_INTERVAL, SAVE_INTERVAL and P_INTERVAL.
#include "libvantle/widestack.h"

#include <stdlib.h>
#include <string.h>

#include <bit>

#include "libvantle/line_table.h"
#include "libvantle/periodic.h"
#include "libvantle/report.h"

static const char kUnit[] = "widestack";

// Positions of a new axis; a power of two, at least one word.
constexpr uint64_t kFirstAxisSize = 1024;
// The axis can grow to 2^32 positions, the most a 32-bit position names.
constexpr uint64_t kLargestAxisSize = uint64_t{1} << 32;

// Counts in 64 bits: no run wraps them.
static line_table lines;    // the lines in the stack; a: their position
static depth_counts out_stack;  // count d: references at LRU depth d
static uint64_t tot_addrs;   // insertions into the hash table
static uint64_t t_entries;   // references processed
static int16_t size_exceeded;
static periodic_marks marks_due;  // progress lines and interim reports
static bool sentinel_in_stack;  // not yet evicted

// The time axis. Position 0 is never used, so that a hash record's 0 can
// mean "no position yet".
static uint64_t axis_size;    // positions; a power of two, at least 64
static uint64_t axis_words;   // axis_size / 64
static uint64_t *marks;       // bit p: position p is a line's last reference
static md_addr_t *line_at;    // line_at[p]: the line whose mark is at p
// A tree over the words of marks, in heap order: counts[axis_words + w] is
// the number of marks in word w, counts[n] = counts[2n] + counts[2n + 1].
// The word that next_position lies in, the open word, is left out (counted
// as 0) until it fills, so that marking a position costs no walk.
static uint32_t *counts;
static uint64_t next_position;  // position of the next reference
static uint64_t lowest_word;    // no mark lies in a word below it

// Allocates an empty axis of size positions.
static void allocate_axis(uint64_t size, const char *func) {
  axis_size = size;
  axis_words = size / 64;
  marks = static_cast<uint64_t *>(
      checked_calloc(axis_words, sizeof(uint64_t), kUnit, func, __LINE__));
  counts = static_cast<uint32_t *>(
      checked_calloc(2 * axis_words, sizeof(uint32_t), kUnit, func, __LINE__));
  line_at = static_cast<md_addr_t *>(
      checked_calloc(size, sizeof(md_addr_t), kUnit, func, __LINE__));
}

uint64_t footprint_widestack(void) {
  return (static_cast<uint64_t>(MAX_LINES) + 1000) * sizeof(uint32_t);
}

void init_widestack(void) {
  periodic_init(&marks_due);
  depth_counts_init(&out_stack, static_cast<size_t>(MAX_LINES) + 1000, kUnit);
  line_table_init(&lines, kUnit);
  allocate_axis(kFirstAxisSize, "init_widestack");
  next_position = 1;
  lowest_word = 0;
  t_entries = 0;
  tot_addrs = 0;
  sentinel_in_stack = true;
}

uint32_t hash_lookup_add(md_addr_t addr) {
  uint32_t position = static_cast<uint32_t>(next_position);
  line_record *record = line_table_find(&lines, addr);
  if (!record) {
    tot_addrs++;
    line_table_add(&lines, addr, position);
    return 0;
  }
  uint32_t previous = static_cast<uint32_t>(record->a);
  record->a = position;
  return previous;
}

void hash_del(md_addr_t addr) {
  line_record *record = line_table_find(&lines, addr);
  if (!record) {
    fprintf(stderr, "libvantle: addr not found in hash_table\n");
    return;
  }
  line_table_remove(&lines, record);
}

static uint64_t open_word() { return next_position >> 6; }

// The number of bits set in x. Spelt out because the library is built for
// processors without a population-count instruction, where std::popcount is
// a call; the compiler turns this into the instruction where there is one.
static uint32_t count_bits(uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<uint32_t>((x * 0x0101010101010101u) >> 56);
}

// Adds delta to the count of word w and of every tree node above it.
static void add_to_counts(uint64_t w, uint32_t delta) {
  for (uint64_t n = axis_words + w; n; n >>= 1) counts[n] += delta;
}

// Takes the mark off position and returns the LRU depth of its line: one
// plus the marks after it.
static uint32_t take_mark(uint32_t position) {
  uint64_t w = position >> 6;
  uint64_t bit = uint64_t{1} << (position & 63);
  marks[w] &= ~bit;
  // Marks after the position in its own word, then in the open word, then
  // in the tree nodes right of the path up from its word.
  uint32_t after = count_bits(marks[w] & -bit);
  uint64_t open = open_word();
  if (w == open) return after + 1;
  after += count_bits(marks[open]);
  for (uint64_t n = axis_words + w; n > 1; n >>= 1) {
    counts[n]--;
    // A left child (even n) has later positions in its sibling.
    after += counts[n | 1] & (static_cast<uint32_t>(n & 1) - 1);
  }
  counts[1]--;
  return after + 1;
}

// The number of marks on the axis.
static uint64_t live_marks() {
  uint64_t live = 0;
  for (uint64_t w = 0; w < axis_words; w++) live += count_bits(marks[w]);
  return live;
}

// Moves the live marks to positions 1, 2, ... in order, on an axis that
// doubles until at most a quarter of it is live, and gives every line its
// new position in the hash table.
static void compact() {
  uint64_t live = live_marks();
  uint64_t size = axis_size;
  while (size < kLargestAxisSize && 4 * (live + 1) > size) size *= 2;
  uint64_t *old_marks = marks;
  md_addr_t *old_line_at = line_at;
  uint64_t old_words = axis_words;
  if (size != axis_size) {
    free(counts);
    allocate_axis(size, "compact");
  }
  // Positions only move down, so in place the copy never overwrites a line
  // it has yet to read.
  uint64_t position = 1;
  for (uint64_t w = 0; w < old_words; w++) {
    for (uint64_t word = old_marks[w]; word; word &= word - 1) {
      md_addr_t line = old_line_at[w * 64 + std::countr_zero(word)];
      line_at[position] = line;
      line_table_find(&lines, line)->a = static_cast<int64_t>(position);
      position++;
    }
  }
  if (old_marks != marks) {
    free(old_marks);
    free(old_line_at);
  }
  next_position = position;
  lowest_word = 0;
  // Marks at 1 .. next_position - 1; the tree counts every word below the
  // open one.
  memset(marks, 0, axis_words * sizeof(uint64_t));
  memset(counts, 0, 2 * axis_words * sizeof(uint32_t));
  for (uint64_t p = 1; p < next_position; p++)
    marks[p >> 6] |= uint64_t{1} << (p & 63);
  for (uint64_t w = 0; w < open_word(); w++)
    counts[axis_words + w] = count_bits(marks[w]);
  for (uint64_t n = axis_words - 1; n; n--)
    counts[n] = counts[2 * n] + counts[2 * n + 1];
}

// Marks the next position as line's last reference.
static void mark_next(md_addr_t line) {
  uint64_t position = next_position;
  marks[position >> 6] |= uint64_t{1} << (position & 63);
  line_at[position] = line;
  next_position = position + 1;
  if ((next_position & 63) == 0) {  // the open word is full
    add_to_counts(position >> 6, count_bits(marks[position >> 6]));
    if (next_position == axis_size) compact();
  }
}

// Drops the least recent entry of the stack: the sentinel while it is
// there, then the line of the lowest mark, from the axis and the hash table.
static void evict_lru() {
  if (sentinel_in_stack) {
    sentinel_in_stack = false;
    return;
  }
  while (marks[lowest_word] == 0) lowest_word++;
  uint64_t word = marks[lowest_word];
  marks[lowest_word] = word & (word - 1);
  if (lowest_word != open_word()) add_to_counts(lowest_word, ~0u);
  hash_del(line_at[lowest_word * 64 + std::countr_zero(word)]);
}

uint64_t test_time_axis_size(void) { return axis_size; }

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
    depth_counts_add(&out_stack, take_mark(position));
  else if (size_exceeded)  // a new line in a full stack
    evict_lru();
  mark_next(line);
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
