/* The folding map (fold_map.h): region (address >> region_bits) to place,
 * in an open-addressed table that doubles when half full. Places are
 * handed out from the top down to regions that cannot keep their own; so
 * every place above next_high_place is taken, and a place at or below it
 * is taken exactly when the region of that number keeps its own place
 * there. A shared map's area holds its state, then the table of each
 * capacity at the offset capacity x entry size: a grown table never
 * overlaps the one it replaces, and the capacity, stored last, says which
 * is in use. State: the process-wide map (its state, its table, and the
 * last region it folded: a trace's references mostly stay in one region
 * for a while). */
#define _GNU_SOURCE
#include "transport/fold_map.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

struct entry {
  uint64_t key; /* region + 1; 0 marks a free entry */
  uint32_t place;
  uint32_t unused;
};

enum { FIRST_CAPACITY = 1024 };

/* A map as one call sees it: its state, and its table of capacity
 * entries; area is a shared map's area, null for the process-wide map. */
struct view {
  struct fm_map *map;
  struct entry *table;
  uint64_t capacity;
  unsigned char *area;
};

static int clamped(int bits) { return bits < 1 ? 1 : bits > 32 ? 32 : bits; }

static uint64_t place_count(const struct fm_map *m) {
  return 1ull << (32 - m->region_bits);
}

static void init_state(struct fm_map *m, int bits) {
  memset(m, 0, sizeof *m);
  m->region_bits = clamped(bits);
  m->next_high_place = (int64_t)place_count(m) - 1;
}

/* Where the search for region starts in a table of mask + 1 entries. */
static size_t first_entry(uint64_t region, size_t mask) {
  return (size_t)((region * 0x9E3779B97F4A7C15ull) >> 32) & mask;
}

/* The entry of region, or the free entry where it would go; null while
 * the map has no table. */
static struct entry *entry_of(const struct view *v, uint64_t region) {
  if (!v->capacity) return NULL;
  size_t mask = v->capacity - 1;
  size_t at = first_entry(region, mask);
  while (v->table[at].key && v->table[at].key != region + 1)
    at = (at + 1) & mask;
  return &v->table[at];
}

/* A zero-filled table of capacity entries: an allocation of its own, or
 * its place in the shared area (cleared: a process that died growing the
 * map may have begun to fill it). Null when there is no memory. */
static struct entry *new_table(const struct view *v, uint64_t capacity) {
  if (!v->area) return calloc(capacity, sizeof(struct entry));
  struct entry *t = (struct entry *)(v->area + capacity * sizeof *t);
  memset(t, 0, capacity * sizeof *t);
  return t;
}

static void drop_table(const struct view *v, struct entry *t,
                       uint64_t capacity) {
  if (!v->area)
    free(t);
  else if (capacity)
    madvise(t, capacity * sizeof *t, MADV_REMOVE); /* give its pages back */
}

/* Doubles the table (or makes the first one) and moves every entry over;
 * 0 when there is no memory for it. */
static int grow(struct view *v) {
  struct view grown = *v;
  grown.capacity = v->capacity ? 2 * v->capacity : FIRST_CAPACITY;
  if (!(grown.table = new_table(v, grown.capacity))) return 0;
  for (uint64_t i = 0; i < v->capacity; i++)
    if (v->table[i].key) *entry_of(&grown, v->table[i].key - 1) = v->table[i];
  __atomic_store_n(&v->map->capacity, grown.capacity, __ATOMIC_RELEASE);
  drop_table(v, v->table, v->capacity);
  *v = grown;
  return 1;
}

/* Gives region a place (see the top); null when every place is taken or
 * the table cannot grow (*result says which). The place is taken from
 * next_high_place before the entry shows it, and the entry's key is
 * written last. */
static struct entry *claim(struct view *v, uint64_t region,
                           enum fm_result *result) {
  struct fm_map *m = v->map;
  *result = FM_FULL;
  if (m->places_taken >= place_count(m)) return NULL;
  *result = FM_NO_MEMORY;
  if (2 * (m->entries + 1) > v->capacity && !grow(v)) return NULL;
  uint64_t place;
  if ((int64_t)region <= m->next_high_place) {
    place = region; /* not in the map, so its own place is free */
  } else {
    while (m->next_high_place >= 0 &&
           entry_of(v, (uint64_t)m->next_high_place)->key)
      m->next_high_place--;
    *result = FM_FULL;
    if (m->next_high_place < 0) return NULL;
    place = (uint64_t)m->next_high_place--;
  }
  struct entry *e = entry_of(v, region);
  e->place = (uint32_t)place;
  __atomic_store_n(&e->key, region + 1, __ATOMIC_RELEASE);
  m->entries++;
  m->places_taken++;
  *result = FM_NEW_REGION;
  return e;
}

