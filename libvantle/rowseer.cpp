// Set-associative OPT simulator: every cache with 2^A .. 2^B sets and
// associativity 1 .. 2^N, optimal replacement with bypass, in one pass.
// Each set of each set count owns a list of 2^N (tag, priority) entries; the
// first k entries are the contents of the k-way cache. All lists live in one
// flat table. Owns the lists, the hit counters, the position-0 shortcut
// flags, the table of lines whose next use lay beyond the look-ahead window,
// and the late correction that repairs them. Reads A, B, N, L, T,
// P_INTERVAL, SAVE_INTERVAL.
#include "libvantle/rowseer.h"

#include <stddef.h>

#include "libvantle/lookahead.h"
#include "libvantle/periodic.h"
#include "libvantle/report.h"
#include "libvantle/unknown_sets.h"

namespace {

const md_addr_t kEmptyTag = 0xFFFFFFFFu;
const int32_t kEmptyPrty = kEmptyPriority;  // below every real priority

int TWO_PWR_N;        // largest associativity, entries per list
int MAX_DEPTH;        // number of set counts minus one
int SET_SIZE;         // entries per list
int BASE_CACHE_SIZE;  // entries of the configuration with 2^A sets

// One list entry. Tag and priority side by side, so that the walk along a
// list reads one cache line per set count.
struct list_entry {
  md_addr_t tag;
  int32_t prty;
};

list_entry *lists;       // every list of every set count, flat
int16_t *all_hit_flag;   // per base set: last reference hit at 0 everywhere
// Counts in 64 bits: no run wraps them. Priorities in 32, as the clock
// keeps them (lookahead.h).
uint64_t **hits;         // [set count - A][list position]
uint64_t hit0;           // shortcut hits not yet folded into hits[*][0]
uint64_t t_entries;      // references processed
// The counts of the site of the reference being processed (the layout of
// sa_site_width), or null.
uint64_t *site_now;
periodic_marks marks_due; // progress lines and interim reports
priority_clock clock;    // known priorities' epoch, unknowns given out

// Unknown next-use table: the lines by their set at 2^B sets, so that one
// set's records are cleaned without a walk of the others.
unknown_sets unknowns;

md_addr_t low_bits(md_addr_t x, int bits) {
  return x & ((md_addr_t{1} << bits) - 1);
}

// First entry of the list of line x's set in the configuration with 2^i
// sets.
size_t list_start(int i, md_addr_t x) {
  size_t config = static_cast<size_t>(BASE_CACHE_SIZE) *
                  ((size_t{1} << (i - A)) - 1);
  return config + static_cast<size_t>(SET_SIZE) * low_bits(x, i);
}

// The lists of line x's set at 2^A .. 2^B sets, in at[0 .. B-A]. The walks
// go through these pointers: list stores cannot then force the geometry to
// be read again, which they would through the int globals.
struct line_lists {
  list_entry *at[32];
};

void find_lists(md_addr_t x, line_lists *out) {
  const int depth = MAX_DEPTH, n = N;
  size_t sets = size_t{1} << A;
  list_entry *config = lists;  // the lists of this many sets start here
  int r = 0;
  do {  // at least one set count, so that at[0] is always written
    out->at[r] = config + ((x & (sets - 1)) << n);
    config += sets << n;
    sets <<= 1;
  } while (++r <= depth);
}

// Whether e holds the line with this tag. The empty priority guards
// against a real line whose tag is all ones (possible when L + A is 0).
bool holds(const list_entry &e, md_addr_t tag) {
  return e.tag == tag && e.prty != kEmptyPrty;
}

// Puts the carried entry (tag, prty) into e and carries e's old contents on.
void swap_entry(list_entry *e, md_addr_t *tag, int32_t *prty) {
  list_entry old = *e;
  *e = list_entry{*tag, *prty};
  *tag = old.tag;
  *prty = old.prty;
}

// Applies one reference of the line with this tag and priority to one list
// (kWays entries, or ways when 0): found at position j, the carried entry
// goes there and the entries after j stay; each position before it (every
// position on a miss) keeps the higher priority and carries the other on,
// the lower one on a tie. Returns j, or ways on a miss, with the entry that
// dropped out of the list in *dropped. No branch on the entries: whether
// the line is found, and where, is as good as random.
template <int kWays>
inline int walk_list(list_entry *list, int ways, md_addr_t tag, int32_t prty,
                     list_entry *dropped) {
  if (kWays) ways = kWays;
  list_entry carried{tag, prty};
  int at = ways;
  for (int j = 0; j < ways; j++) {
    list_entry here = list[j];
    bool searching = at == ways;
    bool found = searching && holds(here, tag);
    bool stays = !searching || (!found && carried.prty <= here.prty);
    list[j] = stays ? here : carried;
    if (searching && !found && !stays) carried = here;
    at = found ? j : at;
  }
  *dropped = carried;
  return at;
}

// What a reference did to the list of the largest set count.
struct last_list {
  bool hit;            // the line was found there
  list_entry dropped;  // else the entry that left the list
};

// Applies one reference to the lists of its set at every set count (kWays
// entries each, or TWO_PWR_N when 0). Returns whether it missed or was
// found below position 0 anywhere.
template <int kWays>
bool walk_lists(const line_lists &sets, md_addr_t tag, int32_t prty,
                last_list *end) {
  const int depth = MAX_DEPTH, ways = kWays ? kWays : TWO_PWR_N;
  bool moved = false;
  for (int r = 0; r <= depth; r++) {
    int at = walk_list<kWays>(sets.at[r], ways, tag, prty, &end->dropped);
    end->hit = at < ways;
    if (end->hit) {
      hits[r][at]++;
      if (site_now) site_now[r * ways + at]++;
    }
    moved = moved || at > 0;
  }
  return moved;
}

// Brings the position-0 priority of the larger set counts up to date after
// shortcut hits in base set base_setno (whose flag the caller has seen set).
void propagate(md_addr_t base_setno) {
  size_t base = list_start(A, base_setno);
  int32_t real_prty = lists[base].prty;
  md_addr_t prev_addr = (lists[base].tag << A) | base_setno;
  for (int i = A + 1; i <= B; i++)
    lists[list_start(i, prev_addr)].prty = real_prty;
}

// Largest unknown priority held in line x's set of every set count, or the
// empty value when none holds one.
int32_t max_unknown_in_sets(const line_lists &sets) {
  const int depth = MAX_DEPTH, ways = TWO_PWR_N;
  int32_t max_prty = kEmptyPrty;
  for (int r = 0; r <= depth; r++)
    for (int j = 0; j < ways; j++) {
      int32_t prty = sets.at[r][j].prty;
      if (prty < 0 && prty > max_prty) max_prty = prty;
    }
  return max_prty;
}

// Starts loading the lists that line addr will walk and its bucket of the
// unknown next-use table, so that their cache misses overlap with the work
// on the references before it.
void prefetch_lists(md_addr_t addr) {
  line_lists sets;
  find_lists(addr, &sets);
  for (int r = 0; r <= MAX_DEPTH; r++) __builtin_prefetch(sets.at[r]);
  unknown_sets_prefetch(&unknowns, addr);
}

// What inf_handler_sa reads first of a line.
void prefetch_unknowns(md_addr_t line) {
  unknown_sets_prefetch(&unknowns, line);
}

void fold_hit0() {
  for (int r = 0; r <= MAX_DEPTH; r++) hits[r][0] += hit0;
  hit0 = 0;
}

}  // namespace

