// The per-site outputs on synthetic sites of a small set-associative family
// (1 or 2 sets x 1 or 2 ways): sums per function and per source line, the
// members -sites:at names, the report section's top 20 and shares, the
// -out:sites CSV and JSON read back with Python's parsers, and the plot's
// curves.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim_run.h"
#include "toolset/sites_report.h"

namespace {

// (sets, ways) of the family's rows, in report order.
const unsigned kShape[][2] = {{1, 1}, {1, 2}, {2, 1}, {2, 2}};
const int kMembers = 4;

// A site's rows: references and hits per member.
std::vector<vantle_result> site_rows(std::vector<uint64_t> refs,
                                     std::vector<uint64_t> hits) {
  std::vector<vantle_result> rows;
  for (int k = 0; k < kMembers; k++)
    rows.push_back({VANTLE_SET_ASSOCIATIVE, VANTLE_LRU, 64, kShape[k][0],
                    kShape[k][1], 64ull * kShape[k][0] * kShape[k][1], refs[k],
                    hits[k], 1.0 - double(hits[k]) / double(refs[k])});
  return rows;
}

struct sites {
  std::vector<site_name> names;
  std::vector<vantle_result> rows;
  void add(site_name n, std::vector<vantle_result> r) {
    names.push_back(n);
    rows.insert(rows.end(), r.begin(), r.end());
  }
  std::vector<function_rows> group(int member, bool by_line) const {
    return group_sites(names.data(), rows.data(), names.size(), kMembers,
                       member, by_line);
  }
};

std::string text_of(void (*write)(FILE *, const std::vector<function_rows> &,
                                  int, bool),
                    const std::vector<function_rows> &g, int member,
                    bool by_line) {
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  write(f, g, member, by_line);
  fclose(f);
  std::string s(text, size);
  free(text);
  return s;
}

// Two sites of f in one module sum; f in another module and g stay apart;
// by line, f's two lines stay apart and keep their file and line; the
// miss ratio is the sums', not a site's; most misses at the member first.
TEST(SitesReport, GroupsSumSitesPerFunctionOrLine) {
  sites s;
  s.add({"f", "/lib/a.so", "a.c", 10},
        site_rows({10, 10, 10, 10}, {0, 5, 5, 9}));
  s.add({"f", "/lib/a.so", "a.c", 12},
        site_rows({30, 30, 30, 30}, {30, 30, 30, 30}));
  s.add({"f", "/lib/b.so", "b.c", 3}, site_rows({8, 8, 8, 8}, {0, 0, 0, 0}));
  s.add({"g", "/lib/a.so", "a.c", 40}, site_rows({4, 4, 4, 4}, {0, 0, 0, 4}));
  std::vector<function_rows> g = s.group(3, false);
  ASSERT_EQ(g.size(), 3u);
  EXPECT_EQ(g[0].name.module, "/lib/b.so");  // 8 misses at 2x2
  EXPECT_EQ(g[1].name.function, "f");        // 1 miss
  EXPECT_EQ(g[1].name.module, "/lib/a.so");
  EXPECT_EQ(g[1].name.file, "");
  EXPECT_EQ(g[1].rows[1].references, 40u);
  EXPECT_EQ(g[1].rows[1].hits, 35u);
  EXPECT_DOUBLE_EQ(g[1].rows[1].miss_ratio, 5.0 / 40);
  EXPECT_EQ(g[1].rows[1].sets, 1u);
  EXPECT_EQ(g[1].rows[1].associativity, 2u);
  EXPECT_EQ(g[2].name.function, "g");  // 0 misses at 2x2
  // At 1x1 f of a.so misses most: 10 of its 40 references.
  g = s.group(0, false);
  EXPECT_EQ(g[0].name.function, "f");
  EXPECT_EQ(g[0].name.module, "/lib/a.so");
  std::vector<function_rows> lines = s.group(3, true);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[1].name.line, 10u);
  EXPECT_EQ(lines[1].name.file, "a.c");
  EXPECT_EQ(lines[1].rows[3].references, 10u);
}

