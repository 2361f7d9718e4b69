// Support routines shared by the library units. State: the shared free list
// of hash records, the fatal hook and where a fatal error's source goes.
#include "libvantle/util.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

static hash_table *uht_free_list;
static fatal_hook_fn hook;
static fatal_where_fn where;

// rtwt arithmetic wraps: a tree that does not keep the counts (the OPT tree)
// lets them drift without bound, and nothing there reads them.
static uint32_t u32(int32_t v) { return static_cast<uint32_t>(v); }

// Right rotation of the subtree at p whose left child is x. p's right
// subtree is unchanged; x gains p and p's right subtree on its right.
static tree_node *rotate_right(tree_node *p) {
  tree_node *x = p->lft;
  p->lft = x->rt;
  x->rt = p;
  x->rtwt = static_cast<int32_t>(u32(x->rtwt) + 1u + u32(p->rtwt));
  return x;
}

// Left rotation of the subtree at p whose right child is x. p keeps only
// x's old left subtree on its right: p->rtwt was 1 + |x.lft| + x->rtwt.
static tree_node *rotate_left(tree_node *p) {
  tree_node *x = p->rt;
  p->rt = x->lft;
  x->lft = p;
  p->rtwt = static_cast<int32_t>(u32(p->rtwt) - 1u - u32(x->rtwt));
  return x;
}

static tree_node *rotate_up(tree_node *parent, tree_node *child) {
  return parent->lft == child ? rotate_right(parent) : rotate_left(parent);
}

void splay(int at, tree_node **p_stack) {
  tree_node *x = p_stack[at];
  tree_node *parent = p_stack[at - 1];
  if (at == 2) {
    p_stack[1] = rotate_up(parent, x);
    return;
  }
  tree_node *grand = p_stack[at - 2];
  bool same_side = (grand->lft == parent) == (parent->lft == x);
  tree_node *top;
  if (same_side) {  // zig-zig: rotate the grandparent first
    top = rotate_up(grand, parent);
    top = rotate_up(top, x);
  } else {  // zig-zag: rotate x over its parent, then over the grandparent
    if (grand->lft == parent)
      grand->lft = rotate_up(parent, x);
    else
      grand->rt = rotate_up(parent, x);
    top = rotate_up(grand, x);
  }
  if (at > 3) {
    tree_node *above = p_stack[at - 3];
    if (above->lft == grand)
      above->lft = top;
    else
      above->rt = top;
  }
  p_stack[at - 2] = top;
}

uint32_t **idim2(int rows, int cols) {
  if (rows < 0 || cols < 0)
    _fatal("util", "idim2", __LINE__, "out of virtual memory");
  auto **table = static_cast<uint32_t **>(checked_calloc(
      rows ? rows : 1, sizeof(uint32_t *), "util", "idim2", __LINE__));
  size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  auto *body = static_cast<uint32_t *>(checked_calloc(
      cells ? cells : 1, sizeof(uint32_t), "util", "idim2", __LINE__));
  for (int r = 0; r < rows; r++) table[r] = body + static_cast<size_t>(r) * cols;
  return table;
}

uint64_t idim2_bytes(int rows, int cols) {
  uint64_t cells = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
  return static_cast<uint64_t>(rows) * sizeof(uint32_t *) +
         cells * sizeof(uint32_t);
}

// Bytes of address space mapped now; 0 when /proc cannot tell.
static uint64_t mapped_bytes() {
  FILE *f = fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long long pages = 0;
  if (fscanf(f, "%llu", &pages) != 1) pages = 0;
  fclose(f);
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

uint64_t memory_available(const char **limit) {
  uint64_t physical = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) *
                      static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  *limit = "physical memory";
  rlimit as;
  if (getrlimit(RLIMIT_AS, &as) != 0 || as.rlim_cur == RLIM_INFINITY)
    return physical;
  uint64_t mapped = mapped_bytes();
  uint64_t room = as.rlim_cur > mapped ? as.rlim_cur - mapped : 0;
  if (room >= physical) return physical;
  *limit = "RLIMIT_AS";
  return room;
}

hash_table *UHT_Get_from_free_list(void) {
  hash_table *record = uht_free_list;
  if (record) uht_free_list = record->nxt;
  return record;
}

