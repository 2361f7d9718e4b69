// The explanation of a family's misses (vantle_explain): the compulsory
// misses of every configuration and the misses of the fully-associative
// LRU cache of each configuration's size and line size, in the same pass
// as the family, for any family (they split each configuration's misses
// into Hill's three Cs); and the route of each reference to them and to
// the family's own count of write-backs.
//
// One record per line size that the family's configurations have (one for
// the fully- and set-associative families, one per line size for the
// direct-mapped one): the lines of that size seen so far, in a bitmap of
// pages made on first touch, for the compulsory misses; and an LRU stack
// (lru_axis.h) that keeps only as many lines as the largest configuration
// of that line size holds, since a line deeper than that misses in every
// one of them. Its depth histogram gives the fully-associative misses of
// every size it keeps.
//
// State: the parts asked for, the family's entries, the configurations'
// sizes, the records. Learns the configurations from the family's results
// call; its footprint reads trace_config, A, B, C, L, N and MAX_LINES.
#include "libvantle/explain.h"

#include <stdlib.h>

#include <algorithm>

#include "libvantle/lru_axis.h"
#include "libvantle/report.h"
#include "libvantle/util.h"

static const char kUnit[] = "explain";

enum { kPageBits = 16 };  // lines per page of the seen bitmap: 2^16

// The lines of one size and their stack.
struct line_size_record {
  int line_bits;
  // Seen bitmap: page p covers lines p * 2^16 .. (p + 1) * 2^16 - 1.
  uint64_t **pages;
  uint64_t page_count;
  uint64_t compulsory;
  // The stack, holding at most most_lines lines.
  lru_axis stack;
  uint64_t lines_held;
  uint64_t most_lines;
  depth_counts at_depth;  // count d: references at LRU depth d
};

enum { kMostLineSizes = 32 };
// References that wait before the compulsory and fully-associative parts
// count them, so that the cache misses of their stacks' tables overlap.
enum { kWaiting = 16 };

static struct {
  unsigned parts;
  explained_family family;
  bool other_parts;  // compulsory or fully-associative misses
  bool apart;        // the family is simulated elsewhere
  bool writebacks;   // the family counts them
  int configurations;
  uint32_t *line_bits_of;   // by configuration
  uint64_t *lines_of;       // by configuration: its size in lines
  line_size_record sizes[kMostLineSizes];
  int size_count;
  bool stacks;  // VANTLE_EXPLAIN_FULLY_ASSOCIATIVE asked for
  bool seen;    // VANTLE_EXPLAIN_COMPULSORY asked for
  uint64_t references;
  md_addr_t waiting[kWaiting];  // not yet counted, oldest first
  int waiting_count;
} ex;

static int log2_of(uint32_t power) { return __builtin_ctz(power); }

// The configurations' rows, which the caller frees.
static vantle_result *family_rows(int (*results)(vantle_result *, int),
                                  int *count) {
  *count = results(nullptr, 0);
  vantle_result *rows = static_cast<vantle_result *>(checked_calloc(
      *count > 0 ? *count : 1, sizeof *rows, kUnit, "explain_start",
      __LINE__));
  results(rows, *count);
  return rows;
}

// The record of line_bits, made when it is new.
static line_size_record *record_of(int line_bits) {
  for (int i = 0; i < ex.size_count; i++)
    if (ex.sizes[i].line_bits == line_bits) return &ex.sizes[i];
  line_size_record *r = &ex.sizes[ex.size_count++];
  r->line_bits = line_bits;
  return r;
}

// Pages of the seen bitmap of lines of 2^line_bits bytes.
static uint64_t pages_for(int line_bits) {
  int bits = 32 - line_bits - kPageBits;
  return bits > 0 ? uint64_t{1} << bits : 1;
}

// The parts that explaining family f takes: a fully-associative LRU
// family's misses are its own, and an OPT family counts no write-back.
static unsigned needed(unsigned parts, const explained_family &f) {
  if (f.organisation == VANTLE_FULLY_ASSOCIATIVE &&
      f.policy == VANTLE_LRU && !(parts & VANTLE_EXPLAIN_APART))
    parts &= ~VANTLE_EXPLAIN_FULLY_ASSOCIATIVE;
  if (!f.writebacks || (parts & VANTLE_EXPLAIN_APART))
    parts &= ~VANTLE_EXPLAIN_WRITEBACKS;
  return parts;
}

// Bytes of the compulsory and fully-associative parts.
static uint64_t footprint_stacks(unsigned parts) {
  // The largest configuration of each line size, from the configuration.
  int low = L, high = L;
  uint64_t most_lines = 0;
  if (trace_config == VANTLE_DIRECT_MAPPED) {
    low = A;
    high = B;
  } else if (trace_config == VANTLE_SET_ASSOCIATIVE) {
    most_lines = uint64_t{1} << (B + N);
  } else {
    most_lines = MAX_LINES;
  }
  uint64_t bytes = 0;
  for (int bits = low; bits <= high; bits++) {
    if (trace_config == VANTLE_DIRECT_MAPPED)
      most_lines = uint64_t{1} << (C - bits);
    if (parts & VANTLE_EXPLAIN_COMPULSORY)
      bytes += pages_for(bits) * sizeof(uint64_t *);
    if (parts & VANTLE_EXPLAIN_FULLY_ASSOCIATIVE)
      bytes += (most_lines + 1) * sizeof(uint32_t);
  }
  return bytes;
}

