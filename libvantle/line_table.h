// The library's hash table keyed by line address, which the units that find
// lines by address share: the LRU stack's positions and the OPT families'
// unknown priorities. (The look-ahead window keeps its last occurrences in
// a table of 8-byte records of its own, in the array table_calloc gives.)
#ifndef VANTLE_LIBVANTLE_LINE_TABLE_H_
#define VANTLE_LIBVANTLE_LINE_TABLE_H_

#include <stddef.h>
#include <stdint.h>

#include "libvantle/libvantle.h"

// One record of a line_table: a line address and two fields whose meaning
// the owning unit gives: a, which counts in 64 bits and is never 0 in a
// record (0 marks a free slot, so that a record takes 16 bytes), and b.
struct line_record {
  md_addr_t addr;
  int32_t b;
  int64_t a;
};

// Open addressing with linear probing over a power-of-two array that
// doubles before it is three quarters full, so that a look-up costs a few
// probes whatever the working set, and the table stays small enough to keep
// in the cache. A line may have several records; they keep the order in
// which they came. A table may group its lines by their low bits (the set
// of a cache, say): the records of a group then hash alike, so that the
// group's records can be visited, in the order they came, without a scan
// of the whole table.
struct line_table {
  line_record *slots;
  uint32_t mask;          // capacity - 1
  int shift;              // 32 - log2(capacity), for multiply-shift hashing
  uint32_t count;         // records held
  md_addr_t group_mask;   // lines equal under it form one group
  uint32_t *group_count;  // records of each group; null for single lines
  const char *unit;       // owner, named in out-of-memory messages
};

// A zero-filled array of count records of size bytes, whose product is a
// power of two, for a hash table, aligned to a cache line when it spans
// one or more. One of a huge page or more is held in
// huge pages where the system grants them: look-ups land anywhere in it,
// and the TLB covers little of a table this large in small pages. Ends
// the process through _fatal (with unit and func) when memory is out.
void *table_calloc(size_t count, size_t size, const char *unit,
                   const char *func);
// Bytes that readying a table grouped by group_bits bits allocates (32 for
// a table of single lines).
uint64_t line_table_bytes(int group_bits);
// Readies an empty table whose groups are single lines; unit names the
// owner in out-of-memory messages.
void line_table_init(line_table *t, const char *unit);
// Readies an empty table that groups lines by their low group_bits bits
// (every line one group when 32 or more), and keeps a count per group.
void line_table_init_grouped(line_table *t, const char *unit, int group_bits);
// The slot where a look-up of addr begins.
static inline line_record *line_table_home(const line_table *t,
                                           md_addr_t addr) {
  return &t->slots[static_cast<uint32_t>((addr & t->group_mask) *
                                         2654435769u) >>
                   t->shift];
}
// line_table_find past a home slot that holds another line.
line_record *line_table_find_on(const line_table *t, md_addr_t addr);
// The oldest record of addr, or null.
static inline line_record *line_table_find(const line_table *t,
                                           md_addr_t addr) {
  line_record *home = line_table_home(t, addr);
  if (!home->a) return nullptr;
  return home->addr == addr ? home : line_table_find_on(t, addr);
}
// Appends a record of addr (after any older ones) whose field a is a, which
// must not be 0, and b 0, and returns it; the pointer stays valid until the
// next add or remove. Grows the table as needed, ending through _fatal when
// memory is out.
line_record *line_table_add(line_table *t, md_addr_t addr, int64_t a);
// Removes the record r points at.
void line_table_remove(line_table *t, line_record *r);
// Starts loading the slot where a look-up of addr begins.
static inline void line_table_prefetch(const line_table *t, md_addr_t addr) {
  __builtin_prefetch(line_table_home(t, addr));
}
// Calls visit(record, context) on every record, in no particular order;
// visit may change the fields but must leave a non-zero.
void line_table_visit(line_table *t, void (*visit)(line_record *, void *),
                      void *context);
// Removes every record for which drop(record, context) is true.
void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context);
// line_table_group_first past a home slot that holds another group.
line_record *line_table_group_first_on(const line_table *t, md_addr_t addr);
// Whether addr's group holds no record: one load in a grouped table.
static inline bool line_table_group_empty(const line_table *t,
                                          md_addr_t addr) {
  if (t->group_count) return t->group_count[addr & t->group_mask] == 0;
  return !line_table_find(t, addr);
}
// The oldest record of addr's group, or null.
static inline line_record *line_table_group_first(const line_table *t,
                                                  md_addr_t addr) {
  if (t->group_count && t->group_count[addr & t->group_mask] == 0)
    return nullptr;
  line_record *home = line_table_home(t, addr);
  if (!home->a) return nullptr;
  return ((home->addr ^ addr) & t->group_mask) == 0
             ? home
             : line_table_group_first_on(t, addr);
}
// The record of r's group that came next after r, or null.
line_record *line_table_group_next(const line_table *t, const line_record *r);
// Removes every record of addr's group for which drop(record, context) is
// true; the rest of the table is not visited.
void line_table_remove_from_group_if(line_table *t, md_addr_t addr,
                                     bool (*drop)(const line_record *, void *),
                                     void *context);

#endif  // VANTLE_LIBVANTLE_LINE_TABLE_H_
