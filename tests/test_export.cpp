// The -out:csv, -out:json and -out:plot files of vantle-sim, read back with
// real parsers (Python's csv, json and xml.etree) and compared with the text
// report of the same run, for every family; the writers on their own for
// rows with no reference and for names that need escaping; and the errors
// for outputs that cannot be written.
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "toolset/export.h"
#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;

// Each row as one line: organisation policy line sets ways size references
// hits ratio (six decimals, or nan); policy "-" when empty.
const char kCsvScript[] = R"(
import csv, sys
with open(sys.argv[1], newline='') as f:
    rows = list(csv.DictReader(f))
for r in rows:
    ratio = '%.6f' % float(r['miss_ratio']) if r['miss_ratio'] else 'nan'
    print(r['organisation'], r['policy'] or '-', r['line_size'], r['sets'],
          r['associativity'], r['cache_size'], r['references'], r['hits'],
          ratio)
)";

// The run's fields, one per line (None for null), then the rows as above.
const char kJsonScript[] = R"(
import json, sys
with open(sys.argv[1]) as f:
    d = json.load(f)
for key in ('family', 'options', 'input', 'reference_kinds', 'references',
            'ended_early'):
    print(d[key])
for r in d['rows']:
    ratio = 'nan' if r['miss_ratio'] is None else '%.6f' % r['miss_ratio']
    print(r['organisation'], r['policy'] or '-', r['line_size'], r['sets'],
          r['associativity'], r['cache_size'], r['references'], r['hits'],
          ratio)
)";

// The plot frame (x0 y0 x1 y1), every text joined by '|', then per curve
// the number of points and the points.
const char kSvgScript[] = R"(
import sys, xml.etree.ElementTree as ET
ns = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
assert root.tag == ns + 'svg', root.tag
frame = [e for e in root.iter(ns + 'rect') if e.get('fill') == 'none'][0]
x, y = float(frame.get('x')), float(frame.get('y'))
print(x, y, x + float(frame.get('width')), y + float(frame.get('height')))
print('|'.join(''.join(t.itertext()) for t in root.iter(ns + 'text')))
for c in root.iter(ns + 'polyline'):
    if c.get('class') != 'curve':
        continue
    points = c.get('points').split()
    print(len(points), ' '.join(p.replace(',', ' ') for p in points))
)";

struct Row {
  std::string organisation, policy;
  unsigned long long line, sets, ways, size, references, hits;
  std::string ratio;
};

bool parse_row(const std::string &line, Row *row) {
  char org[64], pol[16], ratio[32];
  if (sscanf(line.c_str(), "%63s %15s %llu %llu %llu %llu %llu %llu %31s",
             org, pol, &row->line, &row->sets, &row->ways, &row->size,
             &row->references, &row->hits, ratio) != 9)
    return false;
  row->organisation = org;
  row->policy = pol;
  row->ratio = ratio;
  return true;
}

// Ratios of the text report, by configuration key: "sets ways" for the
// set-associative families, the cache size for fully associative, the line
// size for direct mapped. "bigger" holds the fully-associative closing
// ratio, "processed" the references the report counts.
std::map<std::string, std::string> report_ratios(const std::string &err) {
  std::map<std::string, std::string> ratios;
  std::vector<std::string> lines = lines_of(err);
  std::vector<unsigned> ways;
  enum { NONE, SA_WAYS, SA_ROWS, TABLE } state = NONE;
  for (const std::string &line : lines) {
    char word[64];
    unsigned long long n;
    if (sscanf(line.c_str(), "Addresses processed%*[ :]%llu", &n) == 1)
      ratios["processed"] = std::to_string(n);
    if (sscanf(line.c_str(), "Miss ratio is %63s for all bigger", word) == 1)
      ratios["bigger"] = word;
    if (line.find("Associativity") != std::string::npos) {
      state = SA_WAYS;
      continue;
    }
    if (line.find("(bytes)\tMiss") != std::string::npos) {
      state = TABLE;
      continue;
    }
    if (state == SA_WAYS) {
      for (const char *p = line.c_str(); *p;) {
        char *end;
        unsigned long w = strtoul(p, &end, 10);
        if (end == p) break;
        ways.push_back(static_cast<unsigned>(w));
        p = end;
      }
      state = NONE;
    } else if (line == "No. of sets") {
      state = SA_ROWS;
    } else if (state == SA_ROWS) {
      char *end;
      unsigned long sets = strtoul(line.c_str(), &end, 10);
      if (end == line.c_str()) {
        state = NONE;
        continue;
      }
      for (unsigned w : ways) {
        while (*end == '\t') end++;
        char *stop = strchr(end, '\t');
        if (!stop) break;
        ratios[std::to_string(sets) + " " + std::to_string(w)] =
            std::string(end, stop);
        end = stop;
      }
    } else if (state == TABLE) {
      if (sscanf(line.c_str(), "%llu %63s", &n, word) == 2)
        ratios[std::to_string(n)] = word;
      else
        state = NONE;
    }
  }
  return ratios;
}

