/* The folding map (fold_map.h): region (address >> region_bits) to place,
 * in an open-addressed table that doubles when half full. Places are
 * handed out from the top down to regions that cannot keep their own; so
 * every place above next_high_place is taken, and a place at or below it
 * is taken exactly when the region of that number keeps its own place
 * there. State: the table, the region size, and the last region folded
 * (a trace's references mostly stay in one region for a while). */
#include "transport/fold_map.h"

#include <stdlib.h>

struct entry {
  uint64_t key; /* region + 1; 0 marks a free entry */
  uint32_t place;
};

enum { FIRST_CAPACITY = 1024 };

static struct entry no_entries[1]; /* the table before the first region */
static struct entry *table = no_entries;
static size_t capacity = 1, entries; /* capacity: a power of two */
static int region_bits = FM_DEFAULT_REGION_BITS;
static uint64_t places_taken;
static int64_t next_high_place = (1ll << (32 - FM_DEFAULT_REGION_BITS)) - 1;
static uint64_t last_region = ~0ull;
static uint32_t last_base;

static uint64_t place_count(void) { return 1ull << (32 - region_bits); }

void fm_reset(int bits) {
  if (table != no_entries) free(table);
  table = no_entries;
  capacity = 1;
  entries = 0;
  region_bits = bits < 1 ? 1 : bits > 32 ? 32 : bits;
  places_taken = 0;
  next_high_place = (int64_t)place_count() - 1;
  last_region = ~0ull;
}

int fm_region_bits(void) { return region_bits; }

/* The entry of region, or the free entry where it would go. */
static struct entry *entry_of(uint64_t region) {
  size_t mask = capacity - 1;
  size_t at = (size_t)((region * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  while (table[at].key && table[at].key != region + 1) at = (at + 1) & mask;
  return &table[at];
}

/* Doubles the table (or makes the first one) and moves every entry over;
 * 0 when there is no memory for it. */
static int grow(void) {
  struct entry *old = table;
  size_t old_capacity = capacity;
  size_t grown = old == no_entries ? FIRST_CAPACITY : 2 * old_capacity;
  struct entry *fresh = calloc(grown, sizeof *fresh);
  if (!fresh) return 0;
  table = fresh;
  capacity = grown;
  for (size_t i = 0; i < old_capacity; i++)
    if (old[i].key) *entry_of(old[i].key - 1) = old[i];
  if (old != no_entries) free(old);
  return 1;
}

/* Gives region a place (see the top); null when every place is taken or
 * the table cannot grow (*result says which). */
static struct entry *claim(uint64_t region, enum fm_result *result) {
  *result = FM_FULL;
  if (places_taken == place_count()) return NULL;
  *result = FM_NO_MEMORY;
  if (2 * (entries + 1) > capacity && !grow()) return NULL;
  uint64_t place;
  if ((int64_t)region <= next_high_place) {
    place = region; /* not in the map, so its own place is free */
  } else {
    while (entry_of((uint64_t)next_high_place)->key) next_high_place--;
    place = (uint64_t)next_high_place--;
  }
  struct entry *e = entry_of(region);
  e->key = region + 1;
  e->place = (uint32_t)place;
  entries++;
  places_taken++;
  *result = FM_NEW_REGION;
  return e;
}

enum fm_result fm_fold(uint64_t address, uint32_t *folded) {
  uint64_t region = address >> region_bits;
  enum fm_result result = FM_FOLDED;
  if (region != last_region) {
    struct entry *e = entry_of(region);
    if (!e->key && !(e = claim(region, &result))) return result;
    last_region = region;
    last_base = (uint32_t)((uint64_t)e->place << region_bits);
  }
  *folded = last_base | (uint32_t)(address & ((1ull << region_bits) - 1));
  return result;
}
