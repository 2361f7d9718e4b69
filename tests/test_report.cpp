// The reports' shared parts: the depth counts of the fully-associative
// families, whose 32-bit halves carry into a second table.
#include "libvantle/report.h"

#include <gtest/gtest.h>

#include <stdint.h>

namespace {

// Counts added one at a time and in bulk across 2^32 and beyond, against
// plain 64-bit sums; a count that never wraps leaves the upper table alone.
TEST(DepthCounts, CarryPast32BitsExactly) {
  static depth_counts c;
  depth_counts_init(&c, 8, "test");
  uint64_t want[8] = {};
  depth_counts_add_many(&c, 1, (uint64_t{1} << 32) - 3);
  want[1] = (uint64_t{1} << 32) - 3;
  for (int k = 0; k < 5; k++) depth_counts_add(&c, 2);
  want[2] = 5;
  EXPECT_EQ(c.high, nullptr);
  for (int k = 0; k < 10; k++) depth_counts_add(&c, 1);
  want[1] += 10;
  depth_counts_add_many(&c, 3, uint64_t{5} << 32);
  want[3] = uint64_t{5} << 32;
  depth_counts_add_many(&c, 1, (uint64_t{1} << 33) + 7);
  want[1] += (uint64_t{1} << 33) + 7;
  depth_counts_add(&c, 3);
  want[3] += 1;
  for (size_t d = 0; d < 8; d++) EXPECT_EQ(depth_count(&c, d), want[d]) << d;
}

}  // namespace
