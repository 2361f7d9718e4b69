// The lines of unknown next use of the set-associative OPT family, kept by
// their set at the largest set count: a record (line, unknown priority) per
// line that got an unknown priority, in the order they came. Each set owns
// a bucket of one cache line that holds its oldest records and their count,
// so that asking whether a set has records, finding, adding and removing
// one touch that line alone; records past a bucket's room go to a line
// table grouped the same way, which keeps their order.
#ifndef VANTLE_LIBVANTLE_UNKNOWN_SETS_H_
#define VANTLE_LIBVANTLE_UNKNOWN_SETS_H_

#include <stdint.h>

#include "libvantle/libvantle.h"
#include "libvantle/line_table.h"

constexpr uint32_t kBucketRecords = 7;

// A set's records: the oldest min(count, kBucketRecords), oldest first, in
// addr and prty; count counts those in the spill table too.
struct alignas(64) unknown_bucket {
  uint32_t count;
  md_addr_t addr[kBucketRecords];
  int32_t prty[kBucketRecords];
};

struct unknown_sets {
  unknown_bucket *buckets;  // one per set
  md_addr_t set_mask;
  line_table spill;  // records past a bucket's room; field a: the priority
};

// Bytes that unknown_sets_init allocates for 2^set_bits sets.
uint64_t unknown_sets_bytes(int set_bits);
// Readies an empty record of 2^set_bits sets; unit names the owner in
// out-of-memory messages, which end the process through _fatal.
void unknown_sets_init(unknown_sets *u, const char *unit, int set_bits);

static inline unknown_bucket *unknown_bucket_of(const unknown_sets *u,
                                                md_addr_t line) {
  return &u->buckets[line & u->set_mask];
}
// Whether line's set has no record.
static inline bool unknown_sets_none(const unknown_sets *u, md_addr_t line) {
  return unknown_bucket_of(u, line)->count == 0;
}
static inline void unknown_sets_prefetch(const unknown_sets *u,
                                         md_addr_t line) {
  __builtin_prefetch(unknown_bucket_of(u, line));
}

// Appends a record of line with priority prty, which must not be 0.
void unknown_sets_add(unknown_sets *u, md_addr_t line, int32_t prty);
// Calls visit(addr, prty, context) on each record of line's set, oldest
// first.
void unknown_sets_visit_set(const unknown_sets *u, md_addr_t line,
                            void (*visit)(md_addr_t, int32_t, void *),
                            void *context);
// Removes line's oldest record and returns its priority; 0 when it has
// none.
int32_t unknown_sets_take(unknown_sets *u, md_addr_t line);
// Removes every record of line's set whose priority is above bound.
void unknown_sets_drop_above(unknown_sets *u, md_addr_t line, int32_t bound);
// Replaces every record's priority p by renumber(p, context), which must
// not be 0.
void unknown_sets_renumber(unknown_sets *u,
                           int32_t (*renumber)(int32_t, void *),
                           void *context);

#endif  // VANTLE_LIBVANTLE_UNKNOWN_SETS_H_
