// The line table: records keyed by a 32-bit line address in one array of
// slots, found by linear probing from the slot that a multiply-shift hash
// of the address names. Owns nothing but the tables its callers hand in;
// reads no configuration variable.
#include "libvantle/line_table.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "libvantle/util.h"

enum { kMinTableBits = 10 };

// Fibonacci hashing (line_table_home): the top bits of the group times
// 2^32 / golden ratio spread runs of consecutive lines over the whole table.
static uint32_t home_slot(const line_table *t, md_addr_t addr) {
  return static_cast<uint32_t>(line_table_home(t, addr) - t->slots);
}

static uint32_t after(const line_table *t, uint32_t slot) {
  return (slot + 1) & t->mask;
}

static bool same_group(const line_table *t, md_addr_t x, md_addr_t y) {
  return ((x ^ y) & t->group_mask) == 0;
}

void *table_calloc(size_t count, size_t size, const char *unit,
                   const char *func) {
  const size_t kHugePage = size_t{2} << 20, kCacheLine = 64;
  size_t bytes = count * size;  // a power of two
  if (bytes < kCacheLine)
    return checked_calloc(count, size, unit, func, __LINE__);
  // Aligned to a cache line at least, so that a record or bucket of a
  // power-of-two size never straddles two.
  void *p = aligned_alloc(bytes < kHugePage ? kCacheLine : kHugePage, bytes);
  if (!p) _fatal(unit, func, __LINE__, "out of virtual memory");
  if (bytes >= kHugePage)
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: refused, small pages serve
  memset(p, 0, bytes);
  return p;
}

static void allocate_slots(line_table *t, int bits) {
  t->slots = static_cast<line_record *>(table_calloc(
      size_t{1} << bits, sizeof(line_record), t->unit, "line_table_add"));
  t->mask = (1u << bits) - 1;
  t->shift = 32 - bits;
  t->count = 0;
}

uint64_t line_table_bytes(int group_bits) {
  uint64_t counts = group_bits < 32 ? uint64_t{1} << group_bits : 0;
  return (uint64_t{1} << kMinTableBits) * sizeof(line_record) +
         counts * sizeof(uint32_t);
}

void line_table_init(line_table *t, const char *unit) {
  line_table_init_grouped(t, unit, 32);
}

void line_table_init_grouped(line_table *t, const char *unit,
                             int group_bits) {
  t->unit = unit;
  t->group_mask = group_bits >= 32 ? ~md_addr_t{0}
                                   : (md_addr_t{1} << group_bits) - 1;
  t->group_count = nullptr;
  if (group_bits < 32)
    t->group_count = static_cast<uint32_t *>(
        checked_calloc(size_t{1} << group_bits, sizeof(uint32_t), unit,
                       "line_table_init_grouped", __LINE__));
  allocate_slots(t, kMinTableBits);
}

line_record *line_table_find_on(const line_table *t, md_addr_t addr) {
  for (uint32_t i = after(t, home_slot(t, addr));; i = after(t, i)) {
    line_record *r = &t->slots[i];
    if (!r->a) return nullptr;
    if (r->addr == addr) return r;
  }
}

// A group's records share one home slot and lie, oldest first, in the probe
// run that starts there.
static line_record *group_from(const line_table *t, md_addr_t addr,
                               uint32_t i) {
  for (;; i = after(t, i)) {
    line_record *r = &t->slots[i];
    if (!r->a) return nullptr;
    if (same_group(t, r->addr, addr)) return r;
  }
}

line_record *line_table_group_first_on(const line_table *t,
                                       md_addr_t addr) {
  return group_from(t, addr, after(t, home_slot(t, addr)));
}

line_record *line_table_group_next(const line_table *t,
                                   const line_record *r) {
  return group_from(t, r->addr,
                    after(t, static_cast<uint32_t>(r - t->slots)));
}

// Places a copy of record at the end of its probe run.
static line_record *place(line_table *t, const line_record &record) {
  uint32_t i = home_slot(t, record.addr);
  while (t->slots[i].a) i = (i + 1) & t->mask;
  t->slots[i] = record;
  t->count++;
  return &t->slots[i];
}

// Doubles the table. Reinsertion starts just after an empty slot, so that
// every probe run is copied in order and records of one group keep theirs.
static void grow(line_table *t) {
  line_record *old = t->slots;
  uint32_t capacity = t->mask + 1;
  uint32_t start = 0;
  while (old[start].a) start++;  // at most 3/4 of the slots are in use
  allocate_slots(t, 33 - t->shift);
  for (uint32_t k = 1; k <= capacity; k++) {
    const line_record &r = old[(start + k) & (capacity - 1)];
    if (r.a) place(t, r);
  }
  free(old);
}

line_record *line_table_add(line_table *t, md_addr_t addr, int64_t a) {
  if (t->count >= (t->mask + 1) / 4 * 3) {  // load factor at most 3/4
    if (t->shift <= 1)
      _fatal(t->unit, "line_table_add", __LINE__, "out of virtual memory");
    grow(t);
  }
  if (t->group_count) t->group_count[addr & t->group_mask]++;
  return place(t, line_record{addr, 0, a});
}

// Whether slot k lies cyclically in (hole, j]: a record at j whose home is
// there cannot move back into the hole without leaving its probe run.
static bool between(uint32_t hole, uint32_t k, uint32_t j) {
  return hole <= j ? hole < k && k <= j : hole < k || k <= j;
}

// Backward-shift deletion: the records after the hole move back into it
// where their probe runs allow, so that no look-up meets a gap. Records only
// move towards their home, past none of their own group (whose home is
// theirs), so order is kept.
void line_table_remove(line_table *t, line_record *r) {
  uint32_t hole = static_cast<uint32_t>(r - t->slots);
  if (t->group_count) t->group_count[r->addr & t->group_mask]--;
  for (uint32_t j = after(t, hole); t->slots[j].a; j = after(t, j)) {
    if (between(hole, home_slot(t, t->slots[j].addr), j)) continue;
    t->slots[hole] = t->slots[j];
    hole = j;
  }
  t->slots[hole].a = 0;
  t->count--;
}

void line_table_visit(line_table *t, void (*visit)(line_record *, void *),
                      void *context) {
  for (uint32_t i = 0; i <= t->mask; i++)
    if (t->slots[i].a) visit(&t->slots[i], context);
}

void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context) {
  // A removal pulls later records back into slot i, so look at it again.
  // Records only move backwards: none is skipped.
  for (uint32_t i = 0; i <= t->mask;) {
    line_record *r = &t->slots[i];
    if (r->a && drop(r, context))
      line_table_remove(t, r);
    else
      i++;
  }
}

void line_table_remove_from_group_if(line_table *t, md_addr_t addr,
                                     bool (*drop)(const line_record *, void *),
                                     void *context) {
  // As above, within the run from the group's home: a removal keeps every
  // record in the run from its home, so the run still holds the group.
  for (uint32_t i = home_slot(t, addr); t->slots[i].a;) {
    line_record *r = &t->slots[i];
    if (same_group(t, r->addr, addr) && drop(r, context))
      line_table_remove(t, r);
    else
      i = after(t, i);
  }
}