void UHT_Add_to_free_list(hash_table *record) {
  record->nxt = uht_free_list;
  uht_free_list = record;
}

void periodic_retime(periodic_marks *m, uint64_t done) {
  m->progress_interval = P_INTERVAL;
  uint64_t interval = static_cast<uint64_t>(P_INTERVAL);
  m->next_progress =
      P_INTERVAL > 0 ? (done / interval + 1) * interval : UINT64_MAX;
}

void periodic_init(periodic_marks *m) {
  periodic_retime(m, 0);
  m->next_save = SAVE_INTERVAL > 0 ? static_cast<uint64_t>(SAVE_INTERVAL)
                                   : UINT64_MAX;
}

// ---------------------------------------------------------------------------
// line_table

enum { kMinTableBits = 10 };

// Fibonacci hashing: the top bits of addr times 2^32 / golden ratio spread
// runs of consecutive lines over the whole table (line_table_prefetch in the
// header hashes alike).
static uint32_t home_slot(const line_table *t, md_addr_t addr) {
  return static_cast<uint32_t>(addr * 2654435769u) >> t->shift;
}

static void allocate_slots(line_table *t, int bits) {
  t->slots = static_cast<line_record *>(checked_calloc(
      size_t{1} << bits, sizeof(line_record), t->unit, "line_table_add",
      __LINE__));
  t->mask = (1u << bits) - 1;
  t->shift = 32 - bits;
  t->count = 0;
}

void line_table_init(line_table *t, const char *unit) {
  t->unit = unit;
  allocate_slots(t, kMinTableBits);
}

line_record *line_table_find(const line_table *t, md_addr_t addr) {
  for (uint32_t i = home_slot(t, addr);; i = (i + 1) & t->mask) {
    line_record *r = &t->slots[i];
    if (!r->used) return nullptr;
    if (r->addr == addr) return r;
  }
}

// Places a copy of record at the end of its probe run.
static line_record *place(line_table *t, const line_record &record) {
  uint32_t i = home_slot(t, record.addr);
  while (t->slots[i].used) i = (i + 1) & t->mask;
  t->slots[i] = record;
  t->count++;
  return &t->slots[i];
}

// Doubles the table. Reinsertion starts just after an empty slot, so that
// every probe run is copied in order and records of one line keep theirs.
static void grow(line_table *t) {
  line_record *old = t->slots;
  uint32_t capacity = t->mask + 1;
  uint32_t start = 0;
  while (old[start].used) start++;  // at most 3/4 of the slots are in use
  allocate_slots(t, 33 - t->shift);
  for (uint32_t k = 1; k <= capacity; k++) {
    const line_record &r = old[(start + k) & (capacity - 1)];
    if (r.used) place(t, r);
  }
  free(old);
}

line_record *line_table_add(line_table *t, md_addr_t addr) {
  if (t->count >= (t->mask + 1) / 4 * 3) {  // load factor at most 3/4
    if (t->shift <= 1)
      _fatal(t->unit, "line_table_add", __LINE__, "out of virtual memory");
    grow(t);
  }
  return place(t, line_record{addr, 0, 0, 1});
}

// Whether slot k lies cyclically in (hole, j]: a record at j whose home is
// there cannot move back into the hole without leaving its probe run.
static bool between(uint32_t hole, uint32_t k, uint32_t j) {
  return hole <= j ? hole < k && k <= j : hole < k || k <= j;
}

// Backward-shift deletion: the records after the hole move back into it
// where their probe runs allow, so that no look-up meets a gap. Records only
// move towards their home, past none of their own line, so order is kept.
void line_table_remove(line_table *t, line_record *r) {
  uint32_t hole = static_cast<uint32_t>(r - t->slots);
  for (uint32_t j = (hole + 1) & t->mask; t->slots[j].used;
       j = (j + 1) & t->mask) {
    if (between(hole, home_slot(t, t->slots[j].addr), j)) continue;
    t->slots[hole] = t->slots[j];
    hole = j;
  }
  t->slots[hole].used = 0;
  t->count--;
}

