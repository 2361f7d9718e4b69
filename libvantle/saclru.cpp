// Set-associative LRU simulator: every cache with 2^A..2^B sets, 1..2^N
// lines per set and lines of 2^L bytes, in one pass. Each set of each set
// count keeps one LRU list of up to 2^N tags, most recent first. The cache
// of associativity k holds the first k entries of each list, so a hit at
// list position j is a hit for every associativity above j.
//
// State: the lists (tags), the hit table sac_hits, the reference count
// and the marks of the periodic output. Reads A, B, N, L, P_INTERVAL and
// SAVE_INTERVAL; P_INTERVAL and SAVE_INTERVAL once, in init_saclru.
//
// Layout: the lists of all set counts in one table, indexed like a heap:
// the 2^(A+r) lists of row r (2^(A+r) sets) are lists 2^(A+r) to
// 2^(A+r+1) - 1, and the set s of row r (the low A+r bits of the line) has
// the list 2^(A+r) + (s written backwards in A+r bits). So with h the list of
// the largest set count (2^B + the low B bits of the line backwards), the
// list of the next smaller set count is h >> 1, with no mask and no row
// offset. Lists 0 to 2^A - 1 are never used (nor touched: their zero pages
// are never written).
//
// An entry holds the complement of its tag, so that the zero fill of a new
// table reads as empty entries. When L + A > 0 no tag is all ones (a tag
// has at most 32 - L - A bits), so no real entry is zero, and an empty
// entry needs no count: it matches nothing and moves down like a real one,
// so a miss in a list that is not yet full drops an empty entry. With
// L = A = 0 every 32-bit value is a tag; that configuration keeps a fill
// count per list (the counted path below).
//
// Per reference, the usual family (one or two ways, L + A > 0) visits every
// set count without a branch on the data: a line at the head of its list
// stays there, so a set count in which it is found at the head is updated
// to what it already holds. The others search each list and stop at the
// first set count that has the line at its head: it is at the head of every
// list of more sets too, since each of those sets is part of the fewer-sets
// set it refines.
#include "libvantle/saclru.h"

#include <string.h>

unsigned int **sac_hits;  // [set count exponent - A][list position]

static const char kUnit[] = "saclru";

static int TWO_PWR_N;  // the largest associativity: entries per list
static int MAX_DEPTH;  // B - A: the number of set counts minus one

// How sacnmul_woarr updates the lists (see the unit comment).
enum Path { ONE_WAY, TWO_WAYS, MANY_WAYS, COUNTED };

// What the per-reference path reads, together.
static struct {
  int path;
  int rows;              // MAX_DEPTH + 1
  uint32_t line_shift;   // L
  uint32_t tag_shift;    // A
  uint32_t reverse_shift;  // 32 - B
  uint32_t top_lists;    // 2^B: the first list of the largest set count
  uint32_t first_lists;  // 2^A: the first list of the smallest set count
  uint32_t ways;         // TWO_PWR_N
  uint32_t *tags;        // complemented tags, 2^N per list
  uint64_t *pairs;       // the same table, two entries a word (two ways)
  uint32_t *fill;        // entries in use per list (counted path only)
  uint32_t *hits;        // sac_hits' body: row r at hits + r * 2^N
  uint32_t t_entries;
  uint64_t next_progress;  // next multiple of P_INTERVAL; never when <= 0
  uint64_t next_save_time;
  uint64_t save_interval;
  uint64_t progress_interval;
} s;

void init_saclru(void) {
  TWO_PWR_N = 1 << N;
  MAX_DEPTH = B - A;
  size_t lists = static_cast<size_t>(1) << (B + 1);
  s.tags = static_cast<uint32_t *>(
      checked_calloc(lists * static_cast<size_t>(TWO_PWR_N), sizeof(uint32_t),
                     kUnit, "init_saclru", __LINE__));
  s.pairs = reinterpret_cast<uint64_t *>(s.tags);
  if (L == 0 && A == 0) {
    s.fill = static_cast<uint32_t *>(checked_calloc(
        lists, sizeof(uint32_t), kUnit, "init_saclru", __LINE__));
    s.path = COUNTED;
  } else {
    s.path = TWO_PWR_N == 1 ? ONE_WAY : TWO_PWR_N == 2 ? TWO_WAYS : MANY_WAYS;
  }
  sac_hits = idim2(MAX_DEPTH + 1, TWO_PWR_N);
  s.hits = sac_hits[0];
  s.rows = MAX_DEPTH + 1;
  s.line_shift = static_cast<uint32_t>(L);
  s.tag_shift = static_cast<uint32_t>(A);
  s.reverse_shift = 32 - static_cast<uint32_t>(B);
  s.top_lists = 1u << B;
  s.first_lists = 1u << A;
  s.ways = static_cast<uint32_t>(TWO_PWR_N);
  // SAVE_INTERVAL widened with its sign, as the comparison always was.
  s.save_interval = static_cast<uint64_t>(static_cast<int64_t>(SAVE_INTERVAL));
  s.next_save_time = s.save_interval;
  s.progress_interval = P_INTERVAL > 0 ? static_cast<uint64_t>(P_INTERVAL) : 0;
  s.next_progress = P_INTERVAL > 0 ? s.progress_interval : UINT64_MAX;
}

