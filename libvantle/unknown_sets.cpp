// The record of lines of unknown next use (unknown_sets.h): a bucket per
// set, one cache line each, and the spill table behind the buckets. Owns
// nothing but the records its caller hands in; reads no configuration
// variable.
#include "libvantle/unknown_sets.h"

#include <utility>

static uint32_t in_bucket(const unknown_bucket *b) {
  return b->count < kBucketRecords ? b->count : kBucketRecords;
}

uint64_t unknown_sets_bytes(int set_bits) {
  return (uint64_t{1} << set_bits) * sizeof(unknown_bucket) +
         line_table_bytes(set_bits);
}

void unknown_sets_init(unknown_sets *u, const char *unit, int set_bits) {
  u->buckets = static_cast<unknown_bucket *>(
      table_calloc(size_t{1} << set_bits, sizeof(unknown_bucket), unit,
                   "unknown_sets_init"));
  u->set_mask = (md_addr_t{1} << set_bits) - 1;
  line_table_init_grouped(&u->spill, unit, set_bits);
}

void unknown_sets_add(unknown_sets *u, md_addr_t line, int32_t prty) {
  unknown_bucket *b = unknown_bucket_of(u, line);
  if (b->count < kBucketRecords) {
    b->addr[b->count] = line;
    b->prty[b->count] = prty;
  } else {
    line_table_add(&u->spill, line, prty);
  }
  b->count++;
}

void unknown_sets_visit_set(const unknown_sets *u, md_addr_t line,
                            void (*visit)(md_addr_t, int32_t, void *),
                            void *context) {
  const unknown_bucket *b = unknown_bucket_of(u, line);
  for (uint32_t i = 0; i < in_bucket(b); i++)
    visit(b->addr[i], b->prty[i], context);
  if (b->count <= kBucketRecords) return;
  for (const line_record *r = line_table_group_first(&u->spill, line); r;
       r = line_table_group_next(&u->spill, r))
    visit(r->addr, static_cast<int32_t>(r->a), context);
}

// Moves the oldest spilled records of line's set into the bucket while it
// has room from place `to' on; returns the places then filled.
static uint32_t refill(unknown_sets *u, unknown_bucket *b, md_addr_t line,
                       uint32_t to) {
  while (to < kBucketRecords) {
    line_record *r = line_table_group_first(&u->spill, line);
    if (!r) break;
    b->addr[to] = r->addr;
    b->prty[to] = static_cast<int32_t>(r->a);
    line_table_remove(&u->spill, r);
    to++;
  }
  return to;
}

int32_t unknown_sets_take(unknown_sets *u, md_addr_t line) {
  unknown_bucket *b = unknown_bucket_of(u, line);
  uint32_t n = in_bucket(b);
  for (uint32_t i = 0; i < n; i++) {
    if (b->addr[i] != line) continue;
    int32_t prty = b->prty[i];
    for (uint32_t j = i + 1; j < n; j++) {
      b->addr[j - 1] = b->addr[j];
      b->prty[j - 1] = b->prty[j];
    }
    if (b->count > kBucketRecords) refill(u, b, line, n - 1);
    b->count--;
    return prty;
  }
  if (b->count <= kBucketRecords) return 0;
  line_record *r = line_table_find(&u->spill, line);
  if (!r) return 0;
  int32_t prty = static_cast<int32_t>(r->a);
  line_table_remove(&u->spill, r);
  b->count--;
  return prty;
}

static bool above(const line_record *r, void *bound) {
  return r->a > *static_cast<int32_t *>(bound);
}

void unknown_sets_drop_above(unknown_sets *u, md_addr_t line,
                             int32_t bound) {
  unknown_bucket *b = unknown_bucket_of(u, line);
  uint32_t n = in_bucket(b), kept = 0;
  for (uint32_t i = 0; i < n; i++) {
    if (b->prty[i] > bound) continue;
    b->addr[kept] = b->addr[i];
    b->prty[kept] = b->prty[i];
    kept++;
  }
  uint32_t spilled = b->count - n;
  if (spilled) {
    line_table_remove_from_group_if(&u->spill, line, above, &bound);
    spilled = u->spill.group_count[line & u->set_mask];
    uint32_t filled = refill(u, b, line, kept);
    spilled -= filled - kept;
    kept = filled;
  }
  b->count = kept + spilled;
}

static void renumber_spilled(line_record *r, void *how) {
  auto *call = static_cast<std::pair<int32_t (*)(int32_t, void *), void *> *>(
      how);
  r->a = call->first(static_cast<int32_t>(r->a), call->second);
}

void unknown_sets_renumber(unknown_sets *u,
                           int32_t (*renumber)(int32_t, void *),
                           void *context) {
  for (size_t s = 0; s <= u->set_mask; s++) {
    unknown_bucket *b = &u->buckets[s];
    for (uint32_t i = 0; i < in_bucket(b); i++)
      b->prty[i] = renumber(b->prty[i], context);
  }
  std::pair<int32_t (*)(int32_t, void *), void *> how{renumber, context};
  line_table_visit(&u->spill, renumber_spilled, &how);
}