void line_table_remove_if(line_table *t,
                          bool (*drop)(const line_record *, void *),
                          void *context) {
  // A removal pulls later records back into slot i, so look at it again.
  // Records only move backwards: none is skipped.
  for (uint32_t i = 0; i <= t->mask;) {
    line_record *r = &t->slots[i];
    if (r->used && drop(r, context))
      line_table_remove(t, r);
    else
      i++;
  }
}

// Prints one conversion spec (spec[0] == '%', length len) with its argument
// taken from ap according to the conversion letter and length modifier.
static int print_one(FILE *stream, const char *spec, size_t len, va_list *ap) {
  char fmt[64];
  if (len >= sizeof fmt) return -1;
  memcpy(fmt, spec, len);
  fmt[len] = '\0';
  char conv = fmt[len - 1];
  bool is_long = strstr(fmt, "l") != nullptr;
  bool is_long_long = strstr(fmt, "ll") != nullptr;
  bool is_size = strchr(fmt, 'z') != nullptr;
  switch (conv) {
    case '%':
      return fputs("%", stream) == EOF ? -1 : 1;
    case 'p': {  // a 32-bit target address, in hexadecimal
      fmt[len - 1] = 'x';
      return fprintf(stream, fmt, va_arg(*ap, unsigned int));
    }
    case 'd': case 'i': case 'c':
      if (is_long_long) return fprintf(stream, fmt, va_arg(*ap, long long));
      if (is_long) return fprintf(stream, fmt, va_arg(*ap, long));
      if (is_size) return fprintf(stream, fmt, va_arg(*ap, ptrdiff_t));
      return fprintf(stream, fmt, va_arg(*ap, int));
    case 'u': case 'x': case 'X': case 'o':
      if (is_long_long)
        return fprintf(stream, fmt, va_arg(*ap, unsigned long long));
      if (is_long) return fprintf(stream, fmt, va_arg(*ap, unsigned long));
      if (is_size) return fprintf(stream, fmt, va_arg(*ap, size_t));
      return fprintf(stream, fmt, va_arg(*ap, unsigned int));
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G':
      return fprintf(stream, fmt, va_arg(*ap, double));
    case 's':
      return fprintf(stream, fmt, va_arg(*ap, const char *));
    default:
      return fputs(fmt, stream) == EOF ? -1 : static_cast<int>(len);
  }
}

int myfprintf(FILE *stream, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  int total = 0;
  const char *p = format;
  while (*p) {
    const char *pct = strchr(p, '%');
    size_t plain = pct ? static_cast<size_t>(pct - p) : strlen(p);
    if (plain) {
      fwrite(p, 1, plain, stream);
      total += static_cast<int>(plain);
    }
    if (!pct) break;
    // A conversion runs to its letter; '*' widths are not used.
    size_t len = 1 + strspn(pct + 1, "-+ #0123456789.hlLqjzt");
    if (pct[len] == '\0') {
      total += fputs(pct, stream) == EOF ? 0 : static_cast<int>(strlen(pct));
      break;
    }
    len += 1;
    int n = print_one(stream, pct, len, &ap);
    if (n > 0) total += n;
    p = pct + len;
  }
  va_end(ap);
  return total;
}

void fatal_hook(fatal_hook_fn fn) { hook = fn; }

void fatal_where(fatal_where_fn fn) { where = fn; }

void _fatal(const char *file, const char *func, int line, const char *fmt,
            ...) {
  va_list ap;
  va_start(ap, fmt);
  fflush(stdout);
  fprintf(stderr, "fatal: ");
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  if (where) {
    fputc('\n', stderr);
    where(file, func, line);
  } else {
    fprintf(stderr, " [%s:%s, line %d]\n", file, func, line);
  }
  fatal_hook_fn run = hook;
  hook = nullptr;  // a fatal error inside the hook must not loop
  if (run) run(stderr);
  exit(1);
}

void *checked_calloc(size_t count, size_t size, const char *unit,
                     const char *func, int line) {
  if (size != 0 && count > SIZE_MAX / size)
    _fatal(unit, func, line, "out of virtual memory");
  void *p = calloc(count, size);
  if (!p && count != 0 && size != 0)
    _fatal(unit, func, line, "out of virtual memory");
  return p;
}

