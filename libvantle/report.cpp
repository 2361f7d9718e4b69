// The reports and result rows shared by the families: the fully- and
// set-associative miss-ratio tables from a family's hit counts, the rows
// of vantle_results, and the unknown-priority tables' diagnostic. Owns no
// state; reads L, A, MAX_LINES and MISS_RATIO_INTERVAL.
#include "libvantle/report.h"

#include "libvantle/util.h"

void report_second_record(const char *noun, md_addr_t addr, uint64_t t_entries,
                          int64_t prty, md_addr_t first_addr,
                          int64_t first_prty) {
  fprintf(stderr, "libvantle: %s already in hash table\n", noun);
  myfprintf(stderr, "addr: 0x%p; t_entries: %llu; prty: %lld\n", addr,
            static_cast<unsigned long long>(t_entries),
            static_cast<long long>(prty));
  myfprintf(stderr, "slot addr: 0x%p; prty: %lld\n", first_addr,
            static_cast<long long>(first_prty));
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

void depth_counts_init(depth_counts *c, size_t size, const char *unit) {
  c->low = static_cast<uint32_t *>(
      checked_calloc(size, sizeof(uint32_t), unit, "depth_counts_init",
                     __LINE__));
  c->high = nullptr;
  c->size = size;
  c->unit = unit;
}

void depth_counts_carry(depth_counts *c, size_t d) {
  if (!c->high)
    c->high = static_cast<uint32_t *>(checked_calloc(
        c->size, sizeof(uint32_t), c->unit, "depth_counts_carry", __LINE__));
  c->high[d]++;
}

void depth_counts_add_many(depth_counts *c, size_t d, uint64_t n) {
  uint64_t sum = depth_count(c, d) + n;
  c->low[d] = static_cast<uint32_t>(sum);
  if (sum >> 32) {
    if (!c->high) depth_counts_carry(c, d);
    c->high[d] = static_cast<uint32_t>(sum >> 32);
  }
}

// The front end makes the step at least one line; a direct caller that
// left it at 0 gets every size rather than a division by zero.
uint32_t fa_report_step() {
  return MISS_RATIO_INTERVAL > 0 ? static_cast<uint32_t>(MISS_RATIO_INTERVAL)
                                 : 1;
}

void print_fa_report(FILE *fd, const fa_histogram &h,
                     const char *distinct_label, const char *ending) {
  fprintf(fd, "Addresses processed : %llu\n",
          static_cast<unsigned long long>(h.references));
  fprintf(fd, "Line size : %d bytes \n", 1 << L);
  fprintf(fd, "%s  %llu\n", distinct_label,
          static_cast<unsigned long long>(h.distinct));
  fprintf(fd, "Cache size (bytes)\tMiss Ratio\n");
  uint32_t stack_end =
      MAX_LINES < h.distinct ? MAX_LINES : static_cast<uint32_t>(h.distinct);
  uint32_t step = fa_report_step();
  uint64_t sum = 0;
  double refs = static_cast<double>(h.references);
  for (uint32_t i = 1; i <= stack_end; i++) {
    sum += depth_count(h.hits, i);
    if (i % step == 0)
      fprintf(fd, "%u\t\t\t%1.6f\n", i << L, 1.0 - static_cast<double>(sum) / refs);
  }
  // Every position seen is within the table: the rest is first references.
  if (stack_end == h.distinct)
    fprintf(fd, "Miss ratio is %f for all bigger caches\n",
            1.0 - static_cast<double>(sum) / refs);
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
    sum += depth_count(h.hits, i);
    if (i % step == 0)
      rows[filled++] = result_row(VANTLE_FULLY_ASSOCIATIVE, policy, 1u << L,
                                  0, 0, static_cast<uint64_t>(i) << L,
                                  h.references, sum);
  }
  return count;
}

void print_sa_report(FILE *fd, uint64_t references, uint64_t *const *hits,
                     int rows, int ways) {
  fprintf(fd, "Addresses processed: %llu\n",
          static_cast<unsigned long long>(references));
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
        fprintf(fd, "%f\t", 1.0 - static_cast<double>(sum) /
                                     static_cast<double>(references));
    }
    fprintf(fd, "\n");
  }
  fprintf(fd, "\n\n\n");
}

uint32_t sa_site_width(int rows, uint32_t ways) {
  return static_cast<uint32_t>(rows) * ways + static_cast<uint32_t>(rows);
}

void sa_site_hits(const uint64_t *counts, int rows, uint32_t ways,
                  vantle_result *out, int count) {
  const uint64_t *head_from = counts + static_cast<size_t>(rows) * ways;
  uint64_t at_head = 0;
  int n = 0;
  for (int r = 0; r < rows; r++) {
    at_head += head_from[r];
    uint64_t sum = at_head;
    for (uint32_t j = 0; j < ways; j++, n++) {
      sum += counts[static_cast<size_t>(r) * ways + j];
      if (n < count) out[n].hits = sum;
    }
  }
}

fa_site_shape fa_site;

uint32_t fa_site_width() {
  uint32_t step = fa_report_step(), rows = MAX_LINES / step;
  bool power_of_two = (step & (step - 1)) == 0;
  fa_site = {uint64_t{rows} * step, step,
             power_of_two ? __builtin_ctz(step) : -1};
  return rows;
}

void fa_site_hits(const uint64_t *counts, vantle_result *out, int count) {
  uint64_t sum = 0;
  for (int k = 0; k < count; k++) {
    sum += counts[k];
    out[k].hits = sum;
  }
}
