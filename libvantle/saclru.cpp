// Set-associative LRU simulator: every cache with 2^A..2^B sets, 1..2^N
// lines per set and lines of 2^L bytes, in one pass. Each set of each set
// count keeps one LRU list of up to 2^N tags, most recent first. The cache
// of associativity k holds the first k entries of each list, so a hit at
// list position j is a hit for every associativity above j.
//
// State: the lists (tags), the hit counts (64-bit, and their 32-bit copy
// sac_hits), the reference count and the marks of the periodic output.
// The hits of references with a site are counted in the site's row only
// (site_table.h) and added to the family's when a report asks, so that a
// reference with a site counts once, not twice.
// Reads A, B, N, L, P_INTERVAL and SAVE_INTERVAL.
//
// Layout: all lists of all set counts, flat; the lists of 2^(A+r) sets
// (row r) start at list 2^(A+r) - 2^A, set s's list s lists later, so that
// lines next to each other have their lists next to each other in every
// row. The per-reference path reads, for each row, the address of its first
// list and its mask of set bits from a small table.
//
// An entry holds the complement of its tag, so that the zero fill of a new
// table reads as empty entries. When L + A > 0 no tag is all ones (a tag
// has at most 32 - L - A bits), so no real entry is zero, and an empty
// entry needs no count: it matches nothing and moves down like a real one,
// so a miss in a list that is not yet full drops an empty entry. With
// L = A = 0 every 32-bit value is a tag; that configuration keeps a fill
// count per list (the counted path below).
//
// Per reference, each set count from the fewest sets on: search the list,
// count the hit, move the line to the head. A line found at the head stays
// there, and it is at the head of every list of more sets too, since each
// of those sets is part of the fewer-sets set it refines: the walk counts
// a head hit for every remaining set count and stops. With one way the
// walk does not stop but visits every set count without a branch on the
// data (storing a line found at the head again), which is cheaper than a
// branch that goes either way. Two ways (the default) have their own
// unrolled search, with a list in one 64-bit word.
#include "libvantle/saclru.h"

#include <stdlib.h>
#include <string.h>

#include "libvantle/periodic.h"
#include "libvantle/report.h"
#include "libvantle/site_table.h"

// [set count exponent - A][list position]: the hit counts as the public
// 32-bit table has them, each saturated at 2^32 - 1; the report refreshes it.
unsigned int **sac_hits;
static uint64_t **wide_hits;  // the same, exact

static const char kUnit[] = "saclru";

static int TWO_PWR_N;  // the largest associativity: entries per list
static int MAX_DEPTH;  // B - A: the number of set counts minus one

// How sacnmul_woarr updates the lists (see the unit comment).
enum Path { ONE_WAY, TWO_WAYS, MANY_WAYS, COUNTED };

// One row: the lists of one set count.
struct Row {
  uint32_t *tags;   // the row's first list (ways entries a list)
  uint64_t *pairs;  // the same, for two ways: one word a list
  uint32_t mask;    // the set bits of a line: 2^(A+r) - 1
};

// What the per-reference path reads, together.
static struct {
  int path;
  int rows;              // MAX_DEPTH + 1
  uint32_t line_shift;   // L
  uint32_t tag_shift;    // A
  uint32_t ways;         // TWO_PWR_N
  uint32_t *tags;        // complemented tags, 2^N per list
  uint32_t *fill;        // entries in use per list (counted path only)
  uint64_t *hits;        // wide_hits' body: row r at hits + r * 2^N
  uint64_t t_entries;
  // From the first reference with a site: every site's row added up, then
  // the site hits by cell (site_position) that hits holds already. The sum
  // is made again only when a row has counted since.
  uint64_t *site_sum, *site_hits_added;
  bool sites_counted;
  // head_from[r]: hits at the head of row r's list, and so at the head of
  // every later row's, not yet added to those rows' counts.
  uint64_t head_from[32];
  periodic_marks marks_due;  // progress lines and interim reports
  Row row[32];
} s;

