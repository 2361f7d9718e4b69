// Support routines and shared records of the library units: the splay step
// of the LRU and OPT trees, zero-filled tables, the shared free list of hash
// records, formatted output with 32-bit "%p" addresses, and the fatal-error
// routine with its hook.
#ifndef VANTLE_LIBVANTLE_UTIL_H_
#define VANTLE_LIBVANTLE_UTIL_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"

// One entry of a simulator's tree. Each unit says what the fields mean there.
struct tree_node {
  md_addr_t addr;
  uint32_t inum;
  int32_t grpno;
  int32_t prty;
  int32_t rtwt;  // number of nodes in the right subtree (LRU tree)
  tree_node *lft;
  tree_node *rt;
};

// One record of a unit's hash table (bucket heads live inside the table).
struct hash_table {
  md_addr_t addr;
  int32_t grptime;
  int32_t prty;
  int32_t inum;
  hash_table *nxt;
};

// One record of a line_table: a line address and two 32-bit fields whose
// meaning the owning unit gives.
struct line_record {
  md_addr_t addr;
  int32_t a;
  int32_t b;
  uint32_t used;  // non-zero while the slot holds a record
};

// The library's one hash table keyed by line address: open addressing with
// linear probing over a power-of-two array that doubles before it is three
// quarters full, so that a look-up costs a few probes whatever the working
// set, and the table stays small enough to keep in the cache. A
// line may have several records; they keep the order in which they came.
struct line_table {
  line_record *slots;
  uint32_t mask;     // capacity - 1
  int shift;         // 32 - log2(capacity), for multiply-shift hashing
  uint32_t count;    // records held
  const char *unit;  // owner, named in out-of-memory messages
};

// Readies an empty table; unit names the owner in out-of-memory messages.
void line_table_init(line_table *t, const char *unit);
// The oldest record of addr, or null.
line_record *line_table_find(const line_table *t, md_addr_t addr);
// Appends a record of addr (after any older ones), fields zero, and returns
// it; the pointer stays valid until the next add or remove. Grows the table
// as needed, ending through _fatal when memory is out.
line_record *line_table_add(line_table *t, md_addr_t addr);
// Removes the record r points at.
void line_table_remove(line_table *t, line_record *r);
// Starts loading the slot where a look-up of addr begins.
static inline void line_table_prefetch(const line_table *t, md_addr_t addr) {
  __builtin_prefetch(
      &t->slots[static_cast<uint32_t>(addr * 2654435769u) >> t->shift]);
}
// Removes every record for which drop(record, context) is true.
void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context);

// The periodic output of a simulator: a progress line at every multiple of
// P_INTERVAL references, and an interim report whenever the count passes
// the save time, which then moves on by SAVE_INTERVAL. Counted up to rather
// than divided, in 64 bits so that no sum of intervals wraps; an interval
// that is not positive turns its output off. A P_INTERVAL changed after
// initialisation is followed from the next reference on.
struct periodic_marks {
  uint64_t next_progress;  // UINT64_MAX: no progress lines
  uint64_t next_save;      // UINT64_MAX: no interim reports
  int progress_interval;   // the P_INTERVAL that next_progress follows
};

// Readies the marks for a count of 0 from P_INTERVAL and SAVE_INTERVAL.
void periodic_init(periodic_marks *m);
// Sets next_progress to the first multiple of P_INTERVAL above done.
void periodic_retime(periodic_marks *m, uint64_t done);

// Whether a progress line is due at count, a count just reached.
static inline bool progress_due(periodic_marks *m, uint64_t count) {
  if (__builtin_expect(P_INTERVAL != m->progress_interval, 0))
    periodic_retime(m, count - 1);
  if (__builtin_expect(count != m->next_progress, 1)) return false;
  m->next_progress += static_cast<uint64_t>(m->progress_interval);
  return true;
}

// Whether count has passed the save time; if so the save time moves on.
static inline bool save_due(periodic_marks *m, uint64_t count) {
  if (__builtin_expect(count <= m->next_save, 1)) return false;
  m->next_save = SAVE_INTERVAL > 0
                     ? m->next_save + static_cast<uint64_t>(SAVE_INTERVAL)
                     : UINT64_MAX;
  return true;
}

