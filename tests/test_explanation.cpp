// vantle-sim -explain, run as a user runs it: the three Cs, the misses
// under OPT and the write-backs of every configuration, in the -out:
// files and in the sim: section after each family's report, against one
// naive cache per configuration; the library's report left as it was; a
// trace without stores; several families; the picture.
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>

#include <map>
#include <string>
#include <vector>

#include "reference/naive_sa_opt.h"
#include "reference/naive_writeback.h"
#include "rng.h"
#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
const uint64_t kNot = UINT64_MAX;

using naive_wb::Ref;

// A trace with stores: a hot set of hot_lines lines and a wide one of
// wide_lines, of 16-byte lines; three in ten references write, one in
// ten is an instruction fetch (read).
struct Trace {
  std::vector<Ref> refs;
  std::vector<int> labels;  // din: 0 read, 1 write, 2 instruction fetch
};

Trace mixed_trace(size_t n, uint32_t hot_lines, uint32_t wide_lines,
                  uint64_t seed) {
  Rng rng(seed);
  Trace t;
  for (size_t i = 0; i < n; i++) {
    uint32_t line = rng.below(2) ? rng.below(hot_lines)
                                 : 0x10000 + rng.below(wide_lines);
    unsigned kind = rng.below(10);
    int label = kind < 3 ? 1 : kind < 4 ? 2 : 0;
    t.refs.push_back({line * 16 + rng.below(16), label == 1});
    t.labels.push_back(label);
  }
  return t;
}

std::string din_text(const Trace &t) {
  std::string text;
  char line[32];
  for (size_t i = 0; i < t.refs.size(); i++) {
    snprintf(line, sizeof line, "%d %x\n", t.labels[i], t.refs[i].addr);
    text += line;
  }
  return text;
}

std::vector<std::string> split(const std::string &line, char by) {
  std::vector<std::string> fields;
  size_t at = 0;
  for (;;) {
    size_t end = line.find(by, at);
    fields.push_back(line.substr(at, end - at));
    if (end == std::string::npos) return fields;
    at = end + 1;
  }
}

// One row of an -out:csv file, by field name; a number or kNot for an
// empty field.
struct CsvRow {
  std::map<std::string, std::string> text;
  uint64_t get(const std::string &field) const {
    auto it = text.find(field);
    if (it == text.end() || it->second.empty()) return kNot;
    return std::stoull(it->second);
  }
  int64_t conflict() const { return std::stoll(text.at("conflict")); }
};

std::vector<CsvRow> read_csv(const std::string &file) {
  std::vector<std::string> lines = lines_of(read_file(file));
  std::vector<CsvRow> rows;
  if (lines.empty()) return rows;
  std::vector<std::string> names = split(lines[0], ',');
  for (size_t i = 1; i < lines.size(); i++) {
    std::vector<std::string> v = split(lines[i], ',');
    CsvRow row;
    for (size_t f = 0; f < names.size() && f < v.size(); f++)
      row.text[names[f]] = v[f];
    rows.push_back(row);
  }
  return rows;
}

// What the naive caches say of one configuration.
struct Expected {
  uint64_t misses, compulsory, fully_associative, writebacks, dirty_at_end;
};

Expected naive_row(const std::vector<Ref> &refs, uint64_t sets,
                   uint64_t ways, int line_bits) {
  naive_wb::Counts c = naive_wb::run(refs, sets, ways, line_bits);
  return {c.misses, naive_wb::compulsory(refs, line_bits),
          naive_wb::run(refs, 1, sets * ways, line_bits).misses,
          c.writebacks, c.dirty_at_end};
}