class ExportTest : public ScratchDirTest {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(system("python3 -c 'import csv, json, xml.etree.ElementTree' "
                     ">/dev/null 2>&1"), 0)
        << "these tests read the files with python3 (csv, json, xml)";
  }
  void SetUp() override {
    ScratchDirTest::SetUp();
    write_file(path("read_csv.py"), kCsvScript);
    write_file(path("read_json.py"), kJsonScript);
    write_file(path("read_svg.py"), kSvgScript);
  }

  Outcome run(const std::vector<std::string> &args) {
    return run_program(kSim, args);
  }

  // Runs a script of SetUp on file; its standard output, or "" on failure.
  std::string python(const char *script, const std::string &file) {
    std::string cmd = "PYTHONIOENCODING=utf-8 python3 '" + path(script) +
                      "' '" + file + "' 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return "";
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int status = pclose(p);
    EXPECT_EQ(status, 0) << script << " on " << file << ":\n" << text;
    return status == 0 ? text : "";
  }

  std::vector<Row> rows_of(const std::vector<std::string> &lines,
                           size_t from) {
    std::vector<Row> rows;
    for (size_t i = from; i < lines.size(); i++) {
      Row r;
      EXPECT_TRUE(parse_row(lines[i], &r)) << lines[i];
      rows.push_back(r);
    }
    return rows;
  }
};

// A small din trace over a few hot and some cold lines, deterministic.
std::string small_trace(int n) {
  std::string text;
  uint32_t x = 7;
  char line[48];
  for (int i = 0; i < n; i++) {
    x = x * 1664525u + 1013904223u;
    uint32_t r = x >> 8;
    uint32_t addr = r % 4 ? 0x1000 + (r % 96) * 16 : 0x80000 + (r % 700) * 16;
    snprintf(line, sizeof line, "%u %x\n", (r >> 20) % 3, addr);
    text += line;
  }
  return text;
}

// Set-associative OPT may bypass (a missing line need not be loaded), fully
// associative OPT always loads: their labels differ, and vantle-sim says so
// before the report.
struct Family {
  const char *words, *family, *organisation, *policy;
  size_t rows, curves, points;  // points per curve
  const char *title;            // the plot's, before ": <input>"
};

const Family kFamilies[] = {
    {"-Csa -Rlru -a2 -b6 -n2 -l4", "LRU Set-associative", "set-associative",
     "LRU", 20, 4, 5, "LRU Set-associative caches, 16-byte lines"},
    {"-Csa -Ropt -a1 -b5 -n1 -l5", "OPT-bypass Set-associative",
     "set-associative", "OPT-bypass", 10, 2, 5,
     "OPT-bypass Set-associative caches, 32-byte lines"},
    {"-Cfa -Rlru -l4 -M16384 -i1024", "LRU Fully-associative",
     "fully-associative", "LRU", 16, 1, 16, "LRU Fully-associative caches"},
    {"-Cfa -Ropt -l4 -M8192 -i512", "OPT Fully-associative",
     "fully-associative", "OPT", 16, 1, 16, "OPT Fully-associative caches"},
    {"-Cdm -c13 -a4 -b9", "Direct-mapped", "direct-mapped", "-", 6, 1, 6,
     "Direct-mapped caches"},
};

// The text report's ratio for a row's configuration.
std::string reported(const std::map<std::string, std::string> &ratios,
                     const Row &row) {
  std::string key = row.organisation == "set-associative"
                        ? std::to_string(row.sets) + " " +
                              std::to_string(row.ways)
                    : row.organisation == "direct-mapped"
                        ? std::to_string(row.line)
                        : std::to_string(row.size);
  auto at = ratios.find(key);
  if (at != ratios.end()) return at->second;
  // Fully associative: sizes past the distinct lines share the last line.
  at = ratios.find("bigger");
  return row.organisation == "fully-associative" && at != ratios.end()
             ? at->second
             : "(not in the report)";
}

