// The line table: records of every line, and of every group of lines, found
// oldest first through growth, removals and purges.
#include "libvantle/line_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// The line table against a model that keeps each line's records in arrival
// order. Few distinct keys make long probe runs, duplicates and removals
// inside runs; the table grows from 1024 slots to 2^17 or more on the way, and
// a purge (remove_if) runs now and then. After every step the oldest record
// of the touched line must be the model's. The values cross 2^32, as times
// do in a long run.
TEST(LineTable, MatchesAModelUnderChurnGrowthAndPurges) {
  static line_table t;  // tables live as long as the process, like the units'
  line_table_init(&t, "test");
  std::unordered_map<md_addr_t, std::deque<int64_t>> model;
  size_t records = 0;
  std::mt19937 rng(7);
  int64_t next_value = (int64_t{1} << 32) - 100000;
  auto check = [&](md_addr_t key) {
    line_record *r = line_table_find(&t, key);
    auto it = model.find(key);
    if (it == model.end() || it->second.empty()) return r == nullptr;
    return r && r->addr == key && r->a == it->second.front();
  };
  for (int step = 0; step < 400000; step++) {
    // The key range widens with time so that the table must grow.
    md_addr_t key = rng() % (64 + step / 2);
    if (step % 4 == 3) key *= 1024;  // same low bits, other high bits
    switch (rng() % 8) {
      case 0: case 1: case 2: case 3: {  // append
        line_record *r = line_table_add(&t, key, ++next_value);
        ASSERT_TRUE(r->addr == key && r->a == next_value && r->b == 0);
        model[key].push_back(next_value);
        records++;
        break;
      }
      case 4: case 5: case 6: {  // remove the oldest record
        line_record *r = line_table_find(&t, key);
        ASSERT_EQ(r != nullptr, model.count(key) && !model[key].empty());
        if (!r) break;
        line_table_remove(&t, r);
        model[key].pop_front();
        records--;
        break;
      }
      default:
        if (rng() % 5000) break;
        // A purge of every record whose value is odd.
        line_table_remove_if(
            &t, [](const line_record *r, void *) { return (r->a & 1) != 0; },
            nullptr);
        for (auto &[k, values] : model) {
          size_t before = values.size();
          std::erase_if(values, [](int64_t v) { return (v & 1) != 0; });
          records -= before - values.size();
        }
        for (auto &[k, values] : model) ASSERT_TRUE(check(k)) << k;
    }
    ASSERT_TRUE(check(key)) << "step " << step << " key " << key;
    ASSERT_EQ(t.count, records);
  }
  EXPECT_GE(t.mask + 1, 1u << 17);
  EXPECT_LE(t.count, (t.mask + 1) / 4 * 3);
  // In the end every record comes out, each line's oldest first.
  for (auto &[k, values] : model)
    for (int64_t v : values) {
      line_record *r = line_table_find(&t, k);
      ASSERT_TRUE(r && r->a == v) << k;
      line_table_remove(&t, r);
    }
  EXPECT_EQ(t.count, 0u);
}

// A table grouped by the low 6 bits of the line against a model that keeps
// each group's records in arrival order: every group is visited oldest
// first through growth, wrap-around at the end of the array, removals of
// single records and purges of one group, and no other group loses or
// reorders a record.
TEST(LineTable, GroupsKeepTheirRecordsInArrivalOrder) {
  static line_table t;
  line_table_init_grouped(&t, "test", 6);
  using Record = std::pair<md_addr_t, int32_t>;  // line, value
  std::vector<std::vector<Record>> model(64);
  std::mt19937 rng(11);
  int32_t next_value = 0;
  auto group_matches = [&](md_addr_t line) {
    const std::vector<Record> &want = model[line & 63];
    std::vector<Record> got;
    for (line_record *r = line_table_group_first(&t, line); r;
         r = line_table_group_next(&t, r))
      got.push_back({r->addr, r->a});
    return got == want && line_table_group_empty(&t, line) == want.empty();
  };
  for (int step = 0; step < 200000; step++) {
    // Few groups, many lines each: long runs that merge and wrap.
    md_addr_t line = rng() % (64 * (8 + step / 100));
    std::vector<Record> &group = model[line & 63];
    uint32_t what = rng() % 16;
    if (what < 9) {
      line_table_add(&t, line, ++next_value);
      group.push_back({line, next_value});
    } else if (what < 15) {  // the line's oldest record, if any
      line_record *r = line_table_find(&t, line);
      auto it = std::find_if(group.begin(), group.end(),
                             [&](const Record &x) { return x.first == line; });
      ASSERT_EQ(r != nullptr, it != group.end()) << step;
      if (!r) continue;
      ASSERT_EQ(r->a, it->second) << step;
      line_table_remove(&t, r);
      group.erase(it);
    } else {  // the group's records with an odd value
      auto odd = [](const line_record *r, void *) { return (r->a & 1) != 0; };
      line_table_remove_from_group_if(&t, line, odd, nullptr);
      std::erase_if(group, [](const Record &x) { return (x.second & 1) != 0; });
      for (md_addr_t g = 0; g < 64; g++) ASSERT_TRUE(group_matches(g)) << g;
    }
    ASSERT_TRUE(group_matches(line)) << "step " << step << " line " << line;
  }
  EXPECT_GE(t.mask + 1, 1u << 16);
  for (md_addr_t g = 0; g < 64; g++) EXPECT_TRUE(group_matches(g)) << g;
}

}  // namespace