uint64_t footprint_saclru(void) {
  uint64_t lists = (uint64_t{1} << (B + 1)) - (uint64_t{1} << A);
  uint64_t fill = L == 0 && A == 0 ? lists : 0;
  return (lists << N) * sizeof(uint32_t) + fill * sizeof(uint32_t) +
         idim2_bytes(B - A + 1, 1 << N) + idim2_wide_bytes(B - A + 1, 1 << N);
}

void init_saclru(void) {
  TWO_PWR_N = 1 << N;
  MAX_DEPTH = B - A;
  size_t lists = (static_cast<size_t>(1) << (B + 1)) -
                 (static_cast<size_t>(1) << A);
  s.tags = static_cast<uint32_t *>(
      checked_calloc(lists * static_cast<size_t>(TWO_PWR_N), sizeof(uint32_t),
                     kUnit, "init_saclru", __LINE__));
  if (L == 0 && A == 0) {
    s.fill = static_cast<uint32_t *>(checked_calloc(
        lists, sizeof(uint32_t), kUnit, "init_saclru", __LINE__));
    s.path = COUNTED;
  } else {
    s.path = TWO_PWR_N == 1 ? ONE_WAY : TWO_PWR_N == 2 ? TWO_WAYS : MANY_WAYS;
  }
  sac_hits = idim2(MAX_DEPTH + 1, TWO_PWR_N);
  wide_hits = idim2_wide(MAX_DEPTH + 1, TWO_PWR_N);
  s.hits = wide_hits[0];
  s.rows = MAX_DEPTH + 1;
  s.line_shift = static_cast<uint32_t>(L);
  s.tag_shift = static_cast<uint32_t>(A);
  s.ways = static_cast<uint32_t>(TWO_PWR_N);
  for (int r = 0; r < s.rows; r++) {
    size_t sets = static_cast<size_t>(1) << (A + r);
    size_t first_list = sets - (static_cast<size_t>(1) << A);
    s.row[r].tags = s.tags + first_list * s.ways;
    s.row[r].pairs = reinterpret_cast<uint64_t *>(s.tags) + first_list;
    s.row[r].mask = static_cast<uint32_t>(sets - 1);
  }
  periodic_init(&s.marks_due);
}

// Counts a hit at position 0 for the set counts from row first on, in
// one count that settle_head_hits spreads over the rows.
static inline void hit_at_head_from(int first) { s.head_from[first]++; }

// A reference of a site (vantle_access_at) counts its hits in the site's
// row (site_table.h) instead of s.hits and head_from: laid out as the hit
// table, rows x ways, but that with more than one way position 0 of a row
// counts the hits at the head from that row on, as head_from does (so
// that what one reference counts lies together); then the references no
// list held at its head, so that the head counts and this one add up to
// the site's references (in one way, this one alone). kSites says whether
// it has one.
static uint32_t site_head(int row) {
  return static_cast<uint32_t>(row) * s.ways;
}
static uint32_t site_end() { return site_head(s.rows); }

// The hits at cell c (row by row, a list position each) of a site's row
// of counts (or the sum of several), as s.hits has them: cells taken in
// order, with *at_head 0 at the first.
static uint64_t site_position(const uint64_t *counts, uint32_t c,
                              uint64_t *at_head) {
  if (c % s.ways || s.path == ONE_WAY) return counts[c];
  return *at_head += counts[c];
}

// Readies the sums of the sites' rows, at the first reference with a site.
static void start_site_sums() {
  if (s.site_sum) return;
  uint32_t width = site_end() + 1;
  s.site_sum = static_cast<uint64_t *>(checked_calloc(
      2 * static_cast<size_t>(width), sizeof(uint64_t), kUnit,
      "start_site_sums", __LINE__));
  s.site_hits_added = s.site_sum + width;
}

