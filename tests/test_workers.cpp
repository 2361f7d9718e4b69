// A set-associative LRU or direct-mapped family split over worker
// processes (-cache:workers), each a share of the report's rows: every
// output must be what one process writes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim_run.h"

namespace {

const char *const kSim = VANTLE_SIM_PATH;

// A din trace of n references of every kind over a few thousand lines,
// with some far apart.
std::string din_trace(int n) {
  std::string text;
  uint64_t x = 12345;
  for (int i = 0; i < n; i++) {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    uint32_t r = static_cast<uint32_t>(x >> 33);
    uint32_t line = r % 7 ? (r >> 4) % 3000 : (r >> 4) % 400000;
    char text_line[64];
    snprintf(text_line, sizeof text_line, "%u %x\n", r % 3, line * 8);
    text += text_line;
  }
  return text;
}

// The lines of text that do not depend on the worker count or the clock.
std::string steady(const std::string &text) {
  std::string kept;
  for (const std::string &line : lines_of(text))
    if (!has(line, "-cache:workers") && !has(line, "sim_elapsed_time") &&
        !has(line, "simulation started @") &&
        !has(line, "sim_ref_rate") && !has(line, "\"elapsed"))
      kept += line + "\n";
  return kept;
}

class WorkersTest : public ScratchDirTest {};

// Interim reports from the debugger, the final report and messages, the
// CSV and JSON rows: the same for 1, 2 and 3 workers, for families whose
// rows split unevenly, with a kinds selection and with -trace:max.
TEST_F(WorkersTest, SplitFamilyWritesWhatOneProcessWrites) {
  write_file(path("t.din"), din_trace(30000));
  write_file(path("commands"), "s 700\nr\ns 9000\nr\nc\n");
  const std::vector<std::vector<std::string>> runs{
      {"-cache:opts", "-Csa -a2 -b9 -n2"},
      {"-cache:opts", "data: -Csa -a3 -b7 -l5", "-trace:max", "12000"},
      {"-cache:opts", "-Cdm -a3 -b9 -c12"},
      {"-cache:opts", "-Cdm -a4 -b5 -c10"}};
  for (const auto &family : runs) {
    std::string first_err, first_csv, first_json;
    for (const char *workers : {"1", "2", "3"}) {
      std::vector<std::string> args{"-progress", "false", "-i",
                                    "-cache:workers", workers};
      args.insert(args.end(), family.begin(), family.end());
      args.insert(args.end(), {"-out:csv", path("rows.csv"), "-out:json",
                               path("rows.json"), path("t.din")});
      Launch commands;
      std::string input = path("commands");
      commands.input = input.c_str();
      Outcome o = run_program(kSim, args, commands);
      ASSERT_EQ(o.status, 0) << o.err;
      ASSERT_EQ(count(o.err, "the run goes on"), 2) << o.err;
      std::string err = steady(o.err), csv = read_file(path("rows.csv"));
      std::string json = steady(read_file(path("rows.json")));
      if (first_err.empty()) {
        first_err = err, first_csv = csv, first_json = json;
        continue;
      }
      EXPECT_EQ(err, first_err) << family[1] << ", workers " << workers;
      EXPECT_EQ(csv, first_csv) << family[1] << ", workers " << workers;
      EXPECT_EQ(json, first_json) << family[1] << ", workers " << workers;
    }
  }
}

TEST_F(WorkersTest, RefusesACountOutOfRange) {
  write_file(path("t.din"), "0 10\n");
  for (const char *bad : {"0", "65", "two", ""}) {
    Outcome o = run_program(kSim, {"-cache:workers", bad, path("t.din")});
    EXPECT_EQ(o.status, 1) << bad;
    EXPECT_TRUE(has(o.err, std::string("error: -cache:workers needs a count "
                                       "of processes from 1 to 64, not `") +
                               bad + "'"))
        << o.err;
  }
}

}  // namespace
