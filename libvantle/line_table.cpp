// The line table: records keyed by a 32-bit line address in one array of
// slots, found by linear probing from the slot that a multiply-shift hash
// of the address names. Owns nothing but the tables its callers hand in;
// reads no configuration variable.
#include "libvantle/line_table.h"

#include <stdlib.h>

#include "libvantle/util.h"

enum { kMinTableBits = 10 };

// Fibonacci hashing: the top bits of addr times 2^32 / golden ratio spread
// runs of consecutive lines over the whole table (line_table_prefetch in the
// header hashes alike).
static uint32_t home_slot(const line_table *t, md_addr_t addr) {
  return static_cast<uint32_t>(addr * 2654435769u) >> t->shift;
}

static void allocate_slots(line_table *t, int bits) {
  t->slots = static_cast<line_record *>(checked_calloc(
      size_t{1} << bits, sizeof(line_record), t->unit, "line_table_add",
      __LINE__));
  t->mask = (1u << bits) - 1;
  t->shift = 32 - bits;
  t->count = 0;
}

void line_table_init(line_table *t, const char *unit) {
  t->unit = unit;
  allocate_slots(t, kMinTableBits);
}

line_record *line_table_find(const line_table *t, md_addr_t addr) {
  for (uint32_t i = home_slot(t, addr);; i = (i + 1) & t->mask) {
    line_record *r = &t->slots[i];
    if (!r->used) return nullptr;
    if (r->addr == addr) return r;
  }
}

// Places a copy of record at the end of its probe run.
static line_record *place(line_table *t, const line_record &record) {
  uint32_t i = home_slot(t, record.addr);
  while (t->slots[i].used) i = (i + 1) & t->mask;
  t->slots[i] = record;
  t->count++;
  return &t->slots[i];
}

// Doubles the table. Reinsertion starts just after an empty slot, so that
// every probe run is copied in order and records of one line keep theirs.
static void grow(line_table *t) {
  line_record *old = t->slots;
  uint32_t capacity = t->mask + 1;
  uint32_t start = 0;
  while (old[start].used) start++;  // at most 3/4 of the slots are in use
  allocate_slots(t, 33 - t->shift);
  for (uint32_t k = 1; k <= capacity; k++) {
    const line_record &r = old[(start + k) & (capacity - 1)];
    if (r.used) place(t, r);
  }
  free(old);
}

line_record *line_table_add(line_table *t, md_addr_t addr) {
  if (t->count >= (t->mask + 1) / 4 * 3) {  // load factor at most 3/4
    if (t->shift <= 1)
      _fatal(t->unit, "line_table_add", __LINE__, "out of virtual memory");
    grow(t);
  }
  return place(t, line_record{addr, 0, 0, 1});
}

// Whether slot k lies cyclically in (hole, j]: a record at j whose home is
// there cannot move back into the hole without leaving its probe run.
static bool between(uint32_t hole, uint32_t k, uint32_t j) {
  return hole <= j ? hole < k && k <= j : hole < k || k <= j;
}

// Backward-shift deletion: the records after the hole move back into it
// where their probe runs allow, so that no look-up meets a gap. Records only
// move towards their home, past none of their own line, so order is kept.
void line_table_remove(line_table *t, line_record *r) {
  uint32_t hole = static_cast<uint32_t>(r - t->slots);
  for (uint32_t j = (hole + 1) & t->mask; t->slots[j].used;
       j = (j + 1) & t->mask) {
    if (between(hole, home_slot(t, t->slots[j].addr), j)) continue;
    t->slots[hole] = t->slots[j];
    hole = j;
  }
  t->slots[hole].used = 0;
  t->count--;
}

void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context) {
  // A removal pulls later records back into slot i, so look at it again.
  // Records only move backwards: none is skipped.
  for (uint32_t i = 0; i <= t->mask;) {
    line_record *r = &t->slots[i];
    if (r->used && drop(r, context))
      line_table_remove(t, r);
    else
      i++;
  }
}

