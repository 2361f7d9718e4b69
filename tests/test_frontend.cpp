// The front end: option parsing, validation and its failure table, the
// parameter printout, and the calls made before initialisation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "isolate.h"
#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"
#include "rng.h"

namespace {

// Initialises with words and prints the configuration variables.
ChildOutcome init_and_show(const std::string &words) {
  return run_isolated([&] {
    init_with(words);
    printf("A=%d B=%d C=%d L=%d N=%d T=%d M=%u lines=%u i=%d cfg=%d repl=%d",
           A, B, C, L, N, T, MAX_CACHE_SIZE, MAX_LINES, MISS_RATIO_INTERVAL,
           trace_config, repl);
  });
}

ChildOutcome config_of(const std::string &words) {
  return run_isolated([&] {
    init_with(words);
    vantle_config(stdout);
  });
}

void expect_refused(const std::string &words, const std::string &message) {
  ChildOutcome o = init_and_show(words);
  EXPECT_EQ(o.status, 1) << words;
  EXPECT_EQ(o.err, message) << words;
  EXPECT_EQ(o.out, "") << words;
}

TEST(Options, EmptyVectorGivesTheDefaultSetAssociativeLruRun) {
  ChildOutcome o = init_and_show("");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(o.out,
            "A=7 B=14 C=16 L=4 N=1 T=2147483647 M=524288 lines=0 i=512 cfg=2 "
            "repl=0");
}

TEST(Options, ValuesAreGluedConvertedLikeAtoiAndLaterWordsWin) {
  ChildOutcome o = init_and_show("-b12abc -a+3 -n -l2 -a5 -Rlru -CSA");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out,
            "A=5 B=12 C=16 L=2 N=0 T=2147483647 M=524288 lines=0 i=512 cfg=2 "
            "repl=0");
}

TEST(Options, OrderDoesNotMatterForValidation) {
  // -a9 alone would exceed the default B; the later -b fixes it.
  EXPECT_EQ(init_and_show("-a9 -Csa -b10").status, 0);
  EXPECT_EQ(init_and_show("-b10 -a9").status, 0);
}

TEST(Options, UnknownLettersAreReportedAndSkipped) {
  ChildOutcome o = init_and_show("-x5 -Cfa -A3 -L2 -l5");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err,
            "libvantle: `-x' is not a valid option\n"
            "libvantle: `-A' is not a valid option\n"
            "libvantle: `-L' is not a valid option\n");
  EXPECT_NE(o.out.find("L=5 "), std::string::npos);
  EXPECT_NE(o.out.find("cfg=3 "), std::string::npos);
}

TEST(Options, RefusedWordsAndValues) {
  expect_refused("-Cfa 7", "libvantle: illegal argument `7'\n");
  expect_refused("-a 7", "libvantle: illegal argument `7'\n");
  expect_refused("-C16", "libvantle: configuration `16' not supported\n");
  expect_refused("-CFa", "libvantle: configuration `Fa' not supported\n");
  expect_refused("-RLru", "libvantle: replacement policy `Lru' not supported\n");
  expect_refused("-R", "libvantle: replacement policy `' not supported\n");
}

TEST(Options, PolicyAndOrganisationNamesInBothCases) {
  for (const char *words : {"-Rlru", "-RLRU"})
    EXPECT_NE(init_and_show(words).out.find("repl=0"), std::string::npos);
  for (const char *words : {"-Ropt -Cfa", "-ROPT -CFA"}) {
    ChildOutcome o = init_and_show(words);
    EXPECT_NE(o.out.find("cfg=3 repl=1"), std::string::npos) << o.err;
  }
  EXPECT_NE(init_and_show("-CDM").out.find("cfg=4"), std::string::npos);
}

TEST(Init, SecondInitialisationIsRefused) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cfa");
    init_with("-Csa");
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "libvantle: already initialized\n");
}

TEST(FullyAssociative, IntervalBecomesLinesOrOneLine) {
  EXPECT_NE(init_and_show("-Cfa").out.find("lines=32768 i=32 "),
            std::string::npos);
  EXPECT_NE(init_and_show("-Cfa -i100").out.find("i=6 "), std::string::npos);
  ChildOutcome o = init_and_show("-Cfa -i0");
  EXPECT_EQ(o.err,
            "libvantle: line size > output interval!!\n"
            "libvantle: output interval changed to line size\n");
  EXPECT_NE(o.out.find("i=1 "), std::string::npos);
}

