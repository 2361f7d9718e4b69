// An LRU stack of lines on a time axis (lru_axis.h): its allocation, the
// renumbering when the axis fills, and the walk of its lines by depth. The
// per-reference steps are inline in the header. Owns nothing beyond the
// records it is handed.
#include "libvantle/lru_axis.h"

#include <stdlib.h>
#include <string.h>

#include <bit>

#include "libvantle/util.h"

// Positions of a new axis; a power of two, at least one word.
constexpr uint64_t kFirstAxisSize = 1024;
// The axis can grow to 2^32 positions, the most a 32-bit position names.
constexpr uint64_t kLargestAxisSize = uint64_t{1} << 32;

// Allocates an empty axis of size positions.
static void allocate(lru_axis *x, uint64_t size, const char *func) {
  x->size = size;
  x->words = size / 64;
  x->marks = static_cast<uint64_t *>(
      checked_calloc(x->words, sizeof(uint64_t), x->unit, func, __LINE__));
  x->counts = static_cast<uint32_t *>(checked_calloc(
      2 * x->words, sizeof(uint32_t), x->unit, func, __LINE__));
  x->line_at = static_cast<md_addr_t *>(
      checked_calloc(size, sizeof(md_addr_t), x->unit, func, __LINE__));
}

void lru_axis_init(lru_axis *x, const char *unit, const char *func) {
  *x = {};
  x->unit = unit;
  line_table_init(&x->lines, unit);
  allocate(x, kFirstAxisSize, func);
  x->next_position = 1;
}

// The number of marks on the axis.
static uint64_t live_marks(const lru_axis *x) {
  uint64_t live = 0;
  for (uint64_t w = 0; w < x->words; w++)
    live += lru_axis_count_bits(x->marks[w]);
  return live;
}

void lru_axis_compact(lru_axis *x) {
  uint64_t live = live_marks(x);
  uint64_t size = x->size;
  while (size < kLargestAxisSize && 4 * (live + 1) > size) size *= 2;
  uint64_t *old_marks = x->marks;
  md_addr_t *old_line_at = x->line_at;
  uint64_t old_words = x->words;
  if (size != x->size) {
    free(x->counts);
    allocate(x, size, "compact");
  }
  // Positions only move down, so in place the copy never overwrites a line
  // it has yet to read.
  uint64_t position = 1;
  for (uint64_t w = 0; w < old_words; w++) {
    for (uint64_t word = old_marks[w]; word; word &= word - 1) {
      md_addr_t line = old_line_at[w * 64 + std::countr_zero(word)];
      x->line_at[position] = line;
      line_table_find(&x->lines, line)->a = static_cast<int64_t>(position);
      position++;
    }
  }
  if (old_marks != x->marks) {
    free(old_marks);
    free(old_line_at);
  }
  x->next_position = position;
  x->lowest_word = 0;
  // Marks at 1 .. next_position - 1; the tree counts every word below the
  // open one.
  memset(x->marks, 0, x->words * sizeof(uint64_t));
  memset(x->counts, 0, 2 * x->words * sizeof(uint32_t));
  for (uint64_t p = 1; p < x->next_position; p++)
    x->marks[p >> 6] |= uint64_t{1} << (p & 63);
  uint64_t open = x->next_position >> 6;
  for (uint64_t w = 0; w < open; w++)
    x->counts[x->words + w] = lru_axis_count_bits(x->marks[w]);
  for (uint64_t n = x->words - 1; n; n--)
    x->counts[n] = x->counts[2 * n] + x->counts[2 * n + 1];
}

void lru_axis_visit(const lru_axis *x,
                    void (*visit)(md_addr_t line, uint64_t depth, void *),
                    void *context) {
  uint64_t depth = 0;
  for (uint64_t w = x->next_position >> 6; w + 1 > x->lowest_word; w--) {
    for (uint64_t word = x->marks[w]; word;) {
      int bit = 63 - std::countl_zero(word);
      word &= ~(uint64_t{1} << bit);
      visit(x->line_at[w * 64 + static_cast<uint64_t>(bit)], ++depth,
            context);
    }
    if (w == 0) break;
  }
}
