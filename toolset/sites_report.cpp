// Per-site results, grouped and written (sites_report.h): the sum of each
// function's (or source line's) sites per member of the family, the member
// -sites:at names, the report section of the functions that miss most and
// the -out:sites table in CSV and JSON. Owns nothing past a call.
#include "toolset/sites_report.h"

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <map>

#include "misc.h"

namespace {

uint64_t misses(const vantle_result &r) { return r.references - r.hits; }

double ratio(uint64_t references, uint64_t hits) {
  return references
             ? 1.0 - static_cast<double>(hits) / static_cast<double>(references)
             : NAN;
}

// The order of the section and the table: most misses first; ties by
// name, so that a run prints what the run before it printed.
bool misses_more(const function_rows &a, const function_rows &b, int member) {
  uint64_t ma = misses(a.rows[member]), mb = misses(b.rows[member]);
  if (ma != mb) return ma > mb;
  if (a.name.function != b.name.function)
    return a.name.function < b.name.function;
  if (a.name.module != b.name.module) return a.name.module < b.name.module;
  if (a.name.file != b.name.file) return a.name.file < b.name.file;
  return a.name.line < b.name.line;
}

// A size as the report writes it: "512 B", "32 KiB", "4 MiB", "1 GiB".
std::string size_text(uint64_t bytes) {
  const char *units[] = {"B", "KiB", "MiB", "GiB"};
  int u = 0;
  while (u < 3 && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    u++;
  }
  return std::to_string(bytes) + " " + units[u];
}

// The size in text: digits, then nothing, "K", "KiB", "M" or "MiB"; 0
// when it is not one.
uint64_t parse_size(const char *text) {
  char *end;
  if (!isdigit(static_cast<unsigned char>(*text))) return 0;
  unsigned long long n = strtoull(text, &end, 10);
  uint64_t unit = 1;
  if (*end == 'K' || *end == 'k') unit = 1024;
  if (*end == 'M') unit = 1024 * 1024;
  if (unit > 1) end += end[1] == 'i' && end[2] == 'B' ? 3 : 1;
  if (*end == 'B' && unit == 1) end++;
  if (*end || n > UINT64_MAX / unit) return 0;
  return n * unit;
}

// The first row of the smallest cache.
int smallest_member(const vantle_result *rows, int members) {
  int best = 0;
  for (int k = 1; k < members; k++)
    if (rows[k].cache_size < rows[best].cache_size) best = k;
  return best;
}

// The last row of the largest cache.
int largest_member(const vantle_result *rows, int members) {
  int best = 0;
  for (int k = 1; k < members; k++)
    if (rows[k].cache_size >= rows[best].cache_size) best = k;
  return best;
}

std::string sets_ways(const vantle_result &r) {
  return std::to_string(r.sets) + "x" + std::to_string(r.associativity);
}

// The member of the size, or -1 with the reason.
int member_of_size(uint64_t size, const vantle_result *rows, int members,
                   std::string *error) {
  std::vector<int> found;
  for (int k = 0; k < members; k++)
    if (rows[k].cache_size == size) found.push_back(k);
  if (found.size() == 1) return found[0];
  *error =
      found.empty() ? "no member of the family is " : "several members are ";
  *error += size_text(size);
  for (int k : found) {
    *error += k == found[0] ? ": " : ", ";
    if (rows[k].organisation != VANTLE_SET_ASSOCIATIVE) *error += '#';
    *error += rows[k].organisation == VANTLE_SET_ASSOCIATIVE
                  ? sets_ways(rows[k])
                  : std::to_string(k + 1);
  }
  if (!found.empty()) *error += "; name one of them";
  return -1;
}

}  // namespace

std::vector<function_rows> group_sites(const site_name *names,
                                       const vantle_result *rows, size_t count,
                                       int members, int member, bool by_line) {
  std::vector<function_rows> groups;
  std::map<std::string, size_t> index;
  for (size_t s = 0; s < count; s++) {
    const site_name &n = names[s];
    std::string key = n.module + '\0' + n.function;
    if (by_line) key += '\0' + n.file + '\0' + std::to_string(n.line);
    auto [it, added] = index.emplace(key, groups.size());
    if (added) {
      site_name kept = n;
      if (!by_line) {
        kept.file.clear();
        kept.line = 0;
      }
      groups.push_back(
          {kept, std::vector<vantle_result>(rows + s * members,
                                            rows + (s + 1) * members)});
      continue;
    }
    std::vector<vantle_result> &sum = groups[it->second].rows;
    for (int k = 0; k < members; k++) {
      sum[k].references += rows[s * members + k].references;
      sum[k].hits += rows[s * members + k].hits;
    }
  }
  for (function_rows &g : groups)
    for (vantle_result &r : g.rows) r.miss_ratio = ratio(r.references, r.hits);
  if (member >= 0 && member < members)
    std::sort(groups.begin(), groups.end(),
              [member](const function_rows &a, const function_rows &b) {
                return misses_more(a, b, member);
              });
  return groups;
}