// Brings s.hits up to date: the hits at the head counted by
// hit_at_head_from spread over the rows, and what the sites' rows have
// counted since.
static void settle_head_hits() {
  uint64_t from_above = 0;
  for (int row = 0; row < s.rows; row++) {
    from_above += s.head_from[row];
    s.head_from[row] = 0;
    s.hits[row * s.ways] += from_above;
  }
  if (!s.sites_counted) return;
  uint32_t width = site_end() + 1;
  memset(s.site_sum, 0, width * sizeof(uint64_t));
  site_rows_add(s.site_sum, width);
  uint64_t at_head = 0;
  for (uint32_t c = 0; c < site_end(); c++) {
    uint64_t hits = site_position(s.site_sum, c, &at_head);
    s.hits[c] += hits - s.site_hits_added[c];
    s.site_hits_added[c] = hits;
  }
  s.sites_counted = false;
}

// One way: every set count, with no branch on the data (a line at the
// head of its list is stored there again).
template <bool kSites>
static inline void one_way(uint32_t line, uint32_t key, uint64_t *site) {
  uint64_t *hits = s.hits;
  for (const Row *row = s.row, *end = s.row + s.rows; row < end;
       row++, hits++) {
    uint32_t *entry = row->tags + (line & row->mask);
    uint64_t hit = *entry == key;
    if (kSites)
      site[hits - s.hits] += hit;
    else
      *hits += hit;
    *entry = key;
  }
  if (kSites) site[site_end()]++;
}

// Two ways: the search of the general path, unrolled.
template <bool kSites>
static inline void two_ways(uint32_t line, uint32_t key, uint64_t *site) {
  uint64_t *hits = s.hits;
  int r = 0;
  for (const Row *row = s.row, *end = s.row + s.rows; row < end;
       row++, hits += 2, r++) {
    uint64_t *entry = row->pairs + (line & row->mask);
    uint64_t pair = *entry;
    if (static_cast<uint32_t>(pair) == key) {
      // At the head here, so at the head of every list of more sets.
      if (kSites)
        site[2 * r]++;
      else
        hit_at_head_from(r);
      return;
    }
    uint64_t second = static_cast<uint32_t>(pair >> 32) == key;
    if (kSites)
      site[2 * r + 1] += second;
    else
      hits[1] += second;
    *entry = pair << 32 | key;  // the old head moves behind the line
  }
  if (kSites) site[site_end()]++;
}

// Any number of ways: search each list, smallest set count first; stop at a
// hit at the head.
template <bool kSites>
__attribute__((noinline)) static void many_ways(uint32_t line, uint32_t key,
                                                uint64_t *site) {
  uint32_t ways = s.ways;
  for (int r = 0; r < s.rows; r++) {
    uint32_t *entries =
        s.row[r].tags + static_cast<size_t>(line & s.row[r].mask) * ways;
    if (entries[0] == key) {
      if (kSites)
        site[site_head(r)]++;
      else
        hit_at_head_from(r);
      return;
    }
    // Search and shift in one pass: each entry passed moves down one place;
    // the line's own entry, or the last one, drops out.
    uint32_t carried = entries[0];
    entries[0] = key;
    uint32_t j = 1;
    for (; j < ways; j++) {
      uint32_t here = entries[j];
      entries[j] = carried;
      if (here == key) break;
      carried = here;
    }
    if (j < ways) (kSites ? site : s.hits)[r * ways + j]++;
  }
  if (kSites) site[site_end()]++;
}

// L = A = 0: a fill count per list tells the entries in use.
template <bool kSites>
__attribute__((noinline)) static void counted(uint32_t line, uint32_t key,
                                              uint64_t *site) {
  uint32_t ways = s.ways;
  for (int r = 0; r < s.rows; r++) {
    size_t list = static_cast<size_t>(s.row[r].tags - s.tags) / ways +
                  (line & s.row[r].mask);
    uint32_t *entries = s.tags + list * ways;
    uint32_t fill = s.fill[list];
    uint32_t j = 0;
    while (j < fill && entries[j] != key) j++;
    if (j == 0 && fill != 0) {
      if (kSites)
        site[site_head(r)]++;
      else
        hit_at_head_from(r);
      return;
    }
    uint32_t moved;
    if (j < fill) {
      (kSites ? site : s.hits)[r * ways + j]++;
      moved = j;
    } else {  // a miss: the least recent entry drops out of a full list
      if (fill < ways) s.fill[list] = fill + 1;
      moved = fill < ways ? fill : ways - 1;
    }
    memmove(entries + 1, entries, moved * sizeof *entries);
    entries[0] = key;
  }
  if (kSites) site[site_end()]++;
}