// Checks the plot's curves: count, points, everything inside the frame,
// x rising and linear in log2 of the row's value, y linear in the ratio.
void expect_plot(const std::vector<std::string> &svg, const Family &f,
                 const std::vector<Row> &rows, const std::string &input) {
  ASSERT_GE(svg.size(), 2u);
  double x0, y0, x1, y1;
  ASSERT_EQ(sscanf(svg[0].c_str(), "%lf %lf %lf %lf", &x0, &y0, &x1, &y1), 4);
  const std::string &texts = svg[1];
  EXPECT_NE(texts.find(std::string(f.title) + ": " + input),
            std::string::npos) << texts;
  EXPECT_NE(texts.find("miss ratio"), std::string::npos);
  ASSERT_EQ(svg.size() - 2, f.curves);
  // The value on the x axis for row i, in curve order: the set-associative
  // rows go associativity fastest, one curve per associativity.
  auto row_of = [&](size_t curve, size_t point) -> const Row & {
    return f.curves > 1 ? rows[point * f.curves + curve] : rows[point];
  };
  auto x_value = [&](const Row &r) {
    return double(r.organisation == "set-associative" ? r.sets
                  : r.organisation == "direct-mapped" ? r.line
                                                      : r.size);
  };
  std::vector<std::pair<double, double>> heights;  // (ratio, pixels)
  for (size_t c = 0; c < f.curves; c++) {
    if (f.curves > 1) {
      EXPECT_NE(texts.find(std::to_string(c + 1) + "-way"), std::string::npos);
    }
    const char *p = svg[c + 2].c_str();
    char *end;
    size_t n = strtoul(p, &end, 10);
    ASSERT_EQ(n, f.points) << "curve " << c;
    std::vector<std::pair<double, double>> points;
    for (size_t i = 0; i < n; i++) {
      double x = strtod(end, &end), y = strtod(end, &end);
      EXPECT_TRUE(x >= x0 - 0.1 && x <= x1 + 0.1 && y >= y0 - 0.1 &&
                  y <= y1 + 0.1) << x << "," << y;
      points.push_back({x, y});
    }
    double first = log2(x_value(row_of(c, 0)));
    double last = log2(x_value(row_of(c, n - 1)));
    for (size_t i = 0; i < n; i++) {
      const Row &r = row_of(c, i);
      double want_x = points[0].first + (log2(x_value(r)) - first) /
                      (last - first) * (points[n - 1].first - points[0].first);
      EXPECT_NEAR(points[i].first, want_x, 0.15) << "curve " << c << " " << i;
      if (i) {
        EXPECT_GT(points[i].first, points[i - 1].first);
      }
      heights.push_back({atof(r.ratio.c_str()), y1 - points[i].second});
    }
  }
  // Heights above the x axis in proportion to the ratios, the largest
  // giving the scale.
  auto top = std::max_element(heights.begin(), heights.end());
  ASSERT_GT(top->first, 0);
  for (auto [ratio, height] : heights)
    EXPECT_NEAR(height, ratio * top->second / top->first, 0.3) << ratio;
}

TEST_F(ExportTest, EveryFamilyWritesTheTextReportsNumbers) {
  std::string trace = path("small.din");
  write_file(trace, small_trace(3000));
  for (const Family &f : kFamilies) {
    SCOPED_TRACE(f.words);
    // Leftovers of a longer earlier run must not survive.
    write_file(path("r.csv"), std::string(200000, 'x') + "\n");
    write_file(path("r.json"), std::string(200000, 'x') + "\n");
    Outcome o = run({"-cache:opts", f.words, "-out:csv", path("r.csv"),
                     "-out:json", path("r.json"), "-out:plot", path("r.svg"),
                     trace});
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err.find("organisation"), std::string::npos);
    bool bypass = !strcmp(f.policy, "OPT-bypass");
    EXPECT_EQ(count(o.err, "\nsim: OPT here is optimal replacement with "
                           "bypass: a missing line need not be loaded "
                           "(OPT-bypass in -out: files)\n"),
              bypass ? 1 : 0) << o.err;
    std::map<std::string, std::string> ratios = report_ratios(o.err);
    ASSERT_EQ(ratios["processed"], "3000") << o.err;

    std::vector<Row> csv =
        rows_of(lines_of(python("read_csv.py", path("r.csv"))), 0);
    std::vector<std::string> json = lines_of(python("read_json.py",
                                                    path("r.json")));
    ASSERT_GE(json.size(), 6u);
    EXPECT_EQ(json[0], f.family);
    EXPECT_EQ(json[1], f.words);
    EXPECT_EQ(json[2], trace);
    EXPECT_EQ(json[3], "all");
    EXPECT_EQ(json[4], "3000");
    EXPECT_EQ(json[5], "None");  // the run read its input to the end
    std::vector<Row> rows = rows_of(json, 6);
    ASSERT_EQ(csv.size(), f.rows);
    ASSERT_EQ(rows.size(), f.rows);
    for (size_t i = 0; i < f.rows; i++) {
      SCOPED_TRACE("row " + std::to_string(i));
      const Row &c = csv[i], &j = rows[i];
      EXPECT_EQ(c.organisation, f.organisation);
      EXPECT_EQ(c.policy, f.policy);
      EXPECT_EQ(c.references, 3000u);
      EXPECT_EQ(c.ratio, reported(ratios, c));
      char from_hits[32];
      snprintf(from_hits, sizeof from_hits, "%.6f",
               1 - double(c.hits) / double(c.references));
      EXPECT_EQ(c.ratio, from_hits);
      EXPECT_EQ(j.organisation, c.organisation);
      EXPECT_EQ(j.policy, c.policy);
      EXPECT_EQ(j.line, c.line);
      EXPECT_EQ(j.sets, c.sets);
      EXPECT_EQ(j.ways, c.ways);
      EXPECT_EQ(j.size, c.size);
      EXPECT_EQ(j.references, c.references);
      EXPECT_EQ(j.hits, c.hits);
      EXPECT_EQ(j.ratio, c.ratio);
    }
    expect_plot(lines_of(python("read_svg.py", path("r.svg"))), f, csv,
                "small.din");
  }
}