// Every row of the file against the naive caches: the three Cs add up to
// the misses and equal the naive ones, the write-backs (when counted)
// equal them and are no more than the misses.
void expect_rows_explained(const std::vector<CsvRow> &rows,
                           const std::vector<Ref> &refs, bool writebacks) {
  ASSERT_FALSE(rows.empty());
  for (const CsvRow &row : rows) {
    uint64_t sets = row.get("sets"), ways = row.get("associativity");
    uint64_t line = row.get("line_size");
    int bits = __builtin_ctzll(line);
    if (sets == 0) {  // fully associative: one set of the row's lines
      sets = 1;
      ways = row.get("cache_size") / line;
    }
    SCOPED_TRACE(std::to_string(sets) + " sets x " + std::to_string(ways));
    Expected want = naive_row(refs, sets, ways, bits);
    uint64_t misses = row.get("references") - row.get("hits");
    if (row.text.at("policy") == "LRU" || row.text.at("policy").empty()) {
      EXPECT_EQ(misses, want.misses);
    }
    EXPECT_EQ(row.get("compulsory"), want.compulsory);
    EXPECT_EQ(row.get("capacity"), want.fully_associative - want.compulsory);
    EXPECT_EQ(row.conflict(), static_cast<int64_t>(misses) -
                                  static_cast<int64_t>(want.fully_associative));
    EXPECT_EQ(static_cast<int64_t>(row.get("compulsory") +
                                   row.get("capacity")) + row.conflict(),
              static_cast<int64_t>(misses));
    if (!writebacks) {
      EXPECT_EQ(row.get("write_backs"), kNot);
      EXPECT_EQ(row.get("dirty_at_end"), kNot);
      continue;
    }
    EXPECT_EQ(row.get("write_backs"), want.writebacks);
    EXPECT_LE(row.get("write_backs"), misses);
    EXPECT_EQ(row.get("bytes_to_memory"), want.writebacks * line);
    EXPECT_EQ(row.get("dirty_at_end"), want.dirty_at_end);
  }
}

class ExplainSimTest : public ScratchDirTest {
 protected:
  Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), {"-progress", "false"});
    return run_program(kSim, args);
  }
  // The trace as a din file; returns its path.
  std::string din(const Trace &t) {
    write_file(path("t.din"), din_text(t));
    return path("t.din");
  }
  // -explain with options on a small set-associative family over t.
  Outcome explain_small(const Trace &t, std::vector<std::string> options) {
    options.insert(options.begin(), "-explain");
    options.insert(options.end(), {"-cache:opts", "-Csa -a2 -b4 -n1", din(t)});
    return run(options);
  }
};

// The default family on a trace with stores: every configuration's three
// Cs, misses under OPT with bypass and write-backs as the naive caches
// have them.
TEST_F(ExplainSimTest, DefaultFamilyAgreesWithNaiveCaches) {
  Trace t = mixed_trace(120000, 3000, 40000, 1);
  Outcome o = run({"-explain", "-out:csv", path("e.csv"), din(t)});
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<CsvRow> rows = read_csv(path("e.csv"));
  ASSERT_EQ(rows.size(), 16u);
  expect_rows_explained(rows, t.refs, true);
  std::vector<uint32_t> lines;
  for (const Ref &r : t.refs) lines.push_back(r.addr >> 4);
  std::vector<uint64_t> next = naive_sa_opt::next_uses(lines);
  for (const CsvRow &row : rows) {
    uint64_t hits = naive_sa_opt::hits_of(
        lines, next, __builtin_ctzll(row.get("sets")),
        static_cast<int>(row.get("associativity")));
    EXPECT_EQ(row.get("opt_misses"), t.refs.size() - hits)
        << row.get("sets") << " sets x " << row.get("associativity");
  }
}

// The part of stderr from the library's report heading to `end' (or the
// end of the text).
std::string report_part(const std::string &err, const std::string &end) {
  size_t from = err.find("libvantle: ** end of simulation **");
  size_t to = end.empty() ? std::string::npos : err.find(end, from);
  return from == std::string::npos ? "" : err.substr(from, to - from);
}