uint64_t footprint_explain(unsigned parts, const explained_family &f) {
  parts = needed(parts, f);
  uint64_t bytes = footprint_stacks(parts);
  if (parts & VANTLE_EXPLAIN_WRITEBACKS) bytes += f.writebacks->footprint();
  return bytes;
}

// Readies the compulsory and fully-associative parts.
static void init_stacks(unsigned parts) {
  ex.seen = parts & VANTLE_EXPLAIN_COMPULSORY;
  ex.stacks = parts & VANTLE_EXPLAIN_FULLY_ASSOCIATIVE;
  if (!ex.seen && !ex.stacks) return;
  vantle_result *rows = family_rows(ex.family.results, &ex.configurations);
  ex.line_bits_of = static_cast<uint32_t *>(checked_calloc(
      ex.configurations + 1, sizeof(uint32_t), kUnit, "explain_start",
      __LINE__));
  ex.lines_of = static_cast<uint64_t *>(checked_calloc(
      ex.configurations + 1, sizeof(uint64_t), kUnit, "explain_start",
      __LINE__));
  for (int i = 0; i < ex.configurations; i++) {
    int bits = log2_of(rows[i].line_size);
    ex.line_bits_of[i] = static_cast<uint32_t>(bits);
    ex.lines_of[i] = rows[i].cache_size >> bits;
    line_size_record *r = record_of(bits);
    if (ex.lines_of[i] > r->most_lines) r->most_lines = ex.lines_of[i];
  }
  free(rows);
  for (int i = 0; i < ex.size_count; i++) {
    line_size_record *r = &ex.sizes[i];
    if (ex.seen) {
      r->page_count = pages_for(r->line_bits);
      r->pages = static_cast<uint64_t **>(checked_calloc(
          r->page_count, sizeof(uint64_t *), kUnit, "explain_start",
          __LINE__));
    }
    if (ex.stacks) {
      lru_axis_init(&r->stack, kUnit, "explain_start");
      depth_counts_init(&r->at_depth, r->most_lines + 1, kUnit);
    }
  }
}

// Marks line seen; returns whether it was new.
static bool first_sight(line_size_record *r, md_addr_t line) {
  uint64_t *&page = r->pages[line >> kPageBits];
  if (__builtin_expect(!page, 0))
    page = static_cast<uint64_t *>(
        checked_calloc(uint64_t{1} << (kPageBits - 6), sizeof(uint64_t),
                       kUnit, "explain_reference", __LINE__));
  uint32_t within = line & ((1u << kPageBits) - 1);
  uint64_t bit = uint64_t{1} << (within & 63);
  uint64_t &word = page[within >> 6];
  if (word & bit) return false;
  word |= bit;
  return true;
}

// The line's LRU depth in r's stack, counted in its histogram; the line
// then heads the stack, and the least recent line leaves it when it holds
// more than most_lines.
static void stack_reference(line_size_record *r, md_addr_t line) {
  lru_axis *x = &r->stack;
  line_record *record = line_table_find(&x->lines, line);
  if (record) {
    uint32_t position = static_cast<uint32_t>(record->a);
    record->a = static_cast<int64_t>(x->next_position);
    depth_counts_add(&r->at_depth, lru_axis_take_mark(x, position));
  } else {
    if (r->lines_held == r->most_lines) {
      line_table_remove(&x->lines,
                        line_table_find(&x->lines, lru_axis_drop_oldest(x)));
      r->lines_held--;
    }
    line_table_add(&x->lines, line, static_cast<int64_t>(x->next_position));
    r->lines_held++;
  }
  lru_axis_mark_next(x, line);
}

// Counts one reference in the compulsory and fully-associative parts.
static void count_reference(md_addr_t addr) {
  ex.references++;
  for (int i = 0; i < ex.size_count; i++) {
    line_size_record *r = &ex.sizes[i];
    md_addr_t line = addr >> r->line_bits;
    if (ex.seen) r->compulsory += first_sight(r, line);
    if (ex.stacks) stack_reference(r, line);
  }
}

// Counts every waiting reference.
static void count_waiting() {
  for (int i = 0; i < ex.waiting_count; i++) count_reference(ex.waiting[i]);
  ex.waiting_count = 0;
}

// Has the reference wait to be counted, and starts loading what counting
// it will read.
static void explain_reference(md_addr_t addr) {
  for (int i = 0; i < ex.size_count; i++)
    if (ex.stacks)
      line_table_prefetch(&ex.sizes[i].stack.lines,
                          addr >> ex.sizes[i].line_bits);
  ex.waiting[ex.waiting_count++] = addr;
  if (ex.waiting_count == kWaiting) count_waiting();
}