// The writers on their own: rows with no reference yet, and names that
// need escaping in JSON and XML.
TEST_F(ExportTest, WritersHandleNoReferencesAndAwkwardNames) {
  vantle_result rows[3];
  memset(rows, 0, sizeof rows);
  for (int i = 0; i < 3; i++) {
    rows[i].organisation = 4;
    rows[i].line_size = 16u << i;
    rows[i].sets = 1024u >> i;
    rows[i].associativity = 1;
    rows[i].cache_size = 16384;
    rows[i].miss_ratio = NAN;
  }
  // Quotes, a backslash, markup, control characters, UTF-8 and a byte
  // that is not UTF-8 (shown as U+FFFD).
  const char *awkward = "dir/we\"ird\\ <name> & \x01tab\there \xc3\xa9\xff.din";
  const char *in_json =
      "dir/we\"ird\\ <name> & \x01tab\there \xc3\xa9\xef\xbf\xbd.din";
  const char *in_title =
      "we\"ird\\ <name> & \xef\xbf\xbdtab\there \xc3\xa9\xef\xbf\xbd.din";
  run_description run = {family_name(rows), "-Cdm -c14", awkward, "data", 0,
                         "-trace:max"};
  EXPECT_STREQ(run.family, "Direct-mapped");
  struct {
    const char *name;
    int (*write)(FILE *, const run_description *, const vantle_result *, int);
  } writers[] = {
      {"w.csv", [](FILE *f, const run_description *, const vantle_result *r,
                   int n) { return write_results_csv(f, r, n); }},
      {"w.json", [](FILE *f, const run_description *run,
                    const vantle_result *r,
                    int n) { return write_results_json(f, run, r, n); }},
      {"w.svg", [](FILE *f, const run_description *run,
                   const vantle_result *r,
                   int n) { return write_results_svg(f, run, r, n); }}};
  for (auto &w : writers) {
    FILE *f = fopen(path(w.name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(w.write(f, &run, rows, 3), 0) << w.name;
    fclose(f);
  }
  std::vector<std::string> csv = lines_of(python("read_csv.py", path("w.csv")));
  ASSERT_EQ(csv.size(), 3u);
  EXPECT_EQ(csv[2], "direct-mapped - 64 256 1 16384 0 0 nan");
  std::vector<std::string> json = lines_of(python("read_json.py",
                                                  path("w.json")));
  ASSERT_GE(json.size(), 6u);
  EXPECT_EQ(json[2], in_json);
  EXPECT_EQ(json[3], "data");
  EXPECT_EQ(json[5], "-trace:max");
  EXPECT_EQ(json.back(), "direct-mapped - 64 256 1 16384 0 0 nan");
  std::vector<std::string> svg = lines_of(python("read_svg.py", path("w.svg")));
  ASSERT_EQ(svg.size(), 3u);
  EXPECT_NE(svg[1].find(in_title), std::string::npos) << svg[1];
  EXPECT_NE(svg[1].find("no references"), std::string::npos) << svg[1];
  EXPECT_EQ(svg[2], "0 ");
  // A write error is reported, not lost in the stream's buffer.
  FILE *full = fopen("/dev/full", "w");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(write_results_json(full, &run, rows, 3), -1);
  fclose(full);
}

// The family column of several families holds each -cache:opts value as
// given: one with a comma, a quote or a line end is one field still.
TEST_F(ExportTest, FamilyLabelsStayOneCsvField) {
  vantle_result row = {};
  row.organisation = 4;
  row.line_size = 16;
  row.sets = 64;
  row.associativity = 1;
  row.miss_ratio = NAN;
  const char *labels[] = {"all ,: -Cdm", "-Cdm \"x\"", "data\r\n: -Cdm",
                          "-Cdm"};
  family_results families[4];
  for (int i = 0; i < 4; i++)
    families[i] = {{"Direct-mapped", labels[i], "t.din", "all", 0, nullptr},
                   "#1", &row, 1};
  FILE *f = fopen(path("f.csv").c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(write_families_csv(f, families, 4), 0);
  fclose(f);
  write_file(path("fields.py"), R"(
import csv, json, sys
with open(sys.argv[1], newline='') as f:
    for row in csv.DictReader(f):
        print(json.dumps(row['family']), len(row), row['sets'])
)");
  EXPECT_EQ(python("fields.py", path("f.csv")),
            "\"all ,: -Cdm\" 10 64\n\"-Cdm \\\"x\\\"\" 10 64\n"
            "\"data\\r\\n: -Cdm\" 10 64\n\"-Cdm\" 10 64\n");
}

// A plot's layout, one item a line: "width W", "frame x0 y0 x1 y1" per
// panel, "curve x y x y ..." per curve, "text X FONT content" per text.
const char kSvgLayoutScript[] = R"(
import sys, xml.etree.ElementTree as ET
ns = '{http://www.w3.org/2000/svg}'
root = ET.parse(sys.argv[1]).getroot()
print('width', root.get('width'))
for e in root.iter():
    if e.tag == ns + 'rect' and e.get('fill') == 'none':
        x, y = float(e.get('x')), float(e.get('y'))
        print('frame', x, y, x + float(e.get('width')),
              y + float(e.get('height')))
    elif e.tag == ns + 'polyline' and e.get('class') == 'curve':
        print('curve', e.get('points').replace(',', ' '))
    elif e.tag == ns + 'text' and e.get('x'):
        print('text', e.get('x'), e.get('font-size') or root.get('font-size'),
              ''.join(e.itertext()))
)";

struct Layout {
  double width = 0;
  std::vector<std::vector<double>> frames, curves;  // curves: x y x y ...
  std::vector<std::pair<double, double>> texts;     // (x, font size)
  std::vector<std::string> text;
};

// Set-associative rows, set counts ascending, associativity fastest, with
// miss ratios falling as the cache grows.
std::vector<vantle_result> sa_rows(std::vector<uint32_t> sets, uint32_t ways,
                                   uint32_t line) {
  std::vector<vantle_result> rows;
  for (uint32_t s : sets)
    for (uint32_t w = 1; w <= ways; w++) {
      vantle_result r = {};
      r.organisation = VANTLE_SET_ASSOCIATIVE;
      r.line_size = line;
      r.sets = s;
      r.associativity = w;
      r.cache_size = uint64_t{s} * w * line;
      r.references = 1000;
      r.hits = 1000 - 64000 / (64 + r.cache_size / 64);
      r.miss_ratio = 1 - r.hits / 1000.0;
      rows.push_back(r);
    }
  return rows;
}

class PlotTest : public ExportTest {
 protected:
  Layout layout_of(const std::string &svg) {
    write_file(path("layout.py"), kSvgLayoutScript);
    Layout l;
    for (const std::string &line : lines_of(python("layout.py", svg))) {
      std::string kind = line.substr(0, line.find(' '));
      const char *p = line.c_str() + kind.size();
      if (kind == "width") {
        l.width = atof(p);
        continue;
      }
      if (kind == "text") {
        char *end;
        double x = strtod(p, &end), font = strtod(end, &end);
        l.texts.push_back({x, font});
        l.text.push_back(end + 1);
        continue;
      }
      std::vector<double> numbers;
      char *end;
      for (double v = strtod(p, &end); end != p; v = strtod(p, &end)) {
        numbers.push_back(v);
        p = end;
      }
      (kind == "frame" ? l.frames : l.curves).push_back(numbers);
    }
    return l;
  }

  Layout families_plot(const std::vector<family_results> &families) {
    FILE *f = fopen(path("p.svg").c_str(), "w");
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(write_families_svg(f, families.data(),
                                 static_cast<int>(families.size())), 0);
    fclose(f);
    return layout_of(path("p.svg"));
  }
};

// Each curve's points lie inside the frame and rise left to right over at
// least half its width; a lone point stands in its middle half.
void expect_spread(const Layout &l, size_t curves) {
  ASSERT_FALSE(l.frames.empty());
  double x0 = l.frames[0][0], x1 = l.frames[0][2];
  ASSERT_EQ(l.curves.size(), curves);
  for (const auto &c : l.curves) {
    ASSERT_GE(c.size(), 2u);
    for (size_t i = 0; i < c.size(); i += 2) {
      EXPECT_TRUE(c[i] >= x0 - 0.1 && c[i] <= x1 + 0.1) << c[i];
      if (i) {
        EXPECT_GT(c[i], c[i - 2]);
      }
    }
    if (c.size() == 2)
      EXPECT_TRUE(c[0] > x0 + (x1 - x0) / 4 && c[0] < x1 - (x1 - x0) / 4)
          << c[0];
    else
      EXPECT_GE(c[c.size() - 2] - c[0], (x1 - x0) / 2);
  }
}

// A family with one set count (a split L1's halves), one associativity, or
// one cache runs over cache size, in KiB: its points spread over the axis.
TEST_F(PlotTest, FamiliesWithOneSetCountOrOneWaySpreadOverCacheSize) {
  std::vector<vantle_result> l1 = sa_rows({64}, 8, 64);
  std::vector<vantle_result> direct = sa_rows({8, 16, 32, 64, 128}, 1, 32);
  std::vector<vantle_result> one = sa_rows({64}, 1, 16);
  run_description run = {"LRU Set-associative", "", "t.din", "all", 1000,
                         nullptr};
  family_results split[] = {{run, "#1 LRU inst", l1.data(), 8},
                            {run, "#2 LRU data", l1.data(), 8}};
  Layout l = families_plot({split[0], split[1]});
  expect_spread(l, 2);
  EXPECT_NE(std::find(l.text.begin(), l.text.end(), "4 KiB"), l.text.end());
  EXPECT_NE(std::find(l.text.begin(), l.text.end(), "32 KiB"), l.text.end());
  EXPECT_NE(std::find(l.text.begin(), l.text.end(),
                      "cache size (bytes, log scale)"), l.text.end());
  for (const auto &rows : {l1, direct, one}) {
    FILE *f = fopen(path("one.svg").c_str(), "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write_results_svg(f, &run, rows.data(),
                                static_cast<int>(rows.size())), 0);
    fclose(f);
    SCOPED_TRACE(rows.size());
    expect_spread(layout_of(path("one.svg")), 1);
  }
  // Sets and ways both varying keep the sets axis, a curve per way; beside
  // a family of one set count, both run over cache size.
  std::vector<vantle_result> grid = sa_rows({16, 32, 64, 128}, 4, 64);
  family_results mixed[] = {{run, "#1 LRU", grid.data(), 16},
                            {run, "#2 LRU data", l1.data(), 8}};
  expect_spread(families_plot({mixed[0]}), 4);
  Layout both = families_plot({mixed[0], mixed[1]});
  expect_spread(both, 5);
  EXPECT_NE(std::find(both.text.begin(), both.text.end(),
                      "cache size (bytes, log scale)"), both.text.end());
}

// Every legend entry of every panel is set at one font size and fits in
// the picture, however long a family's label.
TEST_F(PlotTest, LegendsShareOneFontSizeAndFitThePicture) {
  std::vector<vantle_result> grid = sa_rows({16, 32, 64}, 4, 32);
  std::vector<vantle_result> fa(32);
  for (int i = 0; i < 32; i++) {
    fa[i] = {VANTLE_FULLY_ASSOCIATIVE, VANTLE_OPT, 32, 0, 0,
             uint64_t(i + 1) * 512, 1000, uint64_t(500 + 10 * i),
             0.5 - 0.01 * i};
  }
  run_description run = {"x", "", "dir/t.din", "all", 1000, nullptr};
  Layout l = families_plot(
      {{run, "#1 LRU", grid.data(), 12},
       {run, "#2 OPT-bypass store", grid.data(), 12},
       {run, "#3 OPT data with a long, long label", fa.data(), 32}});
  ASSERT_EQ(l.frames.size(), 2u);
  double right = l.frames[0][2], font = 0;
  size_t legend = 0;
  for (size_t i = 0; i < l.texts.size(); i++) {
    auto [x, size] = l.texts[i];
    if (x <= right) continue;  // not the legend
    legend++;
    if (!font) font = size;
    EXPECT_EQ(size, font) << l.text[i];
    // Helvetica's widest usual glyphs take about 0.6 of the size.
    EXPECT_LE(x + 0.6 * size * l.text[i].size(), l.width) << l.text[i];
  }
  EXPECT_EQ(legend, 9u);
  EXPECT_GE(font, 11);
}

TEST_F(ExportTest, OutputsThatCannotBeWrittenAreClearErrors) {
  std::string trace = path("t.din");
  std::string text = small_trace(200);
  write_file(trace, text);
  const std::string no_dir = path("missing/r.csv");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-out:csv", no_dir, trace},
       "error: -out:csv: cannot write `" + no_dir +
           "': No such file or directory"},
      {{"-out:plot", dir_, trace},
       "error: -out:plot: cannot write `" + dir_ + "': Is a directory"},
      {{"-out:json", trace, trace},
       "error: -out: files must not overwrite the input `" + trace + "'"},
      {{"-out:csv", path("same"), "-out:plot", path("same"), trace},
       "error: -out: files must differ, and `" + path("same") +
           "' is named twice"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    Outcome o = run(c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(o.err.find("simulation statistics"), std::string::npos)
        << "the error must come before the run";
    EXPECT_EQ(read_file(trace), text) << "the input was changed";
  }
  // A full disk shows at the end: the report stands, then the error.
  Outcome o = run({"-out:json", "/dev/full", trace});
  EXPECT_EQ(o.status, 1);
  size_t report = o.err.find("Miss Ratios");
  size_t error = o.err.find(
      "error: -out:json: cannot write `/dev/full': No space left on device");
  ASSERT_NE(report, std::string::npos) << o.err;
  ASSERT_NE(error, std::string::npos) << o.err;
  EXPECT_LT(report, error);
}

// An -out: path is written where it points: through a link, into the file
// the link ends at (the link stays; a dangling one gets its file); through
// a link to /proc/self/fd/1, into the run's standard output; onto the
// error stream's own file, after the report. A new file gets the mode the
// umask allows, a replaced one keeps its own.
TEST_F(ExportTest, OutputPathsAreWrittenWhereTheyPoint) {
  std::string trace = path("t.din");
  write_file(trace, small_trace(300));
  ASSERT_EQ(run({"-out:csv", path("plain.csv"), trace}).status, 0);
  std::string csv = read_file(path("plain.csv"));
  ASSERT_EQ(csv.rfind("organisation,", 0), 0u) << csv;
  write_file(path("old.csv"), "old\n");
  ASSERT_EQ(chmod(path("old.csv").c_str(), 0604), 0);
  ASSERT_EQ(symlink("old.csv", path("to-old").c_str()), 0);
  ASSERT_EQ(symlink(path("new.json").c_str(), path("to-new").c_str()), 0);
  ASSERT_EQ(symlink("/proc/self/fd/1", path("to-stdout").c_str()), 0);
  mode_t mask = umask(027);
  Outcome o = run({"-out:csv", path("to-old"), "-out:json", path("to-new"),
                   "-out:plot", path("to-stdout"), trace});
  umask(mask);
  EXPECT_EQ(o.status, 0) << o.err;
  for (const char *link : {"to-old", "to-new", "to-stdout"}) {
    struct stat st;
    EXPECT_TRUE(lstat(path(link).c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        << link << " is no longer a link";
  }
  EXPECT_EQ(read_file(path("old.csv")), csv);
  EXPECT_EQ(read_file(path("new.json")).rfind("{\n", 0), 0u);
  EXPECT_TRUE(has(o.out, "</svg>")) << o.out.substr(0, 200);
  struct stat old_st, new_st;
  ASSERT_EQ(stat(path("old.csv").c_str(), &old_st), 0);
  ASSERT_EQ(stat(path("new.json").c_str(), &new_st), 0);
  EXPECT_EQ(old_st.st_mode & 0777, 0604u);
  EXPECT_EQ(new_st.st_mode & 0777, 0640u);

  // The error stream's own file: the report stays, the rows follow it.
  Outcome same = run({"-out:csv", path("stderr.txt"), trace});
  EXPECT_EQ(same.status, 0);
  size_t report = same.err.find("** end of simulation **");
  size_t rows = same.err.find("\n" + csv);
  EXPECT_NE(report, std::string::npos) << same.err;
  EXPECT_NE(rows, std::string::npos) << same.err;
  EXPECT_LT(report, rows);
}

// Whether process pid has a handler for sig (its SigCgt mask in /proc).
bool catches(pid_t pid, int sig) {
  std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("SigCgt:");
  if (at == std::string::npos) return false;
  unsigned long long mask = strtoull(status.c_str() + at + 7, nullptr, 16);
  return (mask >> (sig - 1)) & 1;
}

// An -out: FIFO is opened once the report is out, and written when a
// reader has it; while no reader comes, SIGUSR1 says so and SIGTERM gives
// the file up with status 1: no open waits where signals go unanswered.
TEST_F(ExportTest, OutputFifoWaitsForItsReaderAndAnswersSignals) {
  std::string trace = path("t.din"), fifo = path("fifo");
  write_file(trace, small_trace(300));
  ASSERT_EQ(run({"-out:csv", path("plain.csv"), trace}).status, 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FifoRun lonely{kSim};
  lonely.launch({"-out:csv", fifo.c_str(), trace.c_str()});
  EXPECT_TRUE(lonely.read_until("** end of simulation **")) << lonely.err;
  kill(lonely.pid, SIGUSR1);
  EXPECT_TRUE(lonely.read_until("sim: -out:csv: waiting for a reader of `" +
                                fifo + "'\n")) << lonely.err;
  kill(lonely.pid, SIGTERM);
  int wstatus = 0;
  EXPECT_TRUE(lonely.exits(&wstatus));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 1) << wstatus;
  lonely.read_until("\x01never");
  close(lonely.err_fd);
  EXPECT_TRUE(has(lonely.err, "error: -out:csv: cannot write `" + fifo +
                                  "': no reader opened it\n")) << lonely.err;

  FifoRun read{kSim};
  read.launch({"-out:csv", fifo.c_str(), trace.c_str()});
  EXPECT_EQ(read_file(fifo), read_file(path("plain.csv")));
  EXPECT_EQ(read.finish(), 0) << read.err;

  // A -redir: FIFO without a reader is opened before anything is said:
  // SIGINT, once its handler is in place, still ends the wait.
  FifoRun redirected{kSim};
  redirected.launch({"-redir:prog", fifo.c_str(), trace.c_str()});
  for (int waits = 0; waits < 200 && !catches(redirected.pid, SIGINT); waits++)
    usleep(100000);
  kill(redirected.pid, SIGINT);
  EXPECT_TRUE(redirected.exits(&wstatus));
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 130) << wstatus;
  redirected.read_until("\x01never");
  close(redirected.err_fd);
  EXPECT_TRUE(has(redirected.err, "sim: run ended by SIGINT while -redir:prog "
                                  "waited for a reader of `" + fifo +
                                  "'; nothing was simulated\n"))
      << redirected.err;
}

// A malformed record ends the run after the report of what came before
// it; the files hold that report's numbers, and a file that cannot be
// written does not hide the fatal error.
// Redirections are refused, before anything is opened, when they name the
// input (also through a symbolic or a hard link), an -out: file, or each
// other; the files they name are left as they were.
TEST_F(ExportTest, RedirectionsNeverOverwriteTheInputOrEachOther) {
  std::string trace = path("t.din");
  std::string text = small_trace(200);
  write_file(trace, text);
  ASSERT_EQ(symlink(trace.c_str(), path("soft").c_str()), 0);
  ASSERT_EQ(link(trace.c_str(), path("hard").c_str()), 0);
  write_file(path("old.csv"), "old\n");
  write_file(path("log"), "log\n");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-redir:sim", trace, trace}, "error: -redir:sim: `" + trace +
                                         "' is the input"},
      {{"-redir:prog", path("soft"), trace}, "is the input"},
      {{"-redir:sim", path("hard"), trace}, "is the input"},
      {{"-out:csv", path("old.csv"), "-redir:sim", path("old.csv"), trace},
       "is an -out: file"},
      {{"-redir:sim", path("log"), "-redir:prog", path("log"), trace},
       "is the -redir:sim file too"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    Outcome o = run(c.args);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find(c.message), std::string::npos) << o.err;
    EXPECT_EQ(read_file(trace), text);
    EXPECT_EQ(read_file(path("old.csv")), "old\n");
    EXPECT_EQ(read_file(path("log")), "log\n");
  }
}

// An -out: file is replaced only by a complete one: a run that fails keeps
// the earlier file and leaves nothing beside it, and two runs writing one
// file at once leave one run's file whole.
TEST_F(ExportTest, OutputFilesAreReplacedWholeOrNotAtAll) {
  std::string trace = path("t.din");
  write_file(trace, small_trace(3000));
  write_file(path("r.csv"), "earlier run\n");
  Outcome bad = run({"-cache:opts", "-Cxx", "-out:csv", path("r.csv"),
                     trace});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(read_file(path("r.csv")), "earlier run\n");
  std::string listing;
  FILE *ls = popen(("ls -A '" + dir_ + "'").c_str(), "r");
  char name[512];
  while (ls && fgets(name, sizeof name, ls)) listing += name;
  if (ls) pclose(ls);
  EXPECT_EQ(listing.find("r.csv."), std::string::npos) << listing;

  // Two families of different sizes write the same file at once.
  pid_t a = fork();
  if (a == 0) {
    execl(kSim, kSim, "-cache:opts", "-Cfa -M65536 -i16", "-out:csv",
          path("r.csv").c_str(), trace.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  Outcome b = run({"-cache:opts", "-Cdm", "-out:csv", path("r.csv"), trace});
  int wstatus = 0;
  waitpid(a, &wstatus, 0);
  EXPECT_EQ(b.status, 0);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
  // One run's whole file: 4096 fully-associative rows or 8 direct-mapped.
  std::string csv = read_file(path("r.csv"));
  int fa = count(csv, "\nfully-associative,");
  int dm = count(csv, "\ndirect-mapped,");
  EXPECT_TRUE((fa == 4096 && dm == 0) || (fa == 0 && dm == 8)) << fa << dm;
  EXPECT_EQ(csv.back(), '\n');
}

TEST_F(ExportTest, MalformedRecordWritesWhatWasReadAndKeepsItsError) {
  std::string trace = path("bad.din");
  write_file(trace, "0 10\n0 20\n0 10\nbogus line\n0 30\n");
  Outcome o = run({"-cache:opts", "-Cdm -c10 -a4 -b5", "-out:json",
                   path("r.json"), "-out:csv", "/dev/full", trace});
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("error: -out:csv: cannot write `/dev/full'"),
            std::string::npos) << o.err;
  EXPECT_NE(o.err.find("line 4: malformed din record"), std::string::npos)
      << o.err;
  std::vector<std::string> json = lines_of(python("read_json.py",
                                                  path("r.json")));
  ASSERT_EQ(json.size(), 8u);
  EXPECT_EQ(json[4], "3");
  EXPECT_EQ(json[5], "input error");
  // Addresses 0x10, 0x20, 0x10: with 16-byte lines the third hits; with
  // 32-byte lines 0x20 is a line of its own, so again only the third.
  EXPECT_EQ(json[6], "direct-mapped - 16 64 1 1024 3 1 0.666667");
  EXPECT_EQ(json[7], "direct-mapped - 32 32 1 1024 3 1 0.666667");
}

}  // namespace