TEST(FullyAssociative, CacheSmallerThanALineIsRefusedAfterIntervalMessages) {
  expect_refused("-Cfa -M8",
                 "libvantle: max cache size is less than line size\n");
  expect_refused("-Cfa -M8 -i8",
                 "libvantle: line size > output interval!!\n"
                 "libvantle: output interval changed to line size\n"
                 "libvantle: max cache size is less than line size\n");
}

TEST(FullyAssociative, LargeCacheWarnsAndGoesOn) {
  ChildOutcome o = init_and_show("-Cfa -M4194304");
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "libvantle: warning: mem limit may be exceeded\n");
  EXPECT_NE(o.out.find("lines=262144 "), std::string::npos);
}

TEST(Validation, OrderingOfExponents) {
  expect_refused("-Cdm -a3 -b2",
                 "libvantle: min line size greater than max line\n");
  expect_refused("-Cdm -b17",
                 "libvantle: max line size greater than cache size\n");
  expect_refused("-Csa -a9 -b8",
                 "libvantle: min number of sets greater than max\n");
  expect_refused("-Csa -Ropt -a9 -b8",
                 "libvantle: min number of sets greater than max\n");
}

TEST(Validation, ExponentsOutsideTheWordAreRefusedNamingTheOption) {
  expect_refused("-Cfa -l31",
                 "libvantle: -l: line size exponent must be in 0..30, got "
                 "31\n");
  expect_refused("-Cfa -l-1",
                 "libvantle: -l: line size exponent must be in 0..30, got "
                 "-1\n");
  expect_refused("-Csa -a-2",
                 "libvantle: -a: min set count exponent must be in 0..30, "
                 "got -2\n");
  expect_refused("-Csa -Ropt -b20 -n11",
                 "libvantle: -b/-n: max set count and associativity "
                 "exponents must add up to at most 30, got 20 + 11\n");
  expect_refused("-Csa -n40",
                 "libvantle: -n: associativity exponent must be in 0..30, "
                 "got 40\n");
  expect_refused("-Cdm -c31 -b20",
                 "libvantle: -c: cache size exponent must be in 1..30, got "
                 "31\n");
  expect_refused("-Cdm -a0 -b0 -c0",
                 "libvantle: -c: cache size exponent must be in 1..30, got "
                 "0\n");
  expect_refused("-Cfa -l0 -M4294967295",
                 "libvantle: -M: max cache size must be at most 2^30 lines, "
                 "got 4294967295 lines\n");
}

TEST(Validation, ReportsTooLargeToReadAreRefused) {
  expect_refused("-Csa -a0 -b0 -n24",
                 "libvantle: -a/-b/-n: the report would print 16777216 miss "
                 "ratios (1 set counts x 16777216 associativities), more "
                 "than 1048576\n");
  expect_refused("-Csa -Ropt -a0 -b10 -n17",
                 "libvantle: -a/-b/-n: the report would print 1441792 miss "
                 "ratios (11 set counts x 131072 associativities), more than "
                 "1048576\n");
  ChildOutcome at_bound = init_and_show("-Csa -a1 -b4 -n18");  // 4 x 2^18
  EXPECT_EQ(at_bound.status, 0) << at_bound.err;
}

TEST(Options, ValuesThatDoNotFitTheirVariableAreRefusedAsWritten) {
  // A cast would wrap each of these into another, valid-looking value.
  const char *const kInt = "out of range -2147483648..2147483647\n";
  expect_refused("-Csa -a4294967297",
                 std::string("libvantle: -a: `4294967297' is ") + kInt);
  expect_refused("-n4294967296",
                 std::string("libvantle: -n: `4294967296' is ") + kInt);
  expect_refused("-Cdm -c-4294967295",
                 std::string("libvantle: -c: `-4294967295' is ") + kInt);
  expect_refused("-l99999999999999999999x",
                 std::string("libvantle: -l: `99999999999999999999x' is ") +
                     kInt);
  expect_refused("-Cfa -i2147483648",
                 std::string("libvantle: -i: `2147483648' is ") + kInt);
  expect_refused("-b-9223372036854775809",
                 std::string("libvantle: -b: `-9223372036854775809' is ") +
                     kInt);
  const char *const kSize = "out of range 0..4294967295\n";
  expect_refused("-Cfa -M4295491584",
                 std::string("libvantle: -M: `4295491584' is ") + kSize);
  expect_refused("-Cfa -M99999999999",
                 std::string("libvantle: -M: `99999999999' is ") + kSize);
  expect_refused("-Cfa -M-512",
                 std::string("libvantle: -M: `-512' is ") + kSize);
  // The first word out of range ends parsing: no later word is read.
  expect_refused("-a4294967297 -Cxx",
                 std::string("libvantle: -a: `4294967297' is ") + kInt);
}

