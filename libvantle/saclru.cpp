// Set-associative LRU simulator: every cache with 2^A..2^B sets, 1..2^N
// lines per set and lines of 2^L bytes, in one pass. Each set of each set
// count keeps one LRU list of up to 2^N tags, most recent first. The cache
// of associativity k holds the first k entries of each list, so a hit at
// list position j is a hit for every associativity above j.
//
// State: the lists (tag_arr, with a fill count per list in fill_arr), the
// hit table sac_hits and the reference count. Reads A, B, N, L, P_INTERVAL
// and SAVE_INTERVAL.
#include "libvantle/saclru.h"

#include <string.h>

unsigned int **sac_hits;  // [set count exponent - A][list position]

static const char kUnit[] = "saclru";

static int TWO_PWR_N;  // the largest associativity: entries per list
static int MAX_DEPTH;  // B - A: the number of set counts minus one
// All lists of all set counts, flat: the lists of 2^i sets start at list
// 2^i - 2^A (entry 2^N * 2^A * (2^(i-A) - 1)), set s's list s lists later.
static uint32_t *tag_arr;
// Entries in use per list. A count rather than a reserved "empty" tag,
// because with A and L both 0 every 32-bit value is a real tag.
static uint32_t *fill_arr;
static uint32_t t_entries;
static uint64_t next_save_time;

// SAVE_INTERVAL widened with its sign.
static uint64_t save_interval() {
  return static_cast<uint64_t>(static_cast<int64_t>(SAVE_INTERVAL));
}

void init_saclru(void) {
  TWO_PWR_N = 1 << N;
  MAX_DEPTH = B - A;
  next_save_time = save_interval();
  size_t lists = (static_cast<size_t>(1) << (B + 1)) -
                 (static_cast<size_t>(1) << A);
  tag_arr = static_cast<uint32_t *>(
      checked_calloc(lists * static_cast<size_t>(TWO_PWR_N), sizeof(uint32_t),
                     kUnit, "init_saclru", __LINE__));
  fill_arr = static_cast<uint32_t *>(checked_calloc(
      lists, sizeof(uint32_t), kUnit, "init_saclru", __LINE__));
  sac_hits = idim2(MAX_DEPTH + 1, TWO_PWR_N);
}

// Counts a hit at position 0 for the set counts from row first on: a line
// at the head of its list is at the head of every list of more sets too,
// since each of those sets is part of the fewer-sets set it refines.
static void hit_at_head_from(int first) {
  for (int row = first; row <= MAX_DEPTH; row++) sac_hits[row][0]++;
}

void sacnmul_woarr(md_addr_t addr) {
  if (t_entries > next_save_time) {
    outpr_saclru(stderr);
    next_save_time += save_interval();
  }
  t_entries++;
  if (P_INTERVAL > 0 && t_entries % static_cast<uint32_t>(P_INTERVAL) == 0)
    fprintf(stderr, "libvantle: addresses processed %u\n", t_entries);

  md_addr_t line = addr >> L;
  uint32_t tag = line >> A;  // the same in every set count
  size_t first_list = static_cast<size_t>(1) << A;
  uint32_t size = static_cast<uint32_t>(TWO_PWR_N);
  for (int row = 0; row <= MAX_DEPTH; row++) {
    size_t sets = first_list << row;
    size_t list = sets - first_list + (line & (sets - 1));
    uint32_t *tags = tag_arr + list * size;
    uint32_t fill = fill_arr[list];
    uint32_t j = 0;
    while (j < fill && tags[j] != tag) j++;
    if (j == 0 && fill != 0) {
      hit_at_head_from(row);
      return;
    }
    uint32_t moved;
    if (j < fill) {
      sac_hits[row][j]++;
      moved = j;
    } else {  // a miss: the least recent entry drops out of a full list
      if (fill < size) fill_arr[list] = fill + 1;
      moved = fill < size ? fill : size - 1;
    }
    memmove(tags + 1, tags, moved * sizeof *tags);
    tags[0] = tag;
  }
}

void outpr_saclru(FILE *fd) {
  print_sa_report(fd, t_entries, sac_hits, MAX_DEPTH + 1, TWO_PWR_N);
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
          result_row(2, 0, line_size, sets, ways, size, t_entries, sum);
    }
  }
  return count;
}