// Lifts p_stack[at] two levels by a splay double rotation (one level when at
// is 2), relinks it into p_stack[at-3] when at > 3 and stores it in
// p_stack[at-2] (p_stack[1] when at is 2). p_stack[1] is the root of the tree
// handed over and each p_stack[k+1] a child of p_stack[k]. Keeps the in-order
// sequence and every rtwt equal to the size of the node's right subtree.
void splay(int at, tree_node **p_stack);

// Returns a zero-filled rows x cols table of unsigned 32-bit counters,
// indexed [row][col]. Ends the process through _fatal when memory is out.
uint32_t **idim2(int rows, int cols);
// Bytes idim2(rows, cols) allocates.
uint64_t idim2_bytes(int rows, int cols);

// Bytes the process may still allocate: the smaller of physical memory and
// the room RLIMIT_AS leaves above what is mapped now; *limit names which.
uint64_t memory_available(const char **limit);

// The one free list of hash_table records that every unit shares: returns a
// recycled record, or null when the list is empty.
hash_table *UHT_Get_from_free_list(void);
// Pushes a record that the caller has unlinked.
void UHT_Add_to_free_list(hash_table *record);

// fprintf, except that each "%p" takes a 32-bit address (md_addr_t) and
// prints it in hexadecimal.
int myfprintf(FILE *stream, const char *format, ...);

// Hook called by _fatal with stderr before the process ends.
typedef void (*fatal_hook_fn)(FILE *stream);
// Takes the source unit, function and line of a fatal error.
typedef void (*fatal_where_fn)(const char *unit, const char *func, int line);

extern "C" {
// Writes "fatal: <message>" with the unit, function and line to stderr,
// calls the installed hook, and ends the process with status 1.
[[noreturn]] void _fatal(const char *file, const char *func, int line,
                         const char *fmt, ...);
// Installs the hook that _fatal calls.
void fatal_hook(fatal_hook_fn fn);
// Makes _fatal end its line after the message and hand the unit, function
// and line to fn instead; null (the default) writes them after the message.
void fatal_where(fatal_where_fn fn);
}

// calloc(count, size) for a unit's tables and records; on failure (or a size
// that does not fit the address space) ends the process through _fatal with
// the unit, the function, the line and "out of virtual memory".
void *checked_calloc(size_t count, size_t size, const char *unit,
                     const char *func, int line);

// The three stderr lines of an unknown-priority table that records a line
// twice: "libvantle: <noun> already in hash table", the line with the time
// and the earlier record's priority, then the bucket's first record.
void report_second_record(const char *noun, md_addr_t addr, uint32_t t_entries,
                          int prty, md_addr_t first_addr, int first_prty);

// One row of vantle_results, with miss_ratio = 1 - hits / references computed
// in double precision as the reports do (NaN when references is 0).
vantle_result result_row(int organisation, int policy, uint32_t line_size,
                         uint32_t sets, uint32_t associativity,
                         uint64_t cache_size, uint64_t references,
                         uint64_t hits);

// Writes the miss-ratio table that the set-associative LRU and OPT families
// share: the header lines, one column per associativity 1..ways and one row
// per set count 2^A.. (rows of them), each ratio from the running sum of
// hits[row][0..j]. With no reference every ratio reads "nan".
void print_sa_report(FILE *fd, uint32_t references, uint32_t *const *hits,
                     int rows, int ways);

// The histogram of a fully-associative family: hits[d], for d from 1 to
// MAX_LINES, counts the references that hit at stack position d.
struct fa_histogram {
  const uint32_t *hits;
  uint32_t references;
  uint32_t distinct;  // lines that entered the stack, as the family counts
};

// Writes the fully-associative miss-ratio report: the header lines (the
// distinct count under distinct_label), one line per multiple of the report
// step up to the largest cache or the distinct count, the "all bigger
// caches" line when every line seen fits, then ending.
void print_fa_report(FILE *fd, const fa_histogram &h,
                     const char *distinct_label, const char *ending);

// vantle_results for a fully-associative family of the given policy: one
// row per multiple of the report step up to MAX_LINES.
int fa_results(vantle_result *rows, int capacity, const fa_histogram &h,
               int policy);

#endif  // VANTLE_LIBVANTLE_UTIL_H_
