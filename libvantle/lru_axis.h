// An LRU stack of lines on a time axis, the structure of the
// fully-associative LRU family, kept in a record so that the explanation
// of misses can keep one stack per line size beside any family.
//
// A line's LRU depth is one plus the number of distinct lines referenced
// since its last reference. Each reference takes the next position of the
// axis, and a bit marks every position that is still some line's last
// reference, so the depth is one plus the marks after the line's position.
// A tree of counts over the words of that bitmap gives the count in one
// walk from the word to the root, the walk that also takes the old mark
// out. When the axis fills, the live marks are renumbered from its start,
// and it doubles while more than a quarter of it would be live: its size
// follows the lines in the stack. A line table maps each line to its
// position (field a); field b of a line's record is the owner's.
#ifndef VANTLE_LIBVANTLE_LRU_AXIS_H_
#define VANTLE_LIBVANTLE_LRU_AXIS_H_

#include <stdint.h>

#include "libvantle/libvantle.h"
#include "libvantle/line_table.h"

struct lru_axis {
  line_table lines;  // the lines in the stack; a: their position
  // Position 0 is never used, so that a record's 0 can mean "no position".
  uint64_t size;     // positions; a power of two, at least 64
  uint64_t words;    // size / 64
  uint64_t *marks;   // bit p: position p is a line's last reference
  md_addr_t *line_at;  // line_at[p]: the line whose mark is at p
  // A tree over the words of marks, in heap order: counts[words + w] is
  // the number of marks in word w, counts[n] = counts[2n] + counts[2n + 1].
  // The word that next_position lies in, the open word, is left out
  // (counted as 0) until it fills, so that marking a position costs no walk.
  uint32_t *counts;
  uint64_t next_position;  // position of the next reference
  uint64_t lowest_word;    // no mark lies in a word below it
  const char *unit;        // owner, named in out-of-memory messages
};

// Readies an empty stack; ends through _fatal, naming unit and func, when
// memory is out.
void lru_axis_init(lru_axis *x, const char *unit, const char *func);
// Renumbers the live marks from position 1 on an axis sized for them (the
// axis is full). Called by lru_axis_mark_next.
void lru_axis_compact(lru_axis *x);
// Calls visit(line, depth, context) for every line of the stack, most
// recent first (depth 1, 2, ...).
void lru_axis_visit(const lru_axis *x,
                    void (*visit)(md_addr_t line, uint64_t depth, void *),
                    void *context);

// The number of bits set in v. Spelt out because the library is built for
// processors without a population-count instruction, where std::popcount
// is a call; the compiler turns this into the instruction where there is
// one.
static inline uint32_t lru_axis_count_bits(uint64_t v) {
  v = v - ((v >> 1) & 0x5555555555555555u);
  v = (v & 0x3333333333333333u) + ((v >> 2) & 0x3333333333333333u);
  v = (v + (v >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<uint32_t>((v * 0x0101010101010101u) >> 56);
}

// Adds delta to the count of word w and of every tree node above it.
static inline void lru_axis_add_to_counts(lru_axis *x, uint64_t w,
                                          uint32_t delta) {
  for (uint64_t n = x->words + w; n; n >>= 1) x->counts[n] += delta;
}

// Takes the mark off position and returns the LRU depth of its line: one
// plus the marks after it.
static inline uint32_t lru_axis_take_mark(lru_axis *x, uint32_t position) {
  uint64_t w = position >> 6;
  uint64_t bit = uint64_t{1} << (position & 63);
  x->marks[w] &= ~bit;
  // Marks after the position in its own word, then in the open word, then
  // in the tree nodes right of the path up from its word.
  uint32_t after = lru_axis_count_bits(x->marks[w] & -bit);
  uint64_t open = x->next_position >> 6;
  if (w == open) return after + 1;
  after += lru_axis_count_bits(x->marks[open]);
  for (uint64_t n = x->words + w; n > 1; n >>= 1) {
    x->counts[n]--;
    // A left child (even n) has later positions in its sibling.
    after += x->counts[n | 1] & (static_cast<uint32_t>(n & 1) - 1);
  }
  x->counts[1]--;
  return after + 1;
}

// Marks the next position as line's last reference.
static inline void lru_axis_mark_next(lru_axis *x, md_addr_t line) {
  uint64_t position = x->next_position;
  x->marks[position >> 6] |= uint64_t{1} << (position & 63);
  x->line_at[position] = line;
  x->next_position = position + 1;
  if ((x->next_position & 63) == 0) {  // the open word is full
    lru_axis_add_to_counts(x, position >> 6,
                           lru_axis_count_bits(x->marks[position >> 6]));
    if (x->next_position == x->size) lru_axis_compact(x);
  }
}

// Takes the mark of the least recent line off the axis and returns the
// line; its record stays in the table for the caller to read and remove.
// The stack must not be empty.
static inline md_addr_t lru_axis_drop_oldest(lru_axis *x) {
  while (x->marks[x->lowest_word] == 0) x->lowest_word++;
  uint64_t word = x->marks[x->lowest_word];
  x->marks[x->lowest_word] = word & (word - 1);
  if (x->lowest_word != x->next_position >> 6)
    lru_axis_add_to_counts(x, x->lowest_word, ~0u);
  return x->line_at[x->lowest_word * 64 + __builtin_ctzll(word)];
}

#endif  // VANTLE_LIBVANTLE_LRU_AXIS_H_