uint64_t footprint_rowseer(void) {
  uint64_t sets = uint64_t{1} << B;
  return (sets << (N + 1)) * sizeof(list_entry) +
         (uint64_t{1} << A) * sizeof(int16_t) +
         idim2_wide_bytes(B - A + 2, 1 << N) + unknown_sets_bytes(B);
}

void init_rowseer(void) {
  TWO_PWR_N = 1 << N;
  MAX_DEPTH = B - A;
  SET_SIZE = TWO_PWR_N;
  BASE_CACHE_SIZE = SET_SIZE << A;
  periodic_init(&marks_due);
  size_t entries = static_cast<size_t>(TWO_PWR_N) << (B + 1);
  lists = static_cast<list_entry *>(checked_calloc(
      entries, sizeof(list_entry), "rowseer", "init_rowseer", __LINE__));
  all_hit_flag = static_cast<int16_t *>(checked_calloc(
      size_t{1} << A, sizeof(int16_t), "rowseer", "init_rowseer", __LINE__));
  hits = idim2_wide(MAX_DEPTH + 2, TWO_PWR_N);
  unknown_sets_init(&unknowns, "rowseer", B);
  optpp_prefetch_hook(prefetch_unknowns);
  for (size_t e = 0; e < entries; e++) {
    lists[e].tag = kEmptyTag;
    lists[e].prty = kEmptyPrty;
  }
}

