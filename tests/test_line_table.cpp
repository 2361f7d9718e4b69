// The line table: records of every line found oldest first through growth,
// removals and purges.
#include "libvantle/line_table.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <unordered_map>

namespace {

// The line table against a model that keeps each line's records in arrival
// order. Few distinct keys make long probe runs, duplicates and removals
// inside runs; the table grows from 1024 slots to 2^17 or more on the way, and
// a purge (remove_if) runs now and then. After every step the oldest record
// of the touched line must be the model's.
TEST(LineTable, MatchesAModelUnderChurnGrowthAndPurges) {
  static line_table t;  // tables live as long as the process, like the units'
  line_table_init(&t, "test");
  std::unordered_map<md_addr_t, std::deque<int32_t>> model;
  size_t records = 0;
  std::mt19937 rng(7);
  int32_t next_value = 0;
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
        line_record *r = line_table_add(&t, key);
        ASSERT_TRUE(r->addr == key && r->a == 0 && r->b == 0);
        r->a = ++next_value;
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
          std::erase_if(values, [](int32_t v) { return (v & 1) != 0; });
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
    for (int32_t v : values) {
      line_record *r = line_table_find(&t, k);
      ASSERT_TRUE(r && r->a == v) << k;
      line_table_remove(&t, r);
    }
  EXPECT_EQ(t.count, 0u);
}

}  // namespace
