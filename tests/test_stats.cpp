// The statistics database: values read at print time, formulas, alignment.
#include "stats.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "isolate.h"

namespace {

counter_t hits, refs;
double hit_ratio() { return refs ? static_cast<double>(hits) / refs : 0; }

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> lines;
  size_t at = 0, nl;
  while ((nl = text.find('\n', at)) != std::string::npos) {
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

TEST(Stats, PrintsCurrentValuesAligned) {
  ChildOutcome o = run_isolated([] {
    stat_sdb_t *sdb = stat_new();
    int seconds = 0;
    double weight = 0;
    stat_reg_counter(sdb, "refs", "references", &refs, 5, nullptr);
    stat_reg_counter(sdb, "hits", "hits", &hits, 0, nullptr);
    stat_reg_int(sdb, "a_much_longer_statistic_name", "seconds", &seconds, 1,
                 nullptr);
    stat_reg_double(sdb, "weight", "weight", &weight, 0.5, "%.2f");
    stat_reg_formula(sdb, "hit_ratio", "hits per reference", hit_ratio,
                     "%.3f");
    printf("initial %lld\n", static_cast<long long>(refs));
    refs = 8000000000LL;  // beyond 32 bits
    hits = 2000000000LL;
    seconds = 3;
    stat_print_stats(sdb, stdout);
    printf("value %.3f %d\n", stat_value(stat_find_stat(sdb, "hit_ratio")),
           stat_find_stat(sdb, "nothing") == nullptr);
  });
  ASSERT_EQ(o.status, 0) << o.err;
  std::vector<std::string> lines = lines_of(o.out);
  ASSERT_EQ(lines.size(), 7u) << o.out;
  EXPECT_EQ(lines.front(), "initial 5");  // registration sets the value
  EXPECT_EQ(lines.back(), "value 0.250 1");
  lines.erase(lines.begin());
  lines.pop_back();
  ASSERT_EQ(lines.size(), 5u) << o.out;
  EXPECT_EQ(lines[0].rfind("refs ", 0), 0u);
  EXPECT_NE(lines[0].find(" 8000000000 # references"), std::string::npos);
  EXPECT_NE(lines[2].find(" 3 # seconds"), std::string::npos);
  EXPECT_NE(lines[3].find(" 0.50 # weight"), std::string::npos);
  EXPECT_NE(lines[4].find(" 0.250 # hits per reference"), std::string::npos);
  size_t column = lines[0].find(" # ");
  for (auto &line : lines) EXPECT_EQ(line.find(" # "), column) << line;
}

TEST(Stats, DuplicateNameIsFatal) {
  ChildOutcome o = run_isolated([] {
    stat_sdb_t *sdb = stat_new();
    stat_reg_counter(sdb, "refs", "x", &refs, 0, nullptr);
    stat_reg_counter(sdb, "refs", "y", &hits, 0, nullptr);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("duplicate statistic `refs'"), std::string::npos);
}

}  // namespace
