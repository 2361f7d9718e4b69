// -sites, as a user runs it: the site of each reference read from din and
// lackey traces (the fetch before a data reference), the one line for a
// trace without fetches, the options -sites refuses, and a program traced
// under QEMU whose three functions miss as their loops say.
#include <stdio.h>
#include <stdlib.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;
// 2..16 sets, 1..4 ways, 64-byte lines.
const char *const kFamily = "-a1 -b4 -n2 -l6";

class SitesTest : public ScratchDirTest {
 protected:
  Outcome run(const std::vector<std::string> &args) {
    return run_program(kSim, args);
  }
};

// The first field of a CSV line (quotes removed) and its last three:
// references, hits, miss ratio.
struct SiteRow {
  std::string function;
  long long references, hits;
};

std::vector<SiteRow> read_site_rows(const std::string &file) {
  std::vector<SiteRow> rows;
  std::vector<std::string> lines = lines_of(read_file(file));
  for (size_t i = 1; i < lines.size(); i++) {  // after the header
    const std::string &line = lines[i];
    std::string first = line.substr(0, line.find(','));
    if (!first.empty() && first[0] == '"')
      first = line.substr(1, line.find('"', 1) - 1);
    size_t last = line.rfind(','), hits = line.rfind(',', last - 1),
           refs = line.rfind(',', hits - 1);
    if (refs == std::string::npos) continue;
    rows.push_back({first, atoll(line.c_str() + refs + 1),
                    atoll(line.c_str() + hits + 1)});
  }
  return rows;
}

// Every row of one function.
std::vector<SiteRow> rows_of(const std::vector<SiteRow> &rows,
                             const std::string &function) {
  std::vector<SiteRow> out;
  for (const SiteRow &r : rows)
    if (r.function == function) out.push_back(r);
  return out;
}

// Sums of the references and hits of every row.
template <typename Row>
std::pair<long long, long long> totals(const std::vector<Row> &rows) {
  long long refs = 0, hits = 0;
  for (const Row &r : rows) {
    refs += static_cast<long long>(r.references);
    hits += static_cast<long long>(r.hits);
  }
  return {refs, hits};
}

// A trace in which the code at 0x1000 loads a new line each time (misses
// in every cache: odd lines, never set 0), the code at 0x2000 loads one
// line of set 0 over and over (hits but the first), 0x3000 only runs, and
// one load comes before any fetch. kRounds rounds span several batches.
const long long kRounds = 40000;

std::string sites_din(void) {
  std::string text = "0 9000\n";
  char line[128];
  for (long long i = 0; i < kRounds; i++) {
    snprintf(line, sizeof line, "2 1000\n0 %llx\n2 2000\n0 8000\n2 3000\n",
             0x100000 + 64 * (2 * i + 1));
    text += line;
  }
  return text;
}

std::string sites_lackey(void) {
  std::string text = "==1== lackey\n S 9000,8\n";
  char line[128];
  for (long long i = 0; i < kRounds; i++) {
    snprintf(line, sizeof line,
             "I  1000,4\n L %llx,8\nI  2000,3\n M 8000,8\nI  3000,2\n",
             0x100000 + 64 * (2 * i + 1));
    text += line;
  }
  return text;
}

// Each data reference counts for the instruction fetched just before it,
// across batches, in every cache; the sites' rows add up to the family's.
// Workers asked for (the default where cores are many) leave the family
// in this process, whose library counts the sites.
TEST_F(SitesTest, EachDataReferenceCountsForTheFetchBeforeIt) {
  struct {
    const char *name;
    std::string text;
  } traces[] = {{"din", sites_din()}, {"lackey", sites_lackey()}};
  for (auto &t : traces) {
    SCOPED_TRACE(t.name);
    std::string trace = path(std::string("trace.") + t.name);
    write_file(trace, t.text);
    Outcome o = run({"-cache:opts", kFamily, "-cache:workers", "2",
                     "-trace:refs", "data", "-sites",
                     "-out:csv", path("family.csv"), "-out:sites",
                     path("sites.csv"), trace});
    ASSERT_EQ(o.status, 0) << o.err;
    std::vector<NaiveRow> family = read_results(path("family.csv"));
    std::vector<SiteRow> sites = read_site_rows(path("sites.csv"));
    ASSERT_EQ(family.size(), 16u);
    EXPECT_EQ(totals(sites), totals(family));
    std::vector<SiteRow> stream = rows_of(sites, "0x1000"),
                         reuse = rows_of(sites, "0x2000"),
                         before = rows_of(sites, "0x0");
    ASSERT_EQ(stream.size(), family.size());
    ASSERT_EQ(reuse.size(), family.size());
    ASSERT_EQ(before.size(), family.size());
    for (size_t i = 0; i < family.size(); i++) {
      EXPECT_EQ(stream[i].references, kRounds);
      EXPECT_EQ(stream[i].hits, 0);
      EXPECT_EQ(reuse[i].references, kRounds);
      EXPECT_EQ(reuse[i].hits, kRounds - 1);
      EXPECT_EQ(before[i].references, 1);
    }
    EXPECT_EQ(totals(rows_of(sites, "0x3000")).first, 0);
  }
}