// The library's report is the one a run without -explain prints; the
// section after it shows the numbers of the CSV file.
TEST_F(ExplainSimTest, ReportAsBeforeThenTheSection) {
  Trace t = mixed_trace(20000, 200, 3000, 2);
  std::string trace = din(t);
  const std::string words = "-Csa -a2 -b4 -n1 -l4";
  Outcome plain = run({"-cache:opts", words, trace});
  Outcome o = run({"-explain", "-cache:opts", words, "-out:csv",
                   path("e.csv"), trace});
  ASSERT_EQ(o.status, 0) << o.err;
  std::string report = report_part(plain.err, "");
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report_part(o.err, "sim: misses explained"), report);
  EXPECT_EQ(count(o.err, "sim: misses explained: LRU Set-associative"), 1);
  EXPECT_FALSE(has(plain.err, "sim: -explain"));
  EXPECT_FALSE(has(plain.err, "misses explained"));
  // The table: a heading, then the rows in the file's order.
  std::vector<std::string> lines = lines_of(o.err);
  size_t at = 0;
  while (at < lines.size() && lines[at].find("  misses  compulsory") ==
                                  std::string::npos)
    at++;
  ASSERT_LT(at, lines.size()) << o.err;
  std::vector<std::string> heading;
  for (const std::string &w : split(lines[at], ' '))
    if (!w.empty()) heading.push_back(w);
  EXPECT_EQ(heading[0], "sets");
  std::vector<CsvRow> rows = read_csv(path("e.csv"));
  ASSERT_EQ(rows.size(), 6u);
  for (size_t k = 0; k < rows.size(); k++) {
    std::vector<std::string> cells;
    for (const std::string &w : split(lines[at + 1 + k], ' '))
      if (!w.empty()) cells.push_back(w);
    ASSERT_EQ(cells.size(), 12u) << lines[at + 1 + k];
    uint64_t misses = rows[k].get("references") - rows[k].get("hits");
    EXPECT_EQ(cells[0], rows[k].text["sets"]);
    EXPECT_EQ(cells[1], rows[k].text["associativity"]);
    EXPECT_EQ(cells[3], std::to_string(misses));
    EXPECT_EQ(cells[4], rows[k].text["compulsory"]);
    EXPECT_EQ(cells[5], rows[k].text["capacity"]);
    EXPECT_EQ(cells[6], rows[k].text["conflict"]);
    EXPECT_EQ(cells[7], rows[k].text["opt_misses"]);
    EXPECT_EQ(cells[8], std::to_string(misses - rows[k].get("opt_misses")));
    EXPECT_EQ(cells[9], rows[k].text["write_backs"]);
    EXPECT_EQ(cells[10], rows[k].text["bytes_to_memory"]);
    EXPECT_EQ(cells[11], rows[k].text["dirty_at_end"]);
  }
}