/* Folds address with the map v; *base is the folded start of its region. */
static enum fm_result fold_in(struct view *v, uint64_t address,
                              uint32_t *base) {
  uint64_t region = address >> v->map->region_bits;
  enum fm_result result = FM_FOLDED;
  struct entry *e = entry_of(v, region);
  if ((!e || !e->key) && !(e = claim(v, region, &result))) return result;
  *base = (uint32_t)((uint64_t)e->place << v->map->region_bits);
  return result;
}

static uint32_t low_bits(uint64_t address, int bits) {
  return (uint32_t)(address & ((1ull << bits) - 1));
}

/* ---- The process-wide map ------------------------------------------------ */

static struct fm_map local = {FM_DEFAULT_REGION_BITS, 0, 0, 0, 0,
                              (1ll << (32 - FM_DEFAULT_REGION_BITS)) - 1};
static struct view local_view = {&local, NULL, 0, NULL};
static uint64_t last_region = ~0ull;
static uint32_t last_base;

void fm_reset(int bits) {
  free(local_view.table);
  init_state(&local, bits);
  local_view = (struct view){&local, NULL, 0, NULL};
  last_region = ~0ull;
}

int fm_region_bits(void) { return local.region_bits; }

enum fm_result fm_fold(uint64_t address, uint32_t *folded) {
  uint64_t region = address >> local.region_bits;
  enum fm_result result = FM_FOLDED;
  if (region != last_region) {
    result = fold_in(&local_view, address, &last_base);
    if (result != FM_FOLDED && result != FM_NEW_REGION) return result;
    last_region = region;
  }
  *folded = last_base | low_bits(address, local.region_bits);
  return result;
}

/* ---- Shared maps --------------------------------------------------------- */

size_t fm_shared_bytes(int bits) {
  uint64_t most = 1ull << (33 - clamped(bits));
  if (most < FIRST_CAPACITY) most = FIRST_CAPACITY;
  return (size_t)(2 * most * sizeof(struct entry));
}

void fm_shared_init(void *area, int bits) { init_state(area, bits); }

int fm_shared_region_bits(const void *area) {
  return ((const struct fm_map *)area)->region_bits;
}

enum fm_result fm_shared_fold(void *area, uint64_t address,
                              uint32_t *folded) {
  struct fm_map *m = area;
  uint64_t capacity = __atomic_load_n(&m->capacity, __ATOMIC_ACQUIRE);
  struct view v = {m, (struct entry *)((unsigned char *)area +
                                       capacity * sizeof(struct entry)),
                   capacity, area};
  uint32_t base;
  enum fm_result result = fold_in(&v, address, &base);
  if (result == FM_FOLDED || result == FM_NEW_REGION)
    *folded = base | low_bits(address, m->region_bits);
  return result;
}

/* A table dropped after the map grew reads as zeros, and an entry's key is
 * written after its place: a key that still matches once the place is read
 * vouches for the place. */
int fm_shared_lookup(const void *area, uint64_t address, uint32_t *folded) {
  const struct fm_map *m = area;
  uint64_t capacity = __atomic_load_n(&m->capacity, __ATOMIC_ACQUIRE);
  if (!capacity) return 0;
  const struct entry *table =
      (const struct entry *)((const unsigned char *)area +
                             capacity * sizeof(struct entry));
  uint64_t key = (address >> m->region_bits) + 1, seen;
  size_t mask = (size_t)capacity - 1;
  size_t at = first_entry(key - 1, mask);
  while ((seen = __atomic_load_n(&table[at].key, __ATOMIC_ACQUIRE)) != key) {
    if (!seen) return 0;
    at = (at + 1) & mask;
  }
  uint32_t place = __atomic_load_n(&table[at].place, __ATOMIC_ACQUIRE);
  if (__atomic_load_n(&table[at].key, __ATOMIC_ACQUIRE) != key) return 0;
  *folded = (uint32_t)((uint64_t)place << m->region_bits) |
            low_bits(address, m->region_bits);
  return 1;
}