// A trace without fetches has no sites: one line says so, and the run
// gives its report and its other files as it would without -sites.
TEST_F(SitesTest, TraceWithoutFetchesSaysSoOnce) {
  const std::string line = "records no instruction fetches, so its "
                           "references have no sites; no site output\n";
  write_file(path("t.din"), "0 1000\n1 2040\n0 1000\n0 9000\n");
  write_file(path("t.bin32"), std::string("\x00\x10\x00\x00\x40\x20\x00\x00",
                                          8));
  for (std::string trace : {path("t.din"), path("t.bin32")}) {
    SCOPED_TRACE(trace);
    Outcome with = run({"-cache:opts", kFamily, "-sites", "-out:csv",
                        path("with.csv"), trace});
    Outcome without = run({"-cache:opts", kFamily, "-out:csv",
                           path("without.csv"), trace});
    ASSERT_EQ(with.status, 0) << with.err;
    EXPECT_EQ(count(with.err, line), 1) << with.err;
    EXPECT_EQ(count(with.err, "\n"), count(without.err, "\n") + 1)
        << with.err;
    EXPECT_EQ(read_file(path("with.csv")), read_file(path("without.csv")));
  }
}

// What -sites cannot serve is refused before the run, on one line.
TEST_F(SitesTest, OptionsSitesCannotServeAreRefused) {
  write_file(path("t.din"), "2 1000\n0 2000\n");
  const std::vector<std::vector<std::string>> refused = {
      {"-sites", "-cache:opts", "-Cfa", "-cache:opts", "-Cdm"},
      {"-sites", "-explain"},
      {"-sites", "-trace:threads", "private"},
      {"-sites:at", "largest"},
      {"-sites:lines"},
      {"-out:sites", path("s.csv")},
      {"-sites", "-cache:opts", kFamily, "-sites:at", "3x3"}};
  for (auto args : refused) {
    args.push_back(path("t.din"));
    Outcome o = run(args);
    SCOPED_TRACE(o.err);
    EXPECT_EQ(o.status, 1);
    size_t at = o.err.find("error: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(o.err.find('\n', at) + 1, o.err.size());  // one last line
    EXPECT_FALSE(has(o.err, "end of simulation"));
  }
}

#ifdef VANTLE_QEMU_PLUGIN
// The three functions of the program in -out:sites file csv, each with
// the miss ratio its loop gives at the largest cache.
void expect_functions_ranked(const Outcome &o, const std::string &csv) {
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<SiteRow> sites = read_site_rows(csv);
  std::map<std::string, double> ratio;
  for (const char *f : {"stream_sum", "small_reuse", "column_walk"}) {
    std::vector<SiteRow> rows = rows_of(sites, f);
    ASSERT_FALSE(rows.empty()) << f << " missing from\n"
                               << read_file(csv);
    const SiteRow &largest = rows.back();
    ASSERT_GE(largest.references, 1 << 17) << f;
    ratio[f] = 1.0 - static_cast<double>(largest.hits) / largest.references;
  }
  EXPECT_GT(ratio["column_walk"], 0.9);
  EXPECT_GT(ratio["stream_sum"], 0.1);
  EXPECT_LT(ratio["stream_sum"], 0.2);
  EXPECT_LT(ratio["small_reuse"], 0.01);
  EXPECT_TRUE(has(o.err, "column_walk")) << o.err;
}

// A program traced live under QEMU: its three functions are named, and
// miss as their loops say at the largest cache: a line apart always,
// streaming once a line, a small array hardly ever. So too when a shell
// execs it, whose code lay at the same addresses before, and under
// valgrind, whose modules come from another source.
TEST_F(SitesTest, LiveFunctionsAreNamedAndRankedByTheirMisses) {
  const std::vector<std::string> runs[] = {
      {"qemu", SITES_PATH},
      {"qemu", "/bin/sh", "-c", std::string("exec ") + SITES_PATH},
      {"valgrind", SITES_PATH}};
  for (const std::vector<std::string> &words : runs) {
    SCOPED_TRACE(words[0] + " " + words.back());
    std::vector<std::string> args = {
        "-cache:opts", kFamily, "-trace:tracer", words[0], "-trace:refs",
        "data", "-sites", "-out:sites", path("sites.csv")};
    args.insert(args.end(), words.begin() + 1, words.end());
    expect_functions_ranked(run(args), path("sites.csv"));
  }
}
#endif

}  // namespace