TEST(Options, ValuesAtTheEdgesOfTheirVariableAreAccepted) {
  ChildOutcome o = run_isolated([] {
    char fa[] = "-Cfa", max[] = "-M 4294967295", step[] = "-i-2147483648",
         a[] = "-a2147483647", b[] = "-b-2147483648";
    char *words[] = {fa, max, step, a, b};
    vantle_configure(5, words);
    printf("%u %d %d", MAX_CACHE_SIZE, A, B);
  });
  EXPECT_EQ(o.out, "4294967295 2147483647 -2147483648");
  // The fully associative family ignores -a and -b, and turns a negative
  // interval into one line.
  EXPECT_EQ(o.err.find("out of range"), std::string::npos) << o.err;
}

TEST(Config, PrintsTheParametersOfEachOrganisation) {
  EXPECT_EQ(config_of("").out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: LRU Set-associative caches being simulated\n"
            "libvantle: number of sets from 128 to 16384\n"
            "libvantle: maximum associativity is 2\n"
            "libvantle: line size is 16 bytes\n");
  EXPECT_EQ(config_of("-Cfa -Rlru -l5 -M65536").out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: LRU Fully-associative caches being simulated\n"
            "libvantle: max cache size is 65536 bytes\n"
            "libvantle: line size is 32 bytes\n");
  EXPECT_EQ(config_of("-Cfa -Ropt").out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: OPT Fully-associative caches being simulated\n"
            "libvantle: max cache size is 524288 bytes\n"
            "libvantle: line size is 16 bytes\n");
  EXPECT_EQ(config_of("-Cdm -Ropt -a4 -b6 -c12").out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: Direct-mapped caches being simulated\n"
            "libvantle: cache size is 4096 bytes\n"
            "libvantle: line sizes from 16 to 64 bytes\n");
  EXPECT_EQ(config_of("-Csa -Ropt -a0 -b3 -n2 -l6").out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: OPT Set-associative caches being simulated\n"
            "libvantle: number of sets from 1 to 8\n"
            "libvantle: maximum associativity is 4\n"
            "libvantle: line size is 64 bytes\n");
}

TEST(Config, PrintsCacheSizesOf2GiBAndMoreUnsigned) {
  ChildOutcome o = run_isolated([] {
    char fa[] = "-Cfa", max[] = "-M4294967280";
    char *words[] = {fa, max};
    if (vantle_configure(2, words) == 0) vantle_config(stdout);
  });
  EXPECT_NE(o.out.find("libvantle: max cache size is 4294967280 bytes\n"),
            std::string::npos);
}

TEST(BeforeInit, EveryCallButResultsEndsTheProcess) {
  ChildOutcome access = run_isolated([] { vantle_access(64); });
  EXPECT_EQ(access.status, 1);
  EXPECT_EQ(access.err, "libvantle: configuration wrongly set\n");

  ChildOutcome stats = run_isolated([] { vantle_stats(stdout, 0); });
  EXPECT_EQ(stats.status, 1);
  EXPECT_EQ(stats.out, "\nlibvantle: ** end of simulation **\n");
  EXPECT_EQ(stats.err, "libvantle: configuration wrongly set\n");

  ChildOutcome config = run_isolated([] { vantle_config(stdout); });
  EXPECT_EQ(config.status, 1);
  EXPECT_EQ(config.out,
            "\nlibvantle: ** simulation parameters **\n"
            "libvantle: LRU LRU caches being simulated\n");
  EXPECT_EQ(config.err, "libvantle: configuration wrongly set.\n");

  ChildOutcome results = run_isolated([] {
    vantle_result row;
    printf("%d", vantle_results(&row, 1));
  });
  EXPECT_EQ(results.out, "0");
}

TEST(ReferenceLimit, LaterReferencesAreIgnoredWithOneMessage) {
  for (const char *family : {"-Cfa -Rlru", "-Csa", "-Cdm", "-Cfa -Ropt",
                             "-Csa -Ropt"}) {
    ChildOutcome o = run_isolated([&] {
      vantle_set_reference_limit(5);
      init_with(family);
      for (md_addr_t a = 0; a < 9; a++) vantle_access(a * 4096);
      vantle_stats(stdout, 0);
      send_results();
    });
    EXPECT_EQ(o.status, 0) << family << o.err;
    EXPECT_EQ(o.err,
              "libvantle: reference limit of 5 reached; later references are "
              "not simulated\n")
        << family;
    std::vector<vantle_result> rows = received_results(o);
    ASSERT_FALSE(rows.empty()) << family;
    for (const vantle_result &row : rows) EXPECT_EQ(row.references, 5u);
  }
  EXPECT_EQ(vantle_reference_limit(), uint64_t{INT64_MAX});
}