// The hits of r's stack in a cache of each size of sizes[0 .. n-1], which
// must ascend, into hits[0 .. n-1].
static void hits_at(const line_size_record *r, const uint64_t *sizes, int n,
                    uint64_t *hits) {
  uint64_t sum = 0, depth = 0;
  for (int k = 0; k < n; k++) {
    while (depth < sizes[k]) sum += depth_count(&r->at_depth, ++depth);
    hits[k] = sum;
  }
}

// The fully-associative misses of every configuration of line size r's.
static void fill_misses(const line_size_record *r, vantle_explained *rows,
                        int count) {
  int *order = static_cast<int *>(
      checked_calloc(count + 1, sizeof(int), kUnit, "explain_fill", __LINE__));
  uint64_t *sizes = static_cast<uint64_t *>(checked_calloc(
      2 * (count + 1), sizeof(uint64_t), kUnit, "explain_fill", __LINE__));
  uint64_t *hits = sizes + count + 1;
  int n = 0;
  for (int i = 0; i < count; i++)
    if (ex.line_bits_of[i] == static_cast<uint32_t>(r->line_bits))
      order[n++] = i;
  std::sort(order, order + n,
            [](int a, int b) { return ex.lines_of[a] < ex.lines_of[b]; });
  for (int k = 0; k < n; k++) sizes[k] = ex.lines_of[order[k]];
  hits_at(r, sizes, n, hits);
  for (int k = 0; k < n; k++)
    rows[order[k]].fully_associative_misses = ex.references - hits[k];
  free(order);
  free(sizes);
}

// Sets compulsory and fully_associative_misses of rows[0 .. count-1].
static void fill_stacks(vantle_explained *rows, int count) {
  for (int i = 0; i < count; i++) {
    rows[i].compulsory = VANTLE_NOT_COUNTED;
    rows[i].fully_associative_misses = VANTLE_NOT_COUNTED;
  }
  if (count > ex.configurations) count = ex.configurations;
  for (int s = 0; s < ex.size_count; s++) {
    const line_size_record *r = &ex.sizes[s];
    if (ex.stacks) fill_misses(r, rows, count);
    for (int i = 0; ex.seen && i < count; i++)
      if (ex.line_bits_of[i] == static_cast<uint32_t>(r->line_bits))
        rows[i].compulsory = r->compulsory;
  }
}

// A fully-associative LRU family explains its misses as the misses of
// fully-associative LRU caches: its own.
static void fill_own_misses(vantle_explained *rows, int count) {
  vantle_result *results = static_cast<vantle_result *>(checked_calloc(
      count + 1, sizeof *results, kUnit, "explain_rows", __LINE__));
  ex.family.results(results, count);
  for (int i = 0; i < count; i++)
    rows[i].fully_associative_misses = results[i].references - results[i].hits;
  free(results);
}

void explain_rows(vantle_explained *rows, int count) {
  count_waiting();
  fill_stacks(rows, count);
  for (int i = 0; i < count; i++)
    rows[i].writebacks = rows[i].dirty_at_end = VANTLE_NOT_COUNTED;
  if (ex.writebacks) ex.family.writebacks->fill(rows, count);
  if ((ex.parts & VANTLE_EXPLAIN_FULLY_ASSOCIATIVE) && !ex.stacks &&
      !ex.apart)
    fill_own_misses(rows, count);
}

// A reference: the parts apart from the write-backs, then the family,
// which counts them.
void explain_access_store(md_addr_t addr, int store) {
  if (ex.other_parts) explain_reference(addr);
  if (ex.apart) return;
  if (ex.writebacks)
    ex.family.writebacks->access_store(addr, store);
  else
    ex.family.access(addr);
}

static void explain_access(md_addr_t addr) { explain_access_store(addr, 0); }

bool explain_access_at(md_addr_t addr, uint32_t site,
                       void (*access_at)(md_addr_t addr, uint32_t site)) {
  if (ex.writebacks && !ex.apart) return false;
  if (ex.other_parts) explain_reference(addr);
  if (!ex.apart) access_at(addr, site);
  return true;
}

void (*explain_start(unsigned parts,
                     const explained_family &f))(md_addr_t addr) {
  ex.parts = parts;
  ex.family = f;
  parts = needed(parts, f);
  init_stacks(parts);
  ex.other_parts = ex.seen || ex.stacks;
  ex.apart = parts & VANTLE_EXPLAIN_APART;
  ex.writebacks = parts & VANTLE_EXPLAIN_WRITEBACKS;
  if (ex.writebacks) f.writebacks->init();
  return explain_access;
}

void (*explain_store_entry(void))(md_addr_t addr, int store) {
  if (ex.writebacks && !ex.other_parts) return ex.family.writebacks->access_store;
  return explain_access_store;
}
