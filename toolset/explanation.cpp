// -explain (explanation.h): the three Cs, the gap to OPT and the
// write-back traffic of every configuration of a family, combined from
// what the family and its companions counted, and the table that shows
// them after the family's report. Owns nothing.
#include "toolset/explanation.h"

#include <string.h>

#include <string>
#include <vector>

#include "libvantle/frontend.h"

namespace {

const uint64_t kNot = VANTLE_NOT_COUNTED;

uint64_t misses(const vantle_result &r) { return r.references - r.hits; }

// The row's count of this field, from the family's own explanation when
// it has one there, else from the companion's.
uint64_t counted(const ex_sources *s, int k, uint64_t vantle_explained::*field) {
  if (k < s->own_count && s->own[k].*field != kNot) return s->own[k].*field;
  if (k < s->three_cs_count) return s->three_cs[k].*field;
  return kNot;
}

// One column of the table: its heading and its cells, right-aligned.
struct Column {
  std::string heading;
  std::vector<std::string> cells;
  size_t width() const {
    size_t w = heading.size();
    for (const std::string &c : cells) w = std::max(w, c.size());
    return w;
  }
};

std::string number(uint64_t v) { return std::to_string(v); }

// The columns that say which configuration a row is.
void add_configuration(std::vector<Column> *table, const vantle_result *rows,
                       int count) {
  int organisation = rows[0].organisation;
  if (organisation == VANTLE_SET_ASSOCIATIVE) {
    Column sets{"sets", {}}, ways{"ways", {}};
    for (int k = 0; k < count; k++) {
      sets.cells.push_back(number(rows[k].sets));
      ways.cells.push_back(number(rows[k].associativity));
    }
    table->push_back(sets);
    table->push_back(ways);
  }
  Column size{organisation == VANTLE_DIRECT_MAPPED ? "line size" : "cache size",
              {}};
  for (int k = 0; k < count; k++)
    size.cells.push_back(number(organisation == VANTLE_DIRECT_MAPPED
                                    ? rows[k].line_size
                                    : rows[k].cache_size));
  table->push_back(size);
}

// A column of the rows' field, when every row has it counted.
void add_counted(std::vector<Column> *table, const char *heading,
                 const explained_row *x, int count,
                 uint64_t explained_row::*field) {
  Column c{heading, {}};
  for (int k = 0; k < count; k++) {
    if (x[k].*field == kNot) return;
    c.cells.push_back(number(x[k].*field));
  }
  table->push_back(c);
}

void put_table(FILE *to, const std::vector<Column> &table, int count) {
  std::vector<size_t> widths;
  for (const Column &c : table) widths.push_back(c.width());
  for (size_t i = 0; i < table.size(); i++)
    fprintf(to, "%s%*s", i ? "  " : "", static_cast<int>(widths[i]),
            table[i].heading.c_str());
  fputc('\n', to);
  for (int k = 0; k < count; k++) {
    for (size_t i = 0; i < table.size(); i++)
      fprintf(to, "%s%*s", i ? "  " : "", static_cast<int>(widths[i]),
              table[i].cells[k].c_str());
    fputc('\n', to);
  }
}

}  // namespace

void ex_combine(const ex_sources *s, explained_row *out) {
  for (int k = 0; k < s->count; k++) {
    const vantle_result &r = s->rows[k];
    explained_row &x = out[k];
    x = {kNot, kNot, 0, kNot, kNot, kNot, kNot};
    uint64_t first = counted(s, k, &vantle_explained::compulsory);
    uint64_t fa = counted(s, k, &vantle_explained::fully_associative_misses);
    if (first != kNot && fa != kNot) {
      x.compulsory = first;
      x.capacity = fa - first;
      x.conflict = static_cast<int64_t>(misses(r) - fa);
    }
    if (k < s->opt_count) x.opt_misses = misses(s->opt[k]);
    if (k < s->own_count && s->own[k].writebacks != kNot) {
      x.writebacks = s->own[k].writebacks;
      x.bytes_to_memory = x.writebacks * r.line_size;
      x.dirty_at_end = s->own[k].dirty_at_end;
    }
  }
}

void ex_print(FILE *to, const vantle_result *rows, const explained_row *x,
              int count) {
  if (count == 0) return;
  int organisation = rows[0].organisation;
  fprintf(to, "\nsim: misses explained: %s caches\n", family_name(rows));
  std::vector<Column> table;
  add_configuration(&table, rows, count);
  Column all{"misses", {}};
  for (int k = 0; k < count; k++) all.cells.push_back(number(misses(rows[k])));
  table.push_back(all);
  bool three_cs = x[0].compulsory != kNot, negative = false;
  if (three_cs) {
    add_counted(&table, "compulsory", x, count, &explained_row::compulsory);
    add_counted(&table, "capacity", x, count, &explained_row::capacity);
    Column conflict{"conflict", {}};
    for (int k = 0; k < count; k++) {
      conflict.cells.push_back(std::to_string(x[k].conflict));
      negative = negative || x[k].conflict < 0;
    }
    table.push_back(conflict);
    fprintf(to, "sim: compulsory: first references to a line; capacity: "
                "misses of the fully-associative LRU cache of the same size, "
                "less compulsory; conflict: the rest%s\n",
            negative ? " (negative where a cache misses less than that one)"
                     : "");
  }
  if (x[0].opt_misses != kNot) {
    const char *opt = vantle_policy_name(organisation, VANTLE_OPT);
    add_counted(&table, opt, x, count, &explained_row::opt_misses);
    Column gap{"LRU - " + std::string(opt), {}};
    for (int k = 0; k < count; k++)
      gap.cells.push_back(number(misses(rows[k]) - x[k].opt_misses));
    table.push_back(gap);
    fprintf(to, "sim: %s: misses of the same cache under optimal "
                "replacement%s\n", opt,
            organisation == VANTLE_SET_ASSOCIATIVE
                ? " with bypass (a missing line need not be loaded)"
                : "");
  }
  if (x[0].writebacks != kNot) {
    add_counted(&table, "write-backs", x, count, &explained_row::writebacks);
    add_counted(&table, "bytes to memory", x, count,
                &explained_row::bytes_to_memory);
    add_counted(&table, "dirty at end", x, count,
                &explained_row::dirty_at_end);
    fprintf(to, "sim: write-back, write-allocate caches: write-backs are "
                "dirty lines evicted, bytes to memory their bytes; lines "
                "still dirty after the last reference are apart\n");
  } else if (rows[0].policy == VANTLE_OPT &&
             organisation != VANTLE_DIRECT_MAPPED) {
    fprintf(to, "sim: write-backs are not counted for OPT replacement\n");
  }
  put_table(to, table, count);
}