TEST(FinalReport, LaterReferencesAreIgnoredAlikeInEveryFamily) {
  for (const char *family : {"-Cfa -Rlru", "-Csa", "-Cdm", "-Cfa -Ropt",
                             "-Csa -Ropt", "-Cdm -Ropt"}) {
    ChildOutcome o = run_isolated([&] {
      init_with(family);
      for (md_addr_t a = 0; a < 5; a++) vantle_access(a * 4096);
      vantle_stats(stdout, 0);
      for (md_addr_t a = 0; a < 3; a++) vantle_access(a * 64);
      send_results();
    });
    EXPECT_EQ(o.status, 0) << family << o.err;
    EXPECT_EQ(o.err, "libvantle: reference after the final report ignored\n")
        << family;
    std::vector<vantle_result> rows = received_results(o);
    ASSERT_FALSE(rows.empty()) << family;
    for (const vantle_result &row : rows)
      EXPECT_EQ(row.references, 5u) << family;
  }
}

TEST(FinalReport, IsSaidAlsoAfterTheReferenceLimit) {
  ChildOutcome o = run_isolated([] {
    vantle_set_reference_limit(3);
    init_with("-Cdm");
    for (md_addr_t a = 0; a < 5; a++) vantle_access(a);
    vantle_stats(stdout, 0);
    for (md_addr_t a = 0; a < 4; a++) vantle_access(a);
    send_results();
  });
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.err,
            "libvantle: reference limit of 3 reached; later references are "
            "not simulated\n"
            "libvantle: reference after the final report ignored\n");
  for (const vantle_result &row : received_results(o))
    EXPECT_EQ(row.references, 3u);
}

TEST(Configure, ReturnsInsteadOfEndingTheProcess) {
  ChildOutcome o = run_isolated([] {
    char bad[] = "-Cxx", good[] = "-Cdm", a[] = "-a1", b[] = "-b3",
         c[] = "-c2";
    char *first[] = {bad};
    char *second[] = {good, a, b, c};
    char *third[] = {good};
    int refused = vantle_configure(1, first);
    int too_large = vantle_configure(4, second);
    int fine = vantle_configure(1, third);
    printf("%d %d %d", refused, too_large, fine);
  });
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "1 1 0");
  EXPECT_EQ(o.err,
            "libvantle: configuration `xx' not supported\n"
            "libvantle: max line size greater than cache size\n");
}

// ---- Runs of repeats ---------------------------------------------------------

// A trace of runs: each a line of 64 bytes from a few, referenced 1 to 40
// times, mostly at one address and now and then elsewhere in the line.
std::vector<md_addr_t> trace_of_runs(uint64_t seed, size_t length) {
  Rng rng(seed);
  std::vector<md_addr_t> trace;
  while (trace.size() < length) {
    md_addr_t line = rng.below(48) * 0x1040u + rng.below(2) * 0x40000u;
    md_addr_t addr = line * 64 + rng.below(64);
    for (uint32_t n = 1 + rng.below(40); n && trace.size() < length; n--) {
      if (rng.chance(0.3)) addr = line * 64 + rng.below(64);
      trace.push_back(addr);
    }
  }
  return trace;
}

// Prints every row of vantle_results and vantle_explanation.
void print_rows() {
  std::vector<vantle_result> rows(vantle_results(nullptr, 0));
  vantle_results(rows.data(), static_cast<int>(rows.size()));
  for (const vantle_result &r : rows)
    printf("%u %u %u %llu %llu %a\n", r.line_size, r.sets, r.associativity,
           static_cast<unsigned long long>(r.references),
           static_cast<unsigned long long>(r.hits), r.miss_ratio);
  std::vector<vantle_explained> why(vantle_explanation(nullptr, 0));
  vantle_explanation(why.data(), static_cast<int>(why.size()));
  for (const vantle_explained &e : why)
    printf("%llu %llu %llu %llu\n",
           static_cast<unsigned long long>(e.compulsory),
           static_cast<unsigned long long>(e.fully_associative_misses),
           static_cast<unsigned long long>(e.writebacks),
           static_cast<unsigned long long>(e.dirty_at_end));
}