// A hex trace records no stores: said once, no write-back column, the
// three Cs as ever.
TEST_F(ExplainSimTest, TraceWithoutStores) {
  Trace t = mixed_trace(20000, 200, 3000, 3);
  std::string hex;
  for (Ref &r : t.refs) {
    char line[16];
    snprintf(line, sizeof line, "%x\n", r.addr);
    hex += line;
    r.store = false;
  }
  write_file(path("t.hex"), hex);
  Outcome o = run({"-explain", "-cache:opts", "-Csa -a2 -b4 -n1",
                   "-out:csv", path("e.csv"), path("t.hex")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(count(o.err, "records no stores"), 1);
  EXPECT_TRUE(has(o.err, "  compulsory  capacity  conflict"));
  EXPECT_FALSE(has(o.err, "  write-backs  bytes to memory"));
  expect_rows_explained(read_csv(path("e.csv")), t.refs, false);
}

// Each organisation: fully-associative LRU has no conflict and its OPT
// beside it; direct-mapped no OPT; OPT families no write-backs.
TEST_F(ExplainSimTest, EveryOrganisation) {
  Trace t = mixed_trace(30000, 150, 2000, 4);
  std::string trace = din(t);
  struct Case {
    const char *words;
    bool writebacks, opt;
  } cases[] = {{"-Cfa -Rlru -l4 -M8192 -i1024", true, true},
               {"-Cdm -c12 -a4 -b7", true, false},
               {"-Csa -Ropt -a1 -b3 -n1 -l5", false, false},
               {"-Cfa -Ropt -l4 -M4096 -i1024", false, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words);
    Outcome o = run({"-explain", "-cache:opts", c.words, "-out:csv",
                     path("e.csv"), trace});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<CsvRow> rows = read_csv(path("e.csv"));
    expect_rows_explained(rows, t.refs, c.writebacks);
    for (const CsvRow &row : rows) {
      EXPECT_EQ(row.get("opt_misses") != kNot, c.opt);
      if (row.text.at("policy") == "LRU" && row.get("sets") == 0) {
        EXPECT_EQ(row.conflict(), 0);
      }
    }
    EXPECT_EQ(has(o.err, "write-backs are not counted for OPT"),
              !c.writebacks && !c.opt);
  }
}

// Several families: each is explained after its own report, its companions
// stay out of sight, and the files hold every family's explanation.
TEST_F(ExplainSimTest, SeveralFamilies) {
  Trace t = mixed_trace(20000, 200, 3000, 5);
  Outcome o = run({"-explain", "-cache:opts", "inst: -Csa -a2 -b3 -n1",
                   "-cache:opts", "data: -Cdm -c11 -a4 -b6", "-out:csv",
                   path("e.csv"), "-out:json", path("e.json"), din(t)});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(count(o.err, "sim: family 1 of 2"), 2);  // echo and report
  EXPECT_EQ(count(o.err, "sim: family 2 of 2"), 2);
  EXPECT_FALSE(has(o.err, "of 3"));
  size_t second = o.err.rfind("sim: family 2 of 2: `data: -Cdm");
  size_t first_section = o.err.find("misses explained: LRU Set-associative");
  size_t second_section = o.err.find("misses explained: Direct-mapped");
  EXPECT_LT(first_section, second);
  EXPECT_LT(second, second_section);
  EXPECT_NE(second_section, std::string::npos);
  std::vector<CsvRow> rows = read_csv(path("e.csv"));
  ASSERT_EQ(rows.size(), 4u + 3u);
  std::vector<Ref> inst, data;
  for (size_t i = 0; i < t.refs.size(); i++)
    (t.labels[i] == 2 ? inst : data).push_back(t.refs[i]);
  std::vector<CsvRow> sa(rows.begin(), rows.begin() + 4);
  std::vector<CsvRow> dm(rows.begin() + 4, rows.end());
  expect_rows_explained(sa, inst, true);
  expect_rows_explained(dm, data, true);
  for (const CsvRow &row : sa) EXPECT_EQ(row.get("write_backs"), 0u);
  std::string json = read_file(path("e.json"));
  EXPECT_EQ(count(json, "\"write_backs\": "), 7);
  EXPECT_EQ(count(json, "\"opt_misses\": null"), 3);
}

// -explain:opt false leaves the same family under OPT out, and with it
// only the OPT columns; a value that is not a boolean is an error.
TEST_F(ExplainSimTest, OptGapLeftOut) {
  Trace t = mixed_trace(20000, 200, 3000, 8);
  Outcome o =
      explain_small(t, {"-explain:opt", "false", "-out:csv", path("e.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_FALSE(has(o.err, "OPT-bypass"));
  EXPECT_TRUE(has(o.err, "  write-backs  bytes to memory  dirty at end"));
  std::vector<CsvRow> rows = read_csv(path("e.csv"));
  for (const CsvRow &row : rows) EXPECT_EQ(row.get("opt_misses"), kNot);
  expect_rows_explained(rows, t.refs, true);
  // A fully-associative LRU family then needs no companion: it explains
  // itself, in vantle-sim's own process.
  Outcome alone = run({"-explain", "-explain:opt", "false", "-cache:opts",
                       "-Cfa -l4 -M4096 -i512", "-out:csv", path("f.csv"),
                       path("t.din")});
  ASSERT_EQ(alone.status, 0) << alone.err;
  expect_rows_explained(read_csv(path("f.csv")), t.refs, true);
  Outcome bad = explain_small(t, {"-explain:opt", "maybe"});
  EXPECT_EQ(bad.status, 1);
  EXPECT_TRUE(has(bad.err, "error: -explain:opt must be true or false, not "
                           "`maybe'")) << bad.err;
}

// What cannot run ends the run before it starts, naming the family: more
// processes than families may have, or a family whose write-back tables
// do not fit where the family alone does.
TEST_F(ExplainSimTest, WhatCannotRunIsRefusedBeforeTheRun) {
  std::string trace = din(mixed_trace(1000, 50, 100, 9));
  std::vector<std::string> args = {"-explain", "-out:csv", path("e.csv")};
  for (int i = 0; i < 22; i++) args.insert(args.end(), {"-cache:opts", "-Csa"});
  args.push_back(trace);
  Outcome many = run(args);
  EXPECT_EQ(many.status, 1);
  EXPECT_TRUE(has(many.err, "error: -explain: the families and their "
                            "companions would take more than 64 processes"))
      << many.err;
  EXPECT_FALSE(has(many.err, "end of simulation"));
#if !defined(__SANITIZE_ADDRESS__)  // address-space limits clash with ASan
  // 128 MiB of lists; their write-back depths double that.
  Launch launch;
  launch.address_space = size_t{300} << 20;
  std::vector<std::string> big = {"-cache:opts", "-Csa -a0 -b20 -n4", trace};
  Outcome alone = run_program(kSim, big, launch);
  EXPECT_EQ(alone.status, 0) << alone.err;
  big.insert(big.begin(), "-explain");
  Outcome explained = run_program(kSim, big, launch);
  EXPECT_EQ(explained.status, 1);
  EXPECT_TRUE(has(explained.err, "error: -explain: family 1 of 1 (`-Csa -a0 "
                                 "-b20 -n4') cannot be explained: the family "
                                 "with its write-backs cannot run"))
      << explained.err;
#endif
  EXPECT_FALSE(has(read_file(path("e.csv")), "organisation"));
}

// -trace:max: the companions take the references their family takes.
TEST_F(ExplainSimTest, TraceMaxHoldsForTheCompanions) {
  Trace t = mixed_trace(20000, 200, 3000, 6);
  Outcome o =
      explain_small(t, {"-trace:max", "7000", "-out:csv", path("e.csv")});
  ASSERT_EQ(o.status, 0) << o.err;
  t.refs.resize(7000);
  expect_rows_explained(read_csv(path("e.csv")), t.refs, true);
}

// The picture: below the miss ratios, a bar per configuration stacking
// its compulsory, capacity and conflict misses.
TEST_F(ExplainSimTest, PlotStacksTheThreeCs) {
  Trace t = mixed_trace(20000, 200, 3000, 7);
  Outcome o = explain_small(t, {"-out:plot", path("e.svg")});
  ASSERT_EQ(o.status, 0) << o.err;
  std::string svg = read_file(path("e.svg"));
  EXPECT_TRUE(has(svg, "misses explained"));
  EXPECT_EQ(count(svg, "class=\"compulsory\""), 6);
  EXPECT_EQ(count(svg, "class=\"capacity\""), 6);
  Outcome plain = run({"-cache:opts", "-Csa -a2 -b4 -n1", "-out:plot",
                       path("p.svg"), path("t.din")});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_FALSE(has(read_file(path("p.svg")), "compulsory"));
}

}  // namespace
