// Exhausted memory: every family's initialisation and growth must end
// through the fatal routine with "out of virtual memory", never with a
// crash. The address space of the child is limited with RLIMIT_AS, which
// the sanitizers' shadow memory does not allow, so these tests skip there.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>

#include "isolate.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLimitsWork = false;
#else
constexpr bool kLimitsWork = true;
#endif

// Bytes of address space in use now.
size_t mapped_bytes() {
  FILE *f = fopen("/proc/self/statm", "r");
  unsigned long pages = 0;
  if (f) {
    if (fscanf(f, "%lu", &pages) != 1) pages = 0;
    fclose(f);
  }
  return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void limit_address_space(size_t bytes) {
  rlimit limit{bytes, bytes};
  setrlimit(RLIMIT_AS, &limit);
}

void expect_out_of_memory(const ChildOutcome &o, const std::string &unit) {
  EXPECT_EQ(o.signal, 0) << "crashed: " << o.err;
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_NE(o.err.find("fatal: out of virtual memory [" + unit + ":"),
            std::string::npos)
      << o.err;
}

// Tables that cannot fit are refused before anything is allocated, with
// what they need; a configuration just under the limit still runs.
TEST(Exhaustion, InitialisationBeyondTheLimitIsRefusedUpFront) {
  if (!kLimitsWork) GTEST_SKIP() << "address-space limits clash with ASan";
  const char *const families[] = {
      "-Cfa -Rlru -l0 -M1073741824",  // 4 GiB of depth counters
      "-Cfa -Ropt -l0 -M1073741824", "-Csa -Rlru -a0 -b20 -n10",
      "-Csa -Ropt -a0 -b20 -n10",     "-Cdm -a0 -b20 -c30"};
  for (const char *words : families) {
    ChildOutcome o = run_isolated([&] {
      limit_address_space(mapped_bytes() + (256u << 20));
      init_with(words);
    });
    EXPECT_EQ(o.signal, 0) << words << ": " << o.err;
    EXPECT_EQ(o.status, 1) << words;
    EXPECT_NE(o.err.find("libvantle: this family's tables take "),
              std::string::npos)
        << words << ": " << o.err;
    EXPECT_NE(o.err.find("that RLIMIT_AS allows\n"), std::string::npos)
        << o.err;
  }
  ChildOutcome fits = run_isolated([] {
    limit_address_space(mapped_bytes() + (256u << 20));
    init_with("-Csa -Ropt -a0 -b20 -n1");  // about 70 MiB of tables
    vantle_access(0x40);
    vantle_stats(stdout, 0);
  });
  EXPECT_EQ(fits.status, 0) << fits.err;
}

// Feeds ever new lines until the address space runs out.
void grow_until_exhausted(const char *words) {
  init_with(words);
  limit_address_space(mapped_bytes() + (16u << 20));
  for (md_addr_t line = 0;; line++) vantle_access(line << 4);
}

TEST(Exhaustion, GrowthOfEveryFamilyEndsThroughFatal) {
  if (!kLimitsWork) GTEST_SKIP() << "address-space limits clash with ASan";
  // New lines cost a tree node or a hash record in every family that grows;
  // the OPT families also grow the look-ahead's last-occurrence table.
  ChildOutcome lru = run_isolated([] {
    grow_until_exhausted("-Cfa -Rlru -M67108864");
  });
  expect_out_of_memory(lru, "widestack");
  ChildOutcome opt = run_isolated([] {
    grow_until_exhausted("-Cfa -Ropt -M67108864");
  });
  EXPECT_EQ(opt.signal, 0) << opt.err;
  EXPECT_EQ(opt.status, 1);
  EXPECT_NE(opt.err.find("fatal: out of virtual memory ["), std::string::npos)
      << opt.err;
  ChildOutcome sa = run_isolated([] {
    grow_until_exhausted("-Csa -Ropt -a4 -b14 -n1");
  });
  EXPECT_EQ(sa.signal, 0) << sa.err;
  EXPECT_EQ(sa.status, 1);
  EXPECT_NE(sa.err.find("fatal: out of virtual memory ["), std::string::npos)
      << sa.err;
}

}  // namespace