void report_second_record(const char *noun, md_addr_t addr, uint32_t t_entries,
                          int prty, md_addr_t first_addr, int first_prty) {
  fprintf(stderr, "libvantle: %s already in hash table\n", noun);
  myfprintf(stderr, "addr: 0x%p; t_entries: %u; prty: %d\n", addr, t_entries,
            prty);
  myfprintf(stderr, "slot addr: 0x%p; prty: %d\n", first_addr, first_prty);
}

vantle_result result_row(int organisation, int policy, uint32_t line_size,
                         uint32_t sets, uint32_t associativity,
                         uint64_t cache_size, uint64_t references,
                         uint64_t hits) {
  vantle_result row;
  row.organisation = organisation;
  row.policy = policy;
  row.line_size = line_size;
  row.sets = sets;
  row.associativity = associativity;
  row.cache_size = cache_size;
  row.references = references;
  row.hits = hits;
  row.miss_ratio = 1.0 - static_cast<double>(hits) / references;
  return row;
}

// The report step in lines. The front end makes it at least one line; a
// direct caller that left it at 0 gets every size rather than a division
// by zero.
static uint32_t fa_report_step() {
  return MISS_RATIO_INTERVAL > 0 ? static_cast<uint32_t>(MISS_RATIO_INTERVAL)
                                 : 1;
}

void print_fa_report(FILE *fd, const fa_histogram &h,
                     const char *distinct_label, const char *ending) {
  fprintf(fd, "Addresses processed : %u\n", h.references);
  fprintf(fd, "Line size : %d bytes \n", 1 << L);
  fprintf(fd, "%s  %u\n", distinct_label, h.distinct);
  fprintf(fd, "Cache size (bytes)\tMiss Ratio\n");
  uint32_t stack_end = MAX_LINES < h.distinct ? MAX_LINES : h.distinct;
  uint32_t step = fa_report_step();
  uint32_t sum = 0;
  double refs = static_cast<double>(h.references);
  for (uint32_t i = 1; i <= stack_end; i++) {
    sum += h.hits[i];
    if (i % step == 0)
      fprintf(fd, "%u\t\t\t%1.6f\n", i << L, 1.0 - sum / refs);
  }
  // Every position seen is within the table: the rest is first references.
  if (stack_end == h.distinct)
    fprintf(fd, "Miss ratio is %f for all bigger caches\n", 1.0 - sum / refs);
  fputs(ending, fd);
}

int fa_results(vantle_result *rows, int capacity, const fa_histogram &h,
               int policy) {
  uint32_t step = fa_report_step();
  int count = static_cast<int>(MAX_LINES / step);
  uint64_t sum = 0;
  int filled = 0;
  // Positions never exceed the lines seen, so past them the sum stays whole.
  for (uint32_t i = 1; i <= MAX_LINES && filled < capacity; i++) {
    sum += h.hits[i];
    if (i % step == 0)
      rows[filled++] = result_row(VANTLE_FULLY_ASSOCIATIVE, policy, 1u << L,
                                  0, 0, static_cast<uint64_t>(i) << L,
                                  h.references, sum);
  }
  return count;
}

void print_sa_report(FILE *fd, uint32_t references, uint32_t *const *hits,
                     int rows, int ways) {
  fprintf(fd, "Addresses processed: %u\n", references);
  fprintf(fd, "Line size: %d bytes\n", 1 << L);
  fprintf(fd, "\n");
  fprintf(fd, "Miss Ratios\n");
  fprintf(fd, "___________\n\n");
  fprintf(fd, "\t\tAssociativity\n");
  fprintf(fd, "\t\t");
  for (int k = 1; k <= ways; k++) fprintf(fd, "%d\t\t", k);
  fprintf(fd, "\n");
  fprintf(fd, "No. of sets\n");
  for (int r = 0; r < rows; r++) {
    fprintf(fd, "%d\t\t", 1 << (r + A));
    uint64_t sum = 0;
    for (int j = 0; j < ways; j++) {
      sum += hits[r][j];
      if (references == 0)
        fprintf(fd, "nan\t");  // no reference yet: undefined, and says so
      else
        fprintf(fd, "%f\t", 1.0 - static_cast<double>(sum) / references);
    }
    fprintf(fd, "\n");
  }
  fprintf(fd, "\n\n\n");
}