// The progress line and the interim report, off the per-reference path.
__attribute__((noinline, cold)) static void progress_line() {
  fprintf(stderr, "libvantle: addresses processed %llu\n",
          static_cast<unsigned long long>(s.t_entries));
}

template <bool kSites>
static inline void reference(md_addr_t addr, uint64_t *site) {
  if (save_due(&s.marks_due, s.t_entries)) outpr_saclru(stderr);
  if (progress_due(&s.marks_due, ++s.t_entries)) progress_line();

  uint32_t line = addr >> s.line_shift;
  uint32_t key = ~(line >> s.tag_shift);  // the tag, the same in every row
  switch (s.path) {
    case TWO_WAYS: two_ways<kSites>(line, key, site); break;
    case ONE_WAY: one_way<kSites>(line, key, site); break;
    case MANY_WAYS: many_ways<kSites>(line, key, site); break;
    default: counted<kSites>(line, key, site); break;
  }
}

void sacnmul_woarr(md_addr_t addr) { reference<false>(addr, nullptr); }

void sacnmul_at(md_addr_t addr, uint32_t site) {
  start_site_sums();
  reference<true>(addr, site_row_of(site));
  s.sites_counted = true;  // after any report the reference made
}

uint32_t site_width_saclru(void) { return site_end() + 1; }

uint64_t site_references_saclru(const uint64_t *counts) {
  uint64_t references = counts[site_end()];
  for (int r = 0; s.path != ONE_WAY && r < s.rows; r++)
    references += counts[site_head(r)];
  return references;
}

void site_hits_saclru(const uint64_t *counts, vantle_result *rows,
                      int count) {
  uint64_t at_head = 0, sum = 0;
  for (uint32_t c = 0; c < site_end(); c++) {
    sum = (c % s.ways ? sum : 0) + site_position(counts, c, &at_head);
    if (static_cast<int>(c) < count) rows[c].hits = sum;
  }
}

// References one after the other, n of them with no mark due: the path
// chosen once, and no mark looked at. Most references find their line at
// the head of its list in the first row, and so in every row: those are
// told apart first and counted in a local, since counted in head_from[0]
// one by one each would wait on the count of the one before. With kSites,
// reference i also counts in the row of sites[i].
template <bool kSites>
static void quiet_batch(const md_addr_t *addrs, const uint32_t *sites,
                        site_rows rows, size_t n) {
  uint32_t line_shift = s.line_shift, tag_shift = s.tag_shift;
  uint64_t first_heads = 0;
  auto each = [&](auto heads_first_row, auto path) {
    for (size_t i = 0; i < n; i++) {
      uint32_t line = addrs[i] >> line_shift;
      uint32_t key = ~(line >> tag_shift);
      if (!kSites && heads_first_row(line, key))
        first_heads++;
      else
        path(line, key, kSites ? rows.row(sites[i]) : nullptr);
    }
  };
  const Row first = s.row[0];
  const uint32_t ways = s.ways;
  auto never = [](uint32_t, uint32_t) { return false; };
  switch (s.path) {
    case TWO_WAYS:
      each([first](uint32_t l, uint32_t k) {
             return static_cast<uint32_t>(first.pairs[l & first.mask]) == k;
           },
           [](uint32_t l, uint32_t k, uint64_t *at) { two_ways<kSites>(l, k, at); });
      break;
    case ONE_WAY:
      each(never, [](uint32_t l, uint32_t k, uint64_t *at) { one_way<kSites>(l, k, at); });
      break;
    case MANY_WAYS:
      each([first, ways](uint32_t l, uint32_t k) {
             return first.tags[static_cast<size_t>(l & first.mask) * ways] == k;
           },
           [](uint32_t l, uint32_t k, uint64_t *at) { many_ways<kSites>(l, k, at); });
      break;
    default:  // a line's entry may be one not in use: the fill counts tell
      each(never, [](uint32_t l, uint32_t k, uint64_t *at) { counted<kSites>(l, k, at); });
      break;
  }
  s.head_from[0] += first_heads;
  s.t_entries += n;
}