enum Feed { ONE_BY_ONE, RUNS, BATCHES };

// In the child: the family of words (explained with explain) started at
// a count near 2^31, where the first interim report falls due, with a
// progress line every 7 references, a report every 50 and a reference
// limit 100 before the end of a trace of length references.
void start_near_the_edge(const std::string &words, unsigned explain,
                         size_t length) {
  const uint64_t start = 2147483600;
  vantle_set_reference_limit(start + length - 100);
  if (explain) vantle_explain(explain);
  init_with(words);
  if (test_start_at(start)) _exit(3);
  P_INTERVAL = 7;
  SAVE_INTERVAL = 50;
}

// Feeds trace from a count near 2^31, where the first interim report falls
// due, with a progress line every 7 references and a report every 50, a
// reference limit before its end, rows and interim reports asked for at
// every 333rd reference, and one run more after the final report. RUNS: each run of
// one line at vantle_line_bits, cut where a report is asked for, goes to
// vantle_access_repeat (of one address where the family takes repeats one
// by one); BATCHES: the references between reports go to
// vantle_access_batch. Returns everything the library said and counted.
ChildOutcome run_of_repeats(const std::string &words, unsigned explain,
                            const std::vector<md_addr_t> &trace, Feed feed) {
  return run_isolated([&] {
    start_near_the_edge(words, explain, trace.size());
    int bits = vantle_line_bits();
    if (bits < 0) bits = 0;  // runs of one address, fed one by one
    for (size_t i = 0; i < trace.size();) {
      size_t end = i + 1;
      while (feed != ONE_BY_ONE && end < trace.size() && end % 333 &&
             (feed == BATCHES || trace[end] >> bits == trace[i] >> bits))
        end++;
      if (feed == BATCHES)
        vantle_access_batch(&trace[i], end - i);
      else if (feed == RUNS)
        vantle_access_repeat(trace[i], end - i);
      else
        vantle_access(trace[i]);
      if (end % 333 == 0) {  // the rows, then the report
        print_rows();
        vantle_stats(stdout, 1);
      }
      i = end;
    }
    vantle_stats(stdout, 0);
    vantle_access_repeat(trace[0], 3);
    print_rows();
  });
}

// A run of repeats, or a batch, given at once counts, reports and says
// exactly what the same references do one by one, in every family, with progress lines,
// interim reports, the limit of a small fully-associative stack and the
// reference limit falling inside runs, and with misses explained.
TEST(Repeats, InBulkAreTheSameAsOneByOneInEveryFamily) {
  const std::vector<md_addr_t> trace = trace_of_runs(11, 3000);
  const unsigned every = VANTLE_EXPLAIN_COMPULSORY |
                         VANTLE_EXPLAIN_FULLY_ASSOCIATIVE |
                         VANTLE_EXPLAIN_WRITEBACKS;
  for (const char *words :
       {"-Cfa -Rlru", "-Cfa -Rlru -M512 -i16", "-Csa", "-Csa -n0 -a0 -b4",
        "-Csa -n2 -l6", "-Csa -a0 -b3 -l0 -n2", "-Cdm", "-Cdm -a2 -b6 -c10",
        "-Cdm -a0 -b0 -c5", "-Cfa -Ropt -M1024", "-Csa -Ropt -a2 -b5"}) {
    for (unsigned explain : {0u, every}) {
      ChildOutcome single = run_of_repeats(words, explain, trace, ONE_BY_ONE);
      std::string what = std::string(words) + (explain ? " explained" : "");
      ASSERT_EQ(single.status, 0) << what << single.err;
      EXPECT_NE(single.err.find("addresses processed"), std::string::npos)
          << what;
      for (Feed feed : {RUNS, BATCHES}) {
        ChildOutcome bulk = run_of_repeats(words, explain, trace, feed);
        EXPECT_EQ(bulk.status, 0) << what << bulk.err;
        EXPECT_EQ(bulk.out, single.out) << what << " " << feed;
        EXPECT_EQ(bulk.err, single.err) << what << " " << feed;
      }
    }
  }
}

// ---- Batches with sites -------------------------------------------------------

