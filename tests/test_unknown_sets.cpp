// The record of lines of unknown next use: each set's records, oldest
// first, through appends, removals, clean-ups and renumbering, with sets
// that hold many more records than a bucket has room for.
#include "libvantle/unknown_sets.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "rng.h"

namespace {

using Records = std::vector<std::pair<md_addr_t, int32_t>>;

void collect(md_addr_t addr, int32_t prty, void *into) {
  static_cast<Records *>(into)->push_back({addr, prty});
}

Records set_of(const unknown_sets *u, md_addr_t line) {
  Records got;
  unknown_sets_visit_set(u, line, collect, &got);
  return got;
}

int32_t halve(int32_t prty, void *) { return prty / 2 - 1; }

// Against a model that keeps each set's records in arrival order. Four sets
// and up to a few dozen records in each, so that most operations reach
// past the bucket into the spill table and back. After every step the
// touched set must read as the model's, in order, and say whether it is
// empty as the model does.
TEST(UnknownSets, MatchesAModelPastTheBucketsRoom) {
  static unknown_sets u;
  const int kSetBits = 2;
  unknown_sets_init(&u, "test", kSetBits);
  std::vector<Records> model(1u << kSetBits);
  Rng rng(11);
  int32_t next = -1;
  for (int step = 0; step < 200000; step++) {
    md_addr_t line = rng.below(48);  // few lines: duplicates in a set
    Records &set = model[line & 3];
    uint32_t op = rng.below(16);
    if (op < 8 && set.size() < 40) {
      unknown_sets_add(&u, line, next);
      set.push_back({line, next});
      next--;
    } else if (op < 14) {
      int32_t want = 0;
      for (size_t i = 0; i < set.size(); i++)
        if (set[i].first == line) {
          want = set[i].second;
          set.erase(set.begin() + static_cast<long>(i));
          break;
        }
      ASSERT_EQ(unknown_sets_take(&u, line), want) << "step " << step;
    } else if (op < 15) {
      // A bound among the set's priorities, or past every one of them.
      int32_t bound = set.empty() ? next : set[rng.below(set.size())].second;
      if (rng.chance(0.1)) bound = next;
      unknown_sets_drop_above(&u, line, bound);
      Records kept;
      for (const auto &r : set)
        if (r.second <= bound) kept.push_back(r);
      set = kept;
    } else if (rng.chance(0.02)) {
      unknown_sets_renumber(&u, halve, nullptr);
      for (Records &s : model)
        for (auto &r : s) r.second = halve(r.second, nullptr);
      next = halve(next, nullptr);
    }
    ASSERT_EQ(set_of(&u, line), set) << "step " << step;
    ASSERT_EQ(unknown_sets_none(&u, line), set.empty()) << "step " << step;
  }
  for (md_addr_t s = 0; s < 4; s++) EXPECT_EQ(set_of(&u, s), model[s]);
}

}  // namespace