static uint64_t quiet_saclru() {
  return quiet_references(&s.marks_due, s.t_entries, false);
}

static void head_hits_saclru(uint64_t n) {
  s.head_from[0] += n;
  s.t_entries += n;
}

static void quiet_run(const md_addr_t *addrs, size_t n) {
  quiet_batch<false>(addrs, nullptr, {}, n);
}

void sacnmul_batch(const md_addr_t *addrs, size_t count) {
  feed_batch(addrs, count, sacnmul_woarr, quiet_saclru, quiet_run);
}

void sacnmul_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                      size_t count, site_rows rows) {
  start_site_sums();
  feed_batch_by_index(
      count, quiet_saclru,
      [&](size_t i) { reference<true>(addrs[i], rows.row(sites[i])); },
      [&](size_t i, size_t n) {
        quiet_batch<true>(addrs + i, sites + i, rows, n);
      });
  s.sites_counted = true;  // after any report inside the batch
}

void sacnmul_repeat(md_addr_t addr, uint64_t count) {
  feed_repeats(addr, count, sacnmul_woarr, quiet_saclru, head_hits_saclru);
}

// Copies the exact counts into sac_hits, saturating what 32 bits cannot
// hold rather than wrapping it.
static void refresh_sac_hits() {
  size_t cells = static_cast<size_t>(MAX_DEPTH + 1) * TWO_PWR_N;
  for (size_t c = 0; c < cells; c++)
    sac_hits[0][c] = s.hits[c] < UINT32_MAX
                         ? static_cast<unsigned int>(s.hits[c])
                         : UINT32_MAX;
}

void outpr_saclru(FILE *fd) {
  if (s.site_sum) s.sites_counted = true;  // it may come inside a batch
  settle_head_hits();
  refresh_sac_hits();
  print_sa_report(fd, s.t_entries, wide_hits, MAX_DEPTH + 1, TWO_PWR_N);
}