TEST(SitesReport, MemberNamedByRowSetsAndWaysOrSize) {
  std::vector<vantle_result> sa = site_rows({1, 1, 1, 1}, {0, 0, 0, 0});
  std::string error;
  EXPECT_EQ(sites_member("", sa.data(), kMembers, &error), 3);
  EXPECT_EQ(sites_member("largest", sa.data(), kMembers, &error), 3);
  EXPECT_EQ(sites_member("#2", sa.data(), kMembers, &error), 1);
  EXPECT_EQ(sites_member("2x1", sa.data(), kMembers, &error), 2);
  EXPECT_EQ(sites_member("64", sa.data(), kMembers, &error), 0);
  EXPECT_EQ(sites_member("256B", sa.data(), kMembers, &error), 3);
  // 128 bytes are 1x2 and 2x1: the message names both.
  EXPECT_EQ(sites_member("128", sa.data(), kMembers, &error), -1);
  EXPECT_NE(error.find("1x2"), std::string::npos) << error;
  EXPECT_NE(error.find("2x1"), std::string::npos) << error;
  for (const char *bad :
       {"#0", "#5", "#", "4x1", "x2", "2x", "1KiB", "big", "-1", "12QB"}) {
    error.clear();
    EXPECT_EQ(sites_member(bad, sa.data(), kMembers, &error), -1) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
  // Fully associative, sizes in binary units; the largest is the last row.
  std::vector<vantle_result> fa;
  for (uint64_t size : {16384, 32768, 1048576})
    fa.push_back(
        {VANTLE_FULLY_ASSOCIATIVE, VANTLE_LRU, 64, 0, 0, size, 1, 0, 1});
  for (const char *at : {"32K", "32KiB", "32768", "#2"})
    EXPECT_EQ(sites_member(at, fa.data(), 3, &error), 1) << at;
  EXPECT_EQ(sites_member("1M", fa.data(), 3, &error), 2);
  EXPECT_EQ(sites_member("1MiB", fa.data(), 3, &error), 2);
  EXPECT_EQ(sites_member("", fa.data(), 3, &error), 2);
}

// 25 functions, function i missing i + 1 times of 2 * (i + 1) references
// at every member (325 misses in all): the 20 that miss most, in order,
// each share its misses over all 325, the columns aligned.
TEST(SitesReport, SectionListsTheTwentyThatMissMost) {
  sites s;
  for (uint64_t i = 0; i < 25; i++) {
    std::string name = "fn" + std::to_string(i);
    uint64_t r = 2 * (i + 1), h = i + 1;
    s.add({name, "/bin/prog", "", 0}, site_rows({r, r, r, r}, {h, h, h, h}));
  }
  std::vector<function_rows> g = s.group(1, false);
  std::vector<std::string> lines =
      lines_of(text_of(write_sites_report, g, 1, false));
  ASSERT_EQ(lines.size(), 24u);  // blank, two heading lines, columns, 20
  EXPECT_NE(lines[1].find("1 set x 2 ways (128 B, 64-byte lines)"),
            std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find("the 20 of 25"), std::string::npos) << lines[1];
  for (size_t k = 4; k < lines.size(); k++) {
    int n = 24 - static_cast<int>(k - 4);  // fn24 first
    char share[16];
    snprintf(share, sizeof share, "%.1f%%", 100.0 * (n + 1) / 325);
    std::vector<std::string> cells;
    char cell[64];
    for (int at = 0, used;
         sscanf(lines[k].c_str() + at, "%63s%n", cell, &used) == 1; at += used)
      cells.push_back(cell);
    ASSERT_EQ(cells.size(), 8u) << lines[k];
    EXPECT_EQ(cells[0], "fn" + std::to_string(n));
    EXPECT_EQ(cells[1], "prog");
    EXPECT_EQ(cells[3], std::to_string(n + 1));
    EXPECT_EQ(cells[4], share);
    EXPECT_EQ(lines[k].size(), lines[3].size()) << lines[k];
  }
  EXPECT_EQ(text_of(write_sites_report, {}, 0, false), "");
}

// Function names that need quoting in CSV and escaping in JSON come back
// whole through real parsers; file and line are empty (null) when unknown.
TEST(SitesReport, CsvAndJsonReadBack) {
  ASSERT_EQ(system("python3 -c 'import csv, json' >/dev/null 2>&1"), 0)
      << "this test reads the files with python3";
  sites s;
  const std::string odd = "operator,<\"q\">\nx";
  s.add({odd, "/lib/a,b.so", "", 0}, site_rows({4, 4, 4, 4}, {1, 1, 1, 1}));
  s.add({"plain", "/bin/p", "p.c", 7}, site_rows({2, 2, 2, 2}, {2, 2, 2, 2}));
  std::vector<function_rows> g = s.group(3, true);
  char dir[] = "/tmp/vantle-sites-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string csv = std::string(dir) + "/s.csv";
  std::string json = std::string(dir) + "/s.JSON";  // by its name, any case
  run_description run = {"LRU Set-associative", "-Csa", "prog", "data", 42,
                         "-trace:max"};
  for (const std::string &name : {csv, json}) {
    FILE *f = fopen(name.c_str(), "w");
    ASSERT_EQ(write_sites_table(f, name.c_str(), &run, g), 0);
    fclose(f);
  }
  std::string script =
      "import csv, json, sys\n"
      "rows = list(csv.DictReader(open(sys.argv[1], newline='')))\n"
      "print(len(rows), repr(rows[0]['function']), rows[0]['module'],\n"
      "      rows[3]['sets'], rows[3]['associativity'], rows[3]['hits'],\n"
      "      rows[4]['file'], rows[4]['line'], repr(rows[0]['line']))\n"
      "d = json.load(open(sys.argv[2]))\n"
      "s = d['sites']\n"
      "print(d['references'], d['ended_early'], repr(s[0]['function']),\n"
      "      s[0]['file'],\n"
      "      s[0]['line'], s[1]['line'], len(s[1]['rows']),\n"
      "      s[0]['rows'][2]['miss_ratio'])\n";
  write_file(std::string(dir) + "/read.py", script);
  std::string out = command_output("python3 " + std::string(dir) + "/read.py " +
                                   csv + " " + json + " 2>&1");
  EXPECT_EQ(out,
            "8 'operator,<\"q\">\\nx' /lib/a,b.so 2 2 1 p.c 7 ''\n"
            "42 -trace:max 'operator,<\"q\">\\nx' None None 7 4 0.75\n");
  for (const char *name : {"/s.csv", "/s.JSON", "/read.py"})
    unlink((std::string(dir) + name).c_str());
  rmdir(dir);
}

// The plot: the family's curve and the 8 functions that miss most, each
// over the set counts at the chosen member's associativity.
TEST(SitesReport, PlotDrawsTheTopEightAtTheChosenWays) {
  sites s;
  std::vector<vantle_result> family;
  for (uint64_t i = 0; i < 12; i++)
    s.add({"fn" + std::to_string(i), "/bin/p", "", 0},
          site_rows({10, 10, 10, 10}, {i % 10, i % 10, i % 10, i % 10}));
  family = site_rows({120, 120, 120, 120}, {54, 54, 54, 54});
  std::vector<function_rows> g = s.group(1, false);
  run_description run = {
      "LRU Set-associative", "-Csa", "prog", "data", 120, nullptr};
  char *text = nullptr;
  size_t size = 0;
  FILE *f = open_memstream(&text, &size);
  ASSERT_EQ(write_sites_svg(f, &run, family.data(), kMembers, g, 1), 0);
  fclose(f);
  std::string svg(text, size);
  free(text);
  EXPECT_EQ(count(svg, "class=\"curve\""), 9);
  EXPECT_TRUE(has(svg, "all code")) << svg;
  EXPECT_TRUE(has(svg, ">fn0<"));   // 10 misses: among the top 8
  EXPECT_FALSE(has(svg, ">fn9<"));  // 1 miss: not
  // By line, a function's lines are told apart.
  s.names[1] = {"fn0", "/bin/p", "/src/p.c", 7};
  f = open_memstream(&text, &size);
  write_sites_svg(f, &run, family.data(), kMembers, s.group(1, true), 1);
  fclose(f);
  std::string by_line(text, size);
  free(text);
  EXPECT_TRUE(has(by_line, ">fn0 (p.c:7)<")) << by_line;
  // Two points per curve: 1 and 2 sets at 2 ways.
  for (size_t at = svg.find("points=\""); at != std::string::npos;
       at = svg.find("points=\"", at + 1)) {
    std::string points = svg.substr(at + 8, svg.find('"', at + 8) - at - 8);
    EXPECT_EQ(count(points, ","), 2) << points;
  }
}

}  // namespace