int sites_member(const char *at, const vantle_result *rows, int members,
                 std::string *error) {
  if (members <= 0) {
    *error = "the family has no member";
    return -1;
  }
  if (!at || !*at || strcmp(at, "largest") == 0)
    return largest_member(rows, members);
  char *end;
  if (at[0] == '#') {
    long n = strtol(at + 1, &end, 10);
    if (end != at + 1 && !*end && n >= 1 && n <= members) return int(n - 1);
    *error = std::string("no row ") + at + ": the family has rows #1 to #" +
             std::to_string(members);
    return -1;
  }
  if (const char *x = strchr(at, 'x')) {
    unsigned long sets = strtoul(at, &end, 10);
    bool parsed = end == x && isdigit(static_cast<unsigned char>(*at));
    unsigned long ways = strtoul(x + 1, &end, 10);
    parsed = parsed && end != x + 1 && !*end;
    for (int k = 0; parsed && k < members; k++)
      if (rows[k].organisation == VANTLE_SET_ASSOCIATIVE &&
          rows[k].sets == sets && rows[k].associativity == ways)
        return k;
    *error = parsed ? std::string("no member of the family has ") + at +
                          " (sets x ways)"
                    : std::string(at) + ": not SETSxWAYS, e.g. 64x8";
    return -1;
  }
  if (uint64_t size = parse_size(at))
    return member_of_size(size, rows, members, error);
  *error = std::string("not a member: ") + at +
           " (give #N, SETSxWAYS such as 64x8, or a size such as 32KiB)";
  return -1;
}

std::string member_label(const vantle_result &r) {
  std::string size = size_text(r.cache_size);
  std::string line = std::to_string(r.line_size) + "-byte lines";
  switch (r.organisation) {
    case VANTLE_SET_ASSOCIATIVE:
      return std::to_string(r.sets) + (r.sets == 1 ? " set x " : " sets x ") +
             std::to_string(r.associativity) +
             (r.associativity == 1 ? " way (" : " ways (") + size + ", " +
             line + ")";
    case VANTLE_DIRECT_MAPPED:
      return size + ", " + line;
    default:
      return size + " (" + line + ")";
  }
}

namespace {

const size_t kTop = 20;         // groups in the report section
const size_t kWidestName = 60;  // a longer function name is cut there

std::string cut(const std::string &text) {
  return text.size() <= kWidestName ? text
                                    : text.substr(0, kWidestName - 3) + "...";
}

std::string ratio_text(double r) {
  char text[32];
  snprintf(text, sizeof text, isnan(r) ? "-" : "%.4f", r);
  return text;
}

// One column of the section: its heading, its cells, which side it keeps.
struct Column {
  std::string heading;
  bool left;
  std::vector<std::string> cells;
};

void put_columns(FILE *out, const std::vector<Column> &table) {
  std::vector<int> widths;
  for (const Column &c : table) {
    size_t w = c.heading.size();
    for (const std::string &cell : c.cells) w = std::max(w, cell.size());
    widths.push_back(static_cast<int>(w));
  }
  size_t rows = table.empty() ? 0 : table[0].cells.size();
  for (size_t k = 0; k <= rows; k++) {
    for (size_t i = 0; i < table.size(); i++) {
      const std::string &text = k ? table[i].cells[k - 1] : table[i].heading;
      bool last = i + 1 == table.size();
      fprintf(out, "%s%*s", i ? "  " : "",
              table[i].left && !last ? -widths[i] : widths[i], text.c_str());
    }
    fputc('\n', out);
  }
}

}  // namespace

