// The per-site counts of the family being simulated: one flat table of
// rows, a site's references in the first count of its row and the
// family's counts after it. Owns the table; grows it by doubling as new
// site numbers appear, so memory is sites x the family's width.
#include "libvantle/site_table.h"

#include <stdlib.h>
#include <string.h>

#include "libvantle/util.h"

// The references noted by site_note and not yet counted.
struct note {
  uint32_t site, slot;
};
enum { kNotes = 4096 };

static struct {
  uint64_t *rows;      // capacity rows of 1 + width counts
  uint32_t width;      // the family's counts per site
  uint32_t sites;      // rows in use: one more than the largest site
  uint32_t capacity;   // rows allocated
  uint32_t noted;      // notes[0 .. noted-1] wait
  note notes[kNotes];
} t;

void site_table_init(uint32_t width) {
  free(t.rows);
  t.rows = nullptr;
  t.width = width;
  t.sites = t.capacity = t.noted = 0;
}

static size_t stride() { return size_t{1} + t.width; }

// Makes room for rows 0 .. site, the new ones zero.
__attribute__((noinline)) static void grow_to(uint32_t site) {
  uint32_t capacity = t.capacity ? t.capacity : 16;
  while (capacity <= site) capacity *= 2;
  uint64_t *rows = static_cast<uint64_t *>(checked_calloc(
      capacity, stride() * sizeof(uint64_t), "site_table", "grow_to",
      __LINE__));
  if (t.rows) memcpy(rows, t.rows, t.sites * stride() * sizeof(uint64_t));
  free(t.rows);
  t.rows = rows;
  t.capacity = capacity;
}

static inline void reach(uint32_t site) {
  if (__builtin_expect(site >= t.sites, 0)) {
    if (site >= t.capacity) grow_to(site);
    t.sites = site + 1;
  }
}

uint64_t *site_counts(uint32_t site) {
  reach(site);
  uint64_t *row = t.rows + site * stride();
  row[0]++;
  return row + 1;
}

static void count_notes() {
  for (uint32_t i = 0; i < t.noted; i++) {
    uint64_t *row = t.rows + t.notes[i].site * stride();
    row[0]++;
    if (t.notes[i].slot != kNoSlot) row[1 + t.notes[i].slot]++;
  }
  t.noted = 0;
}

void site_note(uint32_t site, uint32_t slot) {
  reach(site);
  t.notes[t.noted++] = {site, slot};
  if (t.noted == kNotes) count_notes();
}

const uint64_t *site_row(uint32_t site) {
  count_notes();
  return site < t.sites ? t.rows + site * stride() + 1 : nullptr;
}

uint64_t site_references(uint32_t site) {
  count_notes();
  return site < t.sites ? t.rows[site * stride()] : 0;
}
