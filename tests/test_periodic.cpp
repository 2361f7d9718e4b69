// The periodic marks: when progress lines and interim reports fall due.
#include "libvantle/periodic.h"

#include <gtest/gtest.h>

#include "isolate.h"

namespace {

// Progress lines at the multiples of P_INTERVAL, following a change made
// after initialisation; interim reports each time the count passes the save
// time, whose sums go past 2^32 without wrapping; intervals that are not
// positive turn their output off.
TEST(PeriodicMarks, CountUpWithoutWrappingAndFollowIntervalChanges) {
  ChildOutcome o = run_isolated([] {
    P_INTERVAL = 3;
    SAVE_INTERVAL = 2147483647;
    periodic_marks m;
    periodic_init(&m);
    for (uint64_t count = 1; count <= 12; count++) {
      if (count == 7) P_INTERVAL = 5;
      if (progress_due(&m, count)) printf("p%llu ", (unsigned long long)count);
    }
    for (uint64_t count : {2147483647ull, 2147483648ull, 2147483649ull,
                           4294967294ull, 4294967295ull})
      if (save_due(&m, count)) printf("s%llu ", (unsigned long long)count);
    P_INTERVAL = 0;
    SAVE_INTERVAL = -1;
    periodic_init(&m);
    for (uint64_t count = 1; count < 100; count++)
      if (progress_due(&m, count) || save_due(&m, count)) printf("x");
  });
  EXPECT_EQ(o.out, "p3 p6 p10 s2147483648 s4294967295 ");
}

// Marks for a count that starts late are those the count would have met
// from 0: the multiples of P_INTERVAL above the start, and a report each
// time the count passes a multiple of SAVE_INTERVAL.
TEST(PeriodicMarks, StartLateAsThoughCountedFromZero) {
  ChildOutcome o = run_isolated([] {
    P_INTERVAL = 3;
    SAVE_INTERVAL = 4;
    for (uint64_t start : {0ull, 8ull, 9ull, 2147483646ull}) {
      periodic_marks m;
      periodic_start(&m, start);
      for (uint64_t count = start + 1; count <= start + 9; count++) {
        unsigned long long c = count;
        if (progress_due(&m, count)) printf("p%llu ", c);
        if (save_due(&m, count)) printf("s%llu ", c);
      }
      printf("| ");
    }
  });
  EXPECT_EQ(o.out,
            "p3 s5 p6 p9 s9 | p9 s9 p12 s13 p15 s17 | p12 s13 p15 s17 p18 | "
            "p2147483649 s2147483649 p2147483652 s2147483653 p2147483655 | ");
}

}  // namespace
