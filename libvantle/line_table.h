// The library's one hash table keyed by line address, which the units that
// find lines by address share: the look-ahead window's last occurrences,
// the LRU stack's positions and the OPT families' unknown priorities.
#ifndef VANTLE_LIBVANTLE_LINE_TABLE_H_
#define VANTLE_LIBVANTLE_LINE_TABLE_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

// One record of a line_table: a line address and two 32-bit fields whose
// meaning the owning unit gives.
struct line_record {
  md_addr_t addr;
  int32_t a;
  int32_t b;
  uint32_t used;  // non-zero while the slot holds a record
};

// Open addressing with linear probing over a power-of-two array that
// doubles before it is three quarters full, so that a look-up costs a few
// probes whatever the working set, and the table stays small enough to keep
// in the cache. A line may have several records; they keep the order in
// which they came.
struct line_table {
  line_record *slots;
  uint32_t mask;     // capacity - 1
  int shift;         // 32 - log2(capacity), for multiply-shift hashing
  uint32_t count;    // records held
  const char *unit;  // owner, named in out-of-memory messages
};

// Readies an empty table; unit names the owner in out-of-memory messages.
void line_table_init(line_table *t, const char *unit);
// The oldest record of addr, or null.
line_record *line_table_find(const line_table *t, md_addr_t addr);
// Appends a record of addr (after any older ones), fields zero, and returns
// it; the pointer stays valid until the next add or remove. Grows the table
// as needed, ending through _fatal when memory is out.
line_record *line_table_add(line_table *t, md_addr_t addr);
// Removes the record r points at.
void line_table_remove(line_table *t, line_record *r);
// Starts loading the slot where a look-up of addr begins.
static inline void line_table_prefetch(const line_table *t, md_addr_t addr) {
  __builtin_prefetch(
      &t->slots[static_cast<uint32_t>(addr * 2654435769u) >> t->shift]);
}
// Removes every record for which drop(record, context) is true.
void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context);

#endif  // VANTLE_LIBVANTLE_LINE_TABLE_H_