int results_saclru(vantle_result *rows, int capacity) {
  settle_head_hits();
  int count = (MAX_DEPTH + 1) * TWO_PWR_N;
  uint32_t line_size = 1u << L;
  int filled = 0;
  for (int row = 0; row <= MAX_DEPTH && filled < capacity; row++) {
    uint32_t sets = 1u << (row + A);
    uint64_t sum = 0;
    for (int j = 0; j < TWO_PWR_N && filled < capacity; j++) {
      sum += wide_hits[row][j];
      uint32_t ways = static_cast<uint32_t>(j) + 1;
      uint64_t size = static_cast<uint64_t>(sets) * ways * line_size;
      rows[filled++] = result_row(VANTLE_SET_ASSOCIATIVE, VANTLE_LRU,
                                  line_size, sets, ways, size, s.t_entries,
                                  sum);
    }
  }
  return count;
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run crosses the
// edges of 32-bit counts.

void test_start_saclru_at(uint64_t count) {
  s.t_entries = count;
  for (int row = 0; row < s.rows; row++) s.hits[row * s.ways] = count;
  periodic_start(&s.marks_due, count);
}

// ---------------------------------------------------------------------------
// Write-backs (vantle_explain): every cache write-back and write-allocate,
// counted in one pass by the method of Thompson and Smith. Each entry
// keeps beside its tag the deepest depth (list position + 1) its line has
// been found at since its last write, 0 for a line not written since it
// entered the list: a cache of w ways has evicted it since that write
// exactly when it has been deeper than w, and each such cache wrote it
// back once. So a write to a dirty line of depth D counts one write-back
// for the caches of fewer than D ways, and a dirty line that leaves the
// list (of 2^N entries) one for every cache of the row. What a run has
// not counted yet is in the lists: a dirty line at position j has been
// written back by the caches of fewer than max(D, j + 1) ways, and is
// dirty in the rest.
//
// A line's depth in a list of more sets is never deeper than in one of
// fewer, whose set holds every line of its own. So a line at the head of a
// list that has stayed there since its last write (D = 1) has done so in
// every list of more sets: a read or a write to it there changes no depth,
// and the walk stops as it does for a read.
//
// Once write-backs are counted every reference comes through
// sacnmul_store, which keeps lists of its own, laid out as s.tags but each
// entry a 64-bit word: the complemented tag, and D in the upper half, so
// that a list and its depths share one cache line.

static struct {
  uint64_t *entries;        // as s.tags: tag | D << 32
  uint64_t *row_entries[32];  // row r's first list
  uint64_t **written_back;  // [row][D]: write-backs by caches of < D ways
} wb;

static inline uint32_t tag_of(uint64_t entry) {
  return static_cast<uint32_t>(entry);
}
static inline uint32_t depth_of(uint64_t entry) {
  return static_cast<uint32_t>(entry >> 32);
}
static inline uint64_t entry_of(uint32_t key, uint32_t depth) {
  return key | static_cast<uint64_t>(depth) << 32;
}

uint64_t footprint_writebacks_saclru(void) {
  uint64_t lists = (uint64_t{1} << (B + 1)) - (uint64_t{1} << A);
  return (lists << N) * sizeof(uint64_t) +
         idim2_wide_bytes(B - A + 1, (1 << N) + 2);
}

void init_writebacks_saclru(void) {
  size_t lists = (static_cast<size_t>(1) << (B + 1)) -
                 (static_cast<size_t>(1) << A);
  wb.entries = static_cast<uint64_t *>(
      checked_calloc(lists * s.ways, sizeof(uint64_t), kUnit,
                     "init_writebacks_saclru", __LINE__));
  wb.written_back = idim2_wide(s.rows, static_cast<int>(s.ways) + 2);
  for (int r = 0; r < s.rows; r++)
    wb.row_entries[r] = wb.entries + (s.row[r].tags - s.tags);
}

// The first entry of set `set` of row r.
static inline uint64_t *list_of(int r, uint32_t set) {
  return wb.row_entries[r] + static_cast<size_t>(set) * s.ways;
}

// One way: every set count, with a dirty line written back when another
// takes its place.
static inline void one_way_store(uint32_t line, uint32_t key, bool store) {
  for (int r = 0; r < s.rows; r++) {
    uint64_t *entry = list_of(r, line & s.row[r].mask);
    bool hit = tag_of(*entry) == key;
    s.hits[r] += hit;
    wb.written_back[r][2] += !hit && depth_of(*entry);
    *entry = entry_of(key, (hit && depth_of(*entry)) || store);
  }
}

// Two ways: the search of two_ways, with the depths. Counts that no
// cache has are added to written_back[r][0], so that the common steps take
// no branch.
static inline void two_ways_store(uint32_t line, uint32_t key, bool store) {
  uint64_t *hits = s.hits;
  for (int r = 0; r < s.rows; r++, hits += 2) {
    uint64_t *list = wb.row_entries[r] + 2 * (line & s.row[r].mask);
    uint64_t *written_back = wb.written_back[r];
    uint64_t head = list[0], second = list[1];
    if (tag_of(head) == key) {
      if (!store || depth_of(head) == 1) {
        hit_at_head_from(r);
        return;
      }
      hits[0]++;
      written_back[depth_of(head)]++;  // 2, or 0 for a clean line
      list[0] = entry_of(key, 1);
      continue;
    }
    bool found = tag_of(second) == key;
    bool dirty = depth_of(second) != 0;
    hits[1] += found;
    written_back[3] += !found & dirty;  // it leaves both caches of the row
    uint32_t deepest = (found && dirty) ? 2 : 0;
    written_back[store ? deepest : 0] += store;
    list[1] = head;
    list[0] = entry_of(key, store ? 1 : deepest);
  }
}

// Any number of ways, and the counted lists of L = A = 0: search, count
// the hit, and move the line to the head with its depth.
__attribute__((noinline)) static void many_ways_store(uint32_t line,
                                                      uint32_t key,
                                                      bool store) {
  uint32_t ways = s.ways;
  for (int r = 0; r < s.rows; r++) {
    uint32_t set = line & s.row[r].mask;
    uint64_t *list = list_of(r, set);
    uint32_t *fill =
        s.fill ? s.fill + (s.row[r].tags - s.tags) / ways + set : nullptr;
    uint32_t used = fill ? *fill : ways;
    uint32_t j = 0;
    while (j < used && tag_of(list[j]) != key) j++;
    uint32_t deepest = 0, moved;
    if (j < used) {
      if (j == 0 && (!store || depth_of(list[0]) == 1)) {
        hit_at_head_from(r);
        return;
      }
      s.hits[r * ways + j]++;
      deepest = depth_of(list[j]);
      if (deepest && deepest < j + 1) deepest = j + 1;
      moved = j;
    } else if (used < ways) {
      *fill = used + 1;
      moved = used;
    } else {  // the least recent entry leaves every cache of the row
      if (depth_of(list[ways - 1])) wb.written_back[r][ways + 1]++;
      moved = ways - 1;
    }
    if (store) {
      if (deepest) wb.written_back[r][deepest]++;
      deepest = 1;
    }
    for (uint32_t k = moved; k > 0; k--) list[k] = list[k - 1];
    list[0] = entry_of(key, deepest);
  }
}

void sacnmul_store(md_addr_t addr, int store) {
  if (save_due(&s.marks_due, s.t_entries)) outpr_saclru(stderr);
  if (progress_due(&s.marks_due, ++s.t_entries)) progress_line();

  uint32_t line = addr >> s.line_shift;
  uint32_t key = ~(line >> s.tag_shift);
  switch (s.path) {
    case TWO_WAYS: two_ways_store(line, key, store); break;
    case ONE_WAY: one_way_store(line, key, store); break;
    default: many_ways_store(line, key, store); break;
  }
}

void writebacks_saclru(vantle_explained *rows, int count) {
  size_t columns = s.ways + 2;
  uint64_t *at_end = static_cast<uint64_t *>(checked_calloc(
      columns, sizeof(uint64_t), kUnit, "writebacks_saclru", __LINE__));
  for (int r = 0; r < s.rows; r++) {
    const uint64_t *entries = list_of(r, 0);
    size_t count_in_row = (static_cast<size_t>(s.row[r].mask) + 1) * s.ways;
    for (size_t e = 0; e < count_in_row; e++) {
      uint32_t depth = depth_of(entries[e]);
      uint32_t now = static_cast<uint32_t>(e % s.ways) + 1;
      if (depth) at_end[depth > now ? depth : now]++;
    }
    // Caches of w ways: the write-backs counted past w, and at the end
    // those past w again; the rest are dirty in them.
    uint64_t past = 0, dirty = at_end[1];
    for (size_t d = 2; d < columns; d++)
      past += wb.written_back[r][d] + at_end[d];
    for (uint32_t w = 1; w <= s.ways; w++) {
      int at = r * static_cast<int>(s.ways) + static_cast<int>(w) - 1;
      if (at < count) {
        rows[at].writebacks = past;
        rows[at].dirty_at_end = dirty;
      }
      past -= wb.written_back[r][w + 1] + at_end[w + 1];
      dirty += at_end[w + 1];
    }
    for (size_t d = 0; d < columns; d++) at_end[d] = 0;
  }
  free(at_end);
}