int Priority_sa(int i) {
  if (time_array[i] != 0) return known_priority(clock, time_array[i]);
  return next_unknown(clock);
}

namespace {

// Moves the priority clock's epoch up to now, and every known priority in
// the lists with it; every one belongs to a next use at or after now, once
// the base sets' shortcut hits have reached the larger set counts.
void move_epoch(uint64_t now) {
  for (md_addr_t base = 0; base < (md_addr_t{1} << A); base++)
    if (all_hit_flag[base] == 1) propagate(base);
  int32_t delta = static_cast<int32_t>(now - clock.epoch);
  size_t entries = static_cast<size_t>(TWO_PWR_N) << (B + 1);
  for (size_t e = 0; e < entries; e++)
    if (lists[e].prty > 0) lists[e].prty += delta;
  clock.epoch = now;
}

int32_t renumber_record(int32_t prty, void *ranks) {
  return unknown_renumbered(static_cast<unknown_ranks *>(ranks), prty);
}

bool is_unknown(int32_t prty) { return prty < 0 && prty != kEmptyPrty; }

// Numbers the unknown priorities afresh, in the same order, those of the
// lists and of the table's records alike.
void renumber_unknowns() {
  size_t entries = static_cast<size_t>(TWO_PWR_N) << (B + 1), n = 0;
  for (size_t e = 0; e < entries; e++) n += is_unknown(lists[e].prty);
  int32_t *values = static_cast<int32_t *>(checked_calloc(
      n ? n : 1, sizeof(int32_t), "rowseer", "renumber_unknowns", __LINE__));
  size_t k = 0;
  for (size_t e = 0; e < entries; e++)
    if (is_unknown(lists[e].prty)) values[k++] = lists[e].prty;
  unknown_ranks ranks;
  unknown_ranks_build(&ranks, values, n);
  for (size_t e = 0; e < entries; e++)
    if (is_unknown(lists[e].prty))
      lists[e].prty = unknown_renumbered(&ranks, lists[e].prty);
  unknown_sets_renumber(&unknowns, renumber_record, &ranks);
  clock.inf_count = unknown_ranks_last(&ranks, "rowseer");
  unknown_ranks_free(&ranks);
}

}  // namespace

int stack_proc_sa(int start, int end) {
  const int kAhead = 8;  // references prefetched ahead
  // Every priority the block can give stays within 32 bits.
  if (t_entries - clock.epoch >= kEpochStep) move_epoch(t_entries);
  if (clock.inf_count <= kLowestUnknown) renumber_unknowns();
  for (int l = start; l < end; l++) {
    if (l + kAhead < end) prefetch_lists(addr_array[l + kAhead]);
    if (l + 4 * kAhead < end)
      unknown_sets_prefetch(&unknowns, addr_array[l + 4 * kAhead]);
    t_entries++;
    if (progress_due(&marks_due, t_entries))
      fprintf(stderr, "libvantle: addresses processed %llu\n",
              static_cast<unsigned long long>(t_entries));
    if (save_due(&marks_due, t_entries)) outpr_rowseer(stderr);
    md_addr_t addr = addr_array[l];
    int priority = Priority_sa(l);
    if (priority < 0) unk_hash_add_sa(addr, priority);
    site_now = window_site(l);
    gfsoptls(addr, priority);
    site_now = nullptr;  // the table may move before the next
    addr_array[l] = 0;
    time_array[l] = 0;
    if (past_opt_limit(t_entries)) return 1;
  }
  return 0;
}