// The list of the line in the largest set count: 2^B + its low B bits
// written backwards.
static inline uint32_t top_list(uint32_t line) {
  uint32_t x = __builtin_bswap32(line);
  x = ((x >> 4) & 0x0F0F0F0Fu) | ((x & 0x0F0F0F0Fu) << 4);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  // A 64-bit shift: with B = 0 it shifts by 32.
  return static_cast<uint32_t>(static_cast<uint64_t>(x) >> s.reverse_shift) |
         s.top_lists;
}

// Counts a hit at position 0 for the set counts from row first on.
static void hit_at_head_from(int first) {
  for (int row = first; row < s.rows; row++) s.hits[row * s.ways]++;
}

// One or two ways: every set count, largest first, no branch on the data.
static inline void one_way(uint32_t list, uint32_t key) {
  uint32_t *hits = s.hits + s.rows;
  for (; list >= s.first_lists; list >>= 1) {
    uint32_t *entry = s.tags + list;
    *--hits += *entry == key;
    *entry = key;
  }
}

static inline void two_ways(uint32_t list, uint32_t key) {
  uint32_t *hits = s.hits + 2 * s.rows;
  for (; list >= s.first_lists; list >>= 1) {
    uint64_t *entry = s.pairs + list;
    uint64_t pair = *entry;
    hits -= 2;
    uint32_t at_head = static_cast<uint32_t>(pair) == key;
    hits[0] += at_head;
    hits[1] += static_cast<uint32_t>(pair >> 32) == key;
    // Position 1 keeps its entry when the line was at the head, else takes
    // the old head.
    uint64_t behind = at_head ? pair & 0xFFFFFFFF00000000u : pair << 32;
    *entry = behind | key;
  }
}

// Any number of ways: search each list, smallest set count first; stop at a
// hit at the head.
__attribute__((noinline)) static void many_ways(uint32_t top, uint32_t key) {
  uint32_t ways = s.ways;
  for (int row = 0; row < s.rows; row++) {
    uint32_t *entries =
        s.tags + static_cast<size_t>(top >> (s.rows - 1 - row)) * ways;
    uint32_t j = 0;
    while (j < ways && entries[j] != key) j++;
    if (j == 0) {
      hit_at_head_from(row);
      return;
    }
    uint32_t moved = ways - 1;
    if (j < ways) {
      s.hits[row * ways + j]++;
      moved = j;
    }
    memmove(entries + 1, entries, moved * sizeof *entries);
    entries[0] = key;
  }
}

// L = A = 0: a fill count per list tells the entries in use.
__attribute__((noinline)) static void counted(uint32_t top, uint32_t key) {
  uint32_t ways = s.ways;
  for (int row = 0; row < s.rows; row++) {
    uint32_t list = top >> (s.rows - 1 - row);
    uint32_t *entries = s.tags + static_cast<size_t>(list) * ways;
    uint32_t fill = s.fill[list];
    uint32_t j = 0;
    while (j < fill && entries[j] != key) j++;
    if (j == 0 && fill != 0) {
      hit_at_head_from(row);
      return;
    }
    uint32_t moved;
    if (j < fill) {
      s.hits[row * ways + j]++;
      moved = j;
    } else {  // a miss: the least recent entry drops out of a full list
      if (fill < ways) s.fill[list] = fill + 1;
      moved = fill < ways ? fill : ways - 1;
    }
    memmove(entries + 1, entries, moved * sizeof *entries);
    entries[0] = key;
  }
}

// The progress line and the interim report, off the per-reference path.
__attribute__((noinline, cold)) static void interim_report() {
  outpr_saclru(stderr);
  s.next_save_time += s.save_interval;
}

__attribute__((noinline, cold)) static void progress_line() {
  fprintf(stderr, "libvantle: addresses processed %u\n", s.t_entries);
  s.next_progress += s.progress_interval;
}

void sacnmul_woarr(md_addr_t addr) {
  if (__builtin_expect(s.t_entries > s.next_save_time, 0)) interim_report();
  // t_entries % P_INTERVAL == 0, counted up to rather than divided.
  if (__builtin_expect(++s.t_entries == s.next_progress, 0)) progress_line();

  uint32_t line = addr >> s.line_shift;
  uint32_t key = ~(line >> s.tag_shift);  // the tag, the same in every row
  uint32_t top = top_list(line);
  switch (s.path) {
    case TWO_WAYS: two_ways(top, key); break;
    case ONE_WAY: one_way(top, key); break;
    case MANY_WAYS: many_ways(top, key); break;
    default: counted(top, key); break;
  }
}

void outpr_saclru(FILE *fd) {
  print_sa_report(fd, s.t_entries, sac_hits, MAX_DEPTH + 1, TWO_PWR_N);
}

int results_saclru(vantle_result *rows, int capacity) {
  int count = (MAX_DEPTH + 1) * TWO_PWR_N;
  uint32_t line_size = 1u << L;
  int filled = 0;
  for (int row = 0; row <= MAX_DEPTH && filled < capacity; row++) {
    uint32_t sets = 1u << (row + A);
    uint64_t sum = 0;
    for (int j = 0; j < TWO_PWR_N && filled < capacity; j++) {
      sum += sac_hits[row][j];
      uint32_t ways = static_cast<uint32_t>(j) + 1;
      uint64_t size = static_cast<uint64_t>(sets) * ways * line_size;
      rows[filled++] =
          result_row(2, 0, line_size, sets, ways, size, s.t_entries, sum);
    }
  }
  return count;
}
