// The per-site counts of the family being simulated: each site's
// references in one dense array, which stays in the cache, and its row of
// the family's counts in one flat table. Owns both; grows them by
// doubling as new site numbers appear, so memory is sites x the family's
// width.
#include "libvantle/site_table.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include "libvantle/util.h"

// The references noted by site_note and not yet counted.
struct note {
  uint32_t site, slot;
};
enum { kNotes = 512 };

static struct {
  uint64_t *references;  // capacity counts
  uint64_t *rows;        // capacity rows of width counts
  uint32_t width;        // the family's counts per site
  uint32_t sites;        // rows in use: one more than the largest site
  uint32_t capacity;     // rows allocated
  uint32_t noted;        // notes[0 .. noted-1] wait
  note notes[kNotes];
} t;

void site_table_init(uint32_t width) {
  free(t.references);
  free(t.rows);
  t.references = t.rows = nullptr;
  t.width = width;
  t.sites = t.capacity = t.noted = 0;
}

// Rows of random sites are a TLB miss each in small pages: a table of
// several MiB asks for huge ones where the kernel gives them on request.
static void advise_huge_pages(void *start, size_t bytes) {
  const uintptr_t huge = uintptr_t{1} << 21;
  uintptr_t from = (reinterpret_cast<uintptr_t>(start) + huge - 1) & ~(huge - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(huge - 1);
  if (to > from)
    madvise(reinterpret_cast<void *>(from), to - from, MADV_HUGEPAGE);
}

// A copy of the first used of count elements of size bytes in a zeroed
// block of capacity, the old block freed.
static uint64_t *grown(uint64_t *old, size_t used, size_t capacity,
                       size_t size) {
  uint64_t *block = static_cast<uint64_t *>(
      checked_calloc(capacity, size, "site_table", "grown", __LINE__));
  advise_huge_pages(block, capacity * size);
  if (old) memcpy(block, old, used * size);
  free(old);
  return block;
}

// Makes room for sites 0 .. site, the new ones zero.
__attribute__((noinline)) static void grow_to(uint32_t site) {
  uint32_t capacity = t.capacity ? t.capacity : 16;
  while (capacity <= site) capacity *= 2;
  size_t row_bytes = (t.width ? t.width : 1) * sizeof(uint64_t);
  t.references = grown(t.references, t.sites, capacity, sizeof(uint64_t));
  t.rows = grown(t.rows, t.sites, capacity, row_bytes);
  t.capacity = capacity;
}

static inline void reach(uint32_t site) {
  if (__builtin_expect(site >= t.sites, 0)) {
    if (site >= t.capacity) grow_to(site);
    t.sites = site + 1;
  }
}

static uint64_t *row_of(uint32_t site) {
  return t.rows + static_cast<size_t>(site) * t.width;
}

uint64_t *site_row_of(uint32_t site) {
  reach(site);
  return row_of(site);
}

uint64_t *site_counts(uint32_t site) {
  uint64_t *row = site_row_of(site);
  t.references[site]++;
  return row;
}

// The rows a little ahead are loaded while the counts go in, with no
// temporal locality: a random site's row need not push the family's own
// tables out of the cache.
static void count_notes() {
  constexpr uint32_t kAhead = 16;
  for (uint32_t i = 0; i < t.noted; i++) {
    if (i + kAhead < t.noted && t.notes[i + kAhead].slot != kNoSlot)
      __builtin_prefetch(row_of(t.notes[i + kAhead].site) +
                         t.notes[i + kAhead].slot, 1, 0);
    const note &n = t.notes[i];
    t.references[n.site]++;
    if (n.slot != kNoSlot) row_of(n.site)[n.slot]++;
  }
  t.noted = 0;
}

void site_note(uint32_t site, uint32_t slot) {
  reach(site);
  t.notes[t.noted++] = {site, slot};
  if (t.noted == kNotes) count_notes();
}

site_rows site_batch_rows(uint32_t largest) {
  reach(largest);
  return {t.references, t.rows, t.width};
}

void site_note_many(uint32_t site, uint32_t slot, uint64_t n) {
  reach(site);
  t.references[site] += n;
  if (slot != kNoSlot) row_of(site)[slot] += n;
}

const uint64_t *site_row(uint32_t site) {
  count_notes();
  return site < t.sites ? row_of(site) : nullptr;
}

uint64_t site_references(uint32_t site) {
  count_notes();
  return site < t.sites ? t.references[site] : 0;
}

void site_rows_add(uint64_t *sum, uint32_t width) {
  count_notes();
  for (uint32_t site = 0; site < t.sites; site++) {
    const uint64_t *row = row_of(site);
    for (uint32_t c = 0; c < width && c < t.width; c++) sum[c] += row[c];
  }
}