void write_sites_report(FILE *out, const std::vector<function_rows> &groups,
                        int member, bool by_line) {
  if (groups.empty() || member < 0 ||
      member >= static_cast<int>(groups[0].rows.size()))
    return;
  const std::vector<vantle_result> &family = groups[0].rows;
  int members = static_cast<int>(family.size());
  int smallest = smallest_member(family.data(), members);
  int largest = largest_member(family.data(), members);
  uint64_t all = 0;
  for (const function_rows &g : groups) all += misses(g.rows[member]);
  size_t shown = std::min(groups.size(), kTop);
  fprintf(out, "\nsim: misses by %s at %s%s: the %zu of %zu that miss most\n",
          by_line ? "source line" : "function",
          member_label(family[member]).c_str(),
          member == largest ? ", the largest cache" : "", shown, groups.size());
  fprintf(out,
          "sim: miss ratio at the smallest cache, %s, at the chosen "
          "one and at the largest, %s\n",
          member_label(family[smallest]).c_str(),
          member_label(family[largest]).c_str());
  std::vector<Column> table = {{"function", true, {}}, {"module", true, {}}};
  if (by_line) table.push_back({"source", true, {}});
  for (const char *h :
       {"references", "misses", "share", "smallest", "chosen", "largest"})
    table.push_back({h, false, {}});
  for (size_t i = 0; i < shown; i++) {
    const function_rows &g = groups[i];
    const vantle_result &r = g.rows[member];
    std::vector<std::string> cells = {
        cut(g.name.function),
        g.name.module.empty() ? "-" : base_name(g.name.module.c_str())};
    if (by_line)
      cells.push_back(g.name.file.empty()
                          ? "-"
                          : std::string(base_name(g.name.file.c_str())) + ":" +
                                std::to_string(g.name.line));
    char share[32] = "-";
    if (all)
      snprintf(
          share, sizeof share, "%.1f%%",
          100.0 * static_cast<double>(misses(r)) / static_cast<double>(all));
    for (const std::string &c :
         {std::to_string(r.references), std::to_string(misses(r)),
          std::string(share), ratio_text(g.rows[smallest].miss_ratio),
          ratio_text(r.miss_ratio), ratio_text(g.rows[largest].miss_ratio)})
      cells.push_back(c);
    for (size_t c = 0; c < cells.size(); c++)
      table[c].cells.push_back(cells[c]);
  }
  put_columns(out, table);
}

int write_sites_csv(FILE *out, const std::vector<function_rows> &groups) {
  fputs(
      "function,module,file,line,sets,associativity,line_size,cache_size,"
      "references,hits,miss_ratio\n",
      out);
  for (const function_rows &g : groups)
    for (const vantle_result &r : g.rows) {
      put_csv_field(out, g.name.function.c_str());
      fputc(',', out);
      put_csv_field(out, g.name.module.c_str());
      fputc(',', out);
      put_csv_field(out, g.name.file.c_str());
      fputc(',', out);
      if (g.name.line) fprintf(out, "%u", g.name.line);
      fprintf(out, ",%u,%u,%u,%llu,%llu,%llu,", r.sets, r.associativity,
              r.line_size, static_cast<unsigned long long>(r.cache_size),
              static_cast<unsigned long long>(r.references),
              static_cast<unsigned long long>(r.hits));
      if (!isnan(r.miss_ratio)) fprintf(out, "%.6f", r.miss_ratio);
      fputc('\n', out);
    }
  return fflush(out) == 0 && !ferror(out) ? 0 : -1;
}

int write_sites_json(FILE *out, const run_description *run,
                     const std::vector<function_rows> &groups) {
  fputs("{\n  \"family\": ", out);
  put_json_string(out, run->family);
  fputs(",\n  \"options\": ", out);
  put_json_string(out, run->options);
  fputs(",\n  \"input\": ", out);
  put_json_string(out, run->input);
  fputs(",\n  \"reference_kinds\": ", out);
  put_json_string(out, run->kinds);
  fprintf(out,
          ",\n  \"references\": %llu,\n  \"ended_early\": ", run->references);
  if (run->ended_early)
    put_json_string(out, run->ended_early);
  else
    fputs("null", out);
  fputs(",\n  \"sites\": [", out);
  for (size_t i = 0; i < groups.size(); i++) {
    const function_rows &g = groups[i];
    fputs(i ? ",\n    {\"function\": " : "\n    {\"function\": ", out);
    put_json_string(out, g.name.function.c_str());
    fputs(", \"module\": ", out);
    put_json_string(out, g.name.module.c_str());
    fputs(", \"file\": ", out);
    if (g.name.file.empty())
      fputs("null", out);
    else
      put_json_string(out, g.name.file.c_str());
    if (g.name.line)
      fprintf(out, ", \"line\": %u, \"rows\": [", g.name.line);
    else
      fputs(", \"line\": null, \"rows\": [", out);
    for (size_t k = 0; k < g.rows.size(); k++) {
      fputs(k ? ",\n      " : "\n      ", out);
      put_json_row(out, g.rows[k]);
      fputc('}', out);
    }
    fputs(g.rows.empty() ? "]}" : "\n    ]}", out);
  }
  fputs(groups.empty() ? "]\n}\n" : "\n  ]\n}\n", out);
  return fflush(out) == 0 && !ferror(out) ? 0 : -1;
}

int write_sites_table(FILE *out, const char *name, const run_description *run,
                      const std::vector<function_rows> &groups) {
  size_t n = strlen(name);
  return n >= 5 && strcasecmp(name + n - 5, ".json") == 0
             ? write_sites_json(out, run, groups)
             : write_sites_csv(out, groups);
}