void gfsoptls(md_addr_t addr, int priority) {
  const int a = A, ways = TWO_PWR_N;
  md_addr_t orig_tag = addr >> a;
  md_addr_t base_setno = low_bits(addr, a);
  line_lists sets;
  find_lists(addr, &sets);
  list_entry &base = sets.at[0][0];
  if (all_hit_flag[base_setno] == 1) {
    if (holds(base, orig_tag)) {
      hit0++;
      if (site_now) site_now[(MAX_DEPTH + 1) * ways]++;  // head from row 0 on
      base.prty = priority;
      return;
    }
    propagate(base_setno);
  }
  last_list end{};
  bool moved;
  switch (ways) {  // the common list lengths, their loops unrolled
    case 1: moved = walk_lists<1>(sets, orig_tag, priority, &end); break;
    case 2: moved = walk_lists<2>(sets, orig_tag, priority, &end); break;
    case 4: moved = walk_lists<4>(sets, orig_tag, priority, &end); break;
    default: moved = walk_lists<0>(sets, orig_tag, priority, &end);
  }
  bool hit = end.hit;
  list_entry carried = end.dropped;
  // The carried entry dropped out; at the largest set count a line of
  // unknown next use leaves every cache, so the window forgets it.
  if (!hit && carried.prty < 0 && carried.prty > kEmptyPrty)
    ft_hash_del_later((carried.tag << a) | low_bits(addr, B));
  all_hit_flag[base_setno] = moved ? 0 : 1;
  // The bound spans the reference's set at every set count: the late
  // correction repairs all of them from the same records, so a record may
  // only go when no list of any set count could still use it.
  // (A set without records has nothing to clean.)
  if (!hit && !unknown_sets_none(&unknowns, addr))
    hash_clean_sa(addr, max_unknown_in_sets(sets));
}

namespace {

// What unk_hash_add_sa's check of a line carries through its set's
// records: the line, and the set's oldest record, which comes first.
struct earlier_records {
  md_addr_t line, head_addr;
  int32_t head_prty;
  bool seen_head;
};

void report_earlier(md_addr_t addr, int32_t prty, void *context) {
  earlier_records *e = static_cast<earlier_records *>(context);
  if (!e->seen_head) {
    e->head_addr = addr;
    e->head_prty = prty;
    e->seen_head = true;
  }
  if (addr == e->line)
    report_second_record("address", addr, t_entries, prty, e->head_addr,
                         e->head_prty);
}

}  // namespace

void unk_hash_add_sa(md_addr_t addr, int prty) {
  // Each earlier record of the line is reported beside the set's oldest.
  if (!unknown_sets_none(&unknowns, addr)) {
    earlier_records e{addr, 0, 0, false};
    unknown_sets_visit_set(&unknowns, addr, report_earlier, &e);
  }
  unknown_sets_add(&unknowns, addr, prty);
}

int unk_hash_del_sa(md_addr_t addr) {
  if (unknown_sets_none(&unknowns, addr)) return 0;
  return unknown_sets_take(&unknowns, addr);
}

void hash_clean_sa(md_addr_t addr, int max_prty) {
  if (max_prty >= 0)
    fprintf(stderr, "libvantle: max unknown priority non-negative\n");
  unknown_sets_drop_above(&unknowns, addr, max_prty);
}