// Sites for trace: each held for 1 to 30 references, so that runs of one
// line by one site come and go within runs of the line; numbers up to 80,
// so that the sites' table grows inside batches. The reference at bad, if
// any, has a site above the largest.
std::vector<uint32_t> sites_of_runs(uint64_t seed, size_t length,
                                    size_t bad) {
  Rng rng(seed);
  std::vector<uint32_t> sites;
  while (sites.size() < length) {
    uint32_t site = rng.chance(0.5) ? rng.below(6) : rng.below(80);
    for (uint32_t n = 1 + rng.below(30); n && sites.size() < length; n--)
      sites.push_back(site);
  }
  if (bad < length) sites[bad] = VANTLE_MOST_SITES;
  return sites;
}

// Prints the site count and every site's rows.
void print_site_rows() {
  uint32_t count = vantle_site_count();
  std::vector<vantle_result> rows(vantle_results(nullptr, 0));
  printf("sites %u\n", count);
  for (uint32_t site = 0; site < count; site++) {
    vantle_site_results(site, rows.data(), static_cast<int>(rows.size()));
    for (const vantle_result &r : rows)
      printf("%llu %llu\n", static_cast<unsigned long long>(r.references),
             static_cast<unsigned long long>(r.hits));
  }
}

// run_of_repeats with sites: each reference to vantle_access_at, or
// (batched) the references between reports to vantle_access_batch_at;
// the family's and every site's rows printed before each interim report
// and at the end.
ChildOutcome run_with_sites(const std::string &words, unsigned explain,
                            const std::vector<md_addr_t> &trace,
                            const std::vector<uint32_t> &sites,
                            bool batched) {
  return run_isolated([&] {
    start_near_the_edge(words, explain, trace.size());
    for (size_t i = 0; i < trace.size();) {
      size_t end = i + 1;
      while (batched && end < trace.size() && end % 333) end++;
      if (batched)
        vantle_access_batch_at(&trace[i], &sites[i], end - i);
      else
        vantle_access_at(trace[i], sites[i]);
      if (end % 333 == 0) {
        print_rows();
        print_site_rows();
        vantle_stats(stdout, 1);
      }
      i = end;
    }
    vantle_stats(stdout, 0);
    vantle_access_batch_at(&trace[0], &sites[0], 3);
    print_rows();
    print_site_rows();
  });
}

// A batch with sites counts, reports and says exactly what its references
// do one by one through vantle_access_at, in every family and with misses
// explained: each site's rows, with progress lines, interim reports, the
// reference limit and the sites' table's growth inside batches; a site
// above the largest ends the run at the same reference.
TEST(SiteBatches, AreTheSameAsOneByOneInEveryFamily) {
  const std::vector<md_addr_t> trace = trace_of_runs(23, 3000);
  const std::vector<uint32_t> sites = sites_of_runs(24, 3000, SIZE_MAX);
  const std::vector<uint32_t> bad = sites_of_runs(24, 3000, 1500);
  const unsigned explain =
      VANTLE_EXPLAIN_COMPULSORY | VANTLE_EXPLAIN_FULLY_ASSOCIATIVE;
  for (const char *words :
       {"-Cfa -Rlru", "-Cfa -Rlru -M512 -i16", "-Csa", "-Csa -n0 -a0 -b4",
        "-Csa -n2 -l6", "-Csa -a0 -b3 -l0 -n2", "-Cdm", "-Cdm -a2 -b6 -c10",
        "-Cdm -a0 -b0 -c5", "-Cfa -Ropt -M1024", "-Csa -Ropt -a2 -b5"}) {
    for (unsigned parts : {0u, explain}) {
      std::string what = std::string(words) + (parts ? " explained" : "");
      ChildOutcome single = run_with_sites(words, parts, trace, sites, false);
      ASSERT_EQ(single.status, 0) << what << single.err;
      EXPECT_NE(single.err.find("addresses processed"), std::string::npos)
          << what;
      ChildOutcome batch = run_with_sites(words, parts, trace, sites, true);
      EXPECT_EQ(batch.status, 0) << what << batch.err;
      EXPECT_EQ(batch.out, single.out) << what;
      EXPECT_EQ(batch.err, single.err) << what;
    }
    ChildOutcome single = run_with_sites(words, 0, trace, bad, false);
    EXPECT_EQ(single.status, 1) << words;
    EXPECT_NE(single.err.find("vantle_access_at: site 16777216"),
              std::string::npos) << words << single.err;
    ChildOutcome batch = run_with_sites(words, 0, trace, bad, true);
    EXPECT_EQ(batch.status, 1) << words;
    EXPECT_EQ(batch.out, single.out) << words;
    EXPECT_EQ(batch.err, single.err) << words;
  }
}

}  // namespace
