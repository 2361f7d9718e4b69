// Support routines of the library units and the tool set: the splay step of
// the trees, zero-filled tables, the memory the process may still take, the
// shared free list of hash records, formatted output with 32-bit "%p"
// addresses and the fatal path. State: the free list, the fatal hook and
// where a fatal error's source goes.
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

// A zero-filled rows x cols table of cells of `size' bytes: the row
// pointers, then the body they point into.
static void **table2(int rows, int cols, size_t size, const char *func) {
  if (rows < 0 || cols < 0)
    _fatal("util", func, __LINE__, "out of virtual memory");
  auto **table = static_cast<char **>(checked_calloc(
      rows ? rows : 1, sizeof(char *), "util", func, __LINE__));
  size_t cells = static_cast<size_t>(rows) * static_cast<size_t>(cols);
  auto *body = static_cast<char *>(
      checked_calloc(cells ? cells : 1, size, "util", func, __LINE__));
  for (int r = 0; r < rows; r++)
    table[r] = body + static_cast<size_t>(r) * cols * size;
  return reinterpret_cast<void **>(table);
}

uint32_t **idim2(int rows, int cols) {
  return reinterpret_cast<uint32_t **>(
      table2(rows, cols, sizeof(uint32_t), "idim2"));
}

uint64_t **idim2_wide(int rows, int cols) {
  return reinterpret_cast<uint64_t **>(
      table2(rows, cols, sizeof(uint64_t), "idim2_wide"));
}

uint64_t idim2_bytes(int rows, int cols) {
  uint64_t cells = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
  return static_cast<uint64_t>(rows) * sizeof(uint32_t *) +
         cells * sizeof(uint32_t);
}

uint64_t idim2_wide_bytes(int rows, int cols) {
  return idim2_bytes(rows, cols) +
         static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols) *
             (sizeof(uint64_t) - sizeof(uint32_t));
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