void inf_handler_sa(md_addr_t addr, int64_t cur_time) {
  int32_t old_prty = unk_hash_del_sa(addr);
  if (old_prty == 0) return;
  int32_t priority = known_priority(clock, static_cast<uint64_t>(cur_time));
  md_addr_t base_setno = low_bits(addr, A);
  if (all_hit_flag[base_setno] == 1) {
    all_hit_flag[base_setno] = 0;
    propagate(base_setno);
  }
  const int depth = MAX_DEPTH, ways = TWO_PWR_N;
  md_addr_t orig_tag = addr >> A;
  line_lists sets;
  find_lists(addr, &sets);
  for (int r = 0; r <= depth; r++) {
    list_entry *list = sets.at[r];
    md_addr_t de_tag = orig_tag;
    int32_t de_prty = priority;
    for (int j = 0; j < ways; j++) {
      int32_t prty = list[j].prty;
      if (holds(list[j], orig_tag)) {
        if (prty <= 0) {
          list[j] = list_entry{de_tag, de_prty};
          break;
        }
        fprintf(stderr, "libvantle: inconsistency in inf_handler\n");
      } else if (prty < 0 && prty > old_prty && prty < de_prty) {
        swap_entry(&list[j], &de_tag, &de_prty);
      }
    }
  }
}

void outpr_rowseer(FILE *fd) {
  fold_hit0();
  print_sa_report(fd, t_entries, hits, MAX_DEPTH + 1, TWO_PWR_N);
}

uint32_t site_width_rowseer(void) {
  return sa_site_width(MAX_DEPTH + 1, static_cast<uint32_t>(TWO_PWR_N));
}

void site_hits_rowseer(const uint64_t *counts, vantle_result *rows,
                       int count) {
  sa_site_hits(counts, MAX_DEPTH + 1, static_cast<uint32_t>(TWO_PWR_N), rows,
               count);
}

int results_rowseer(vantle_result *rows, int capacity) {
  int count = (MAX_DEPTH + 1) * TWO_PWR_N;
  int n = 0;
  for (int r = 0; r <= MAX_DEPTH; r++) {
    uint32_t sets = 1u << (r + A);
    uint64_t sum = hit0;  // shortcut hits are position-0 hits everywhere
    for (int j = 0; j < TWO_PWR_N; j++, n++) {
      sum += hits[r][j];
      if (n >= capacity) continue;
      uint32_t ways = static_cast<uint32_t>(j + 1);
      uint64_t size = static_cast<uint64_t>(sets) * ways << L;
      rows[n] = result_row(VANTLE_SET_ASSOCIATIVE, VANTLE_OPT, 1u << L, sets,
                           ways, size, t_entries, sum);
    }
  }
  return count;
}

// ---------------------------------------------------------------------------
// For tests only: a count that starts late, so that a short run reaches the
// reference limit; a view of the lists and counters that the family's
// outputs cannot show, and a way to set up a list.

void test_start_rowseer_at(uint64_t count) {
  t_entries = count;
  for (int r = 0; r <= MAX_DEPTH; r++) hits[r][0] = count;
  if (count) {
    clock = test_late_clock(count);
  }
  periodic_start(&marks_due, count);
}

void test_rowseer_entry(int i, md_addr_t addr, int j, md_addr_t *tag,
                        int *prty) {
  size_t e = list_start(i, addr) + j;
  *tag = lists[e].tag;
  *prty = lists[e].prty;
}

void test_rowseer_set_entry(int i, md_addr_t addr, int j, md_addr_t tag,
                            int prty) {
  size_t e = list_start(i, addr) + j;
  lists[e].tag = tag;
  lists[e].prty = prty;
}

int test_rowseer_all_hit_flag(md_addr_t addr) {
  return all_hit_flag[low_bits(addr, A)];
}

uint64_t test_rowseer_hits(int i, int j) { return hits[i - A][j]; }

uint64_t test_rowseer_hit0(void) { return hit0; }
