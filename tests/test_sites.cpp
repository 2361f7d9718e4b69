// Results by site (vantle_access_at, vantle_site_results): for every member
// of every family, each site's references and hits against naive caches
// that the sites share, counted by site; the family's own rows unchanged
// by sites and equal, while every reference has a site, to the sum over
// the sites, at an interim report as at the end; references without a
// site counted for none; the OPT families' sites through the look-ahead
// window's hand-offs and final drain.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "isolate.h"
#include "reference/naive_sites.h"
#include "rng.h"

namespace {

using naive_sites::kNoSite;
using naive_sites::SiteCounts;
using naive_sites::Trace;

// Hot lines most of the time, a wide range otherwise, so that every
// member sees hits and misses; every unsited_every-th reference without a
// site (0: every one with a site).
Trace random_trace(uint64_t seed, size_t n, uint32_t sites,
                   size_t unsited_every) {
  Rng rng(seed);
  Trace tr;
  tr.site_count = sites;
  for (size_t t = 0; t < n; t++) {
    uint32_t line = rng.chance(0.7) ? rng.below(600) : rng.below(20000);
    tr.addrs.push_back(line * 64 + rng.below(64));
    bool unsited = unsited_every && t % unsited_every == unsited_every - 1;
    tr.sites.push_back(unsited ? kNoSite : rng.below(sites));
  }
  return tr;
}

// Thousands of sites, each a short strided run over arrays that other
// sites also walk, as loops of many functions do.
Trace structured_trace(uint64_t seed, size_t n, uint32_t sites) {
  Rng rng(seed);
  Trace tr;
  tr.site_count = sites;
  while (tr.addrs.size() < n) {
    uint32_t site = rng.chance(0.5) ? rng.below(40) : rng.below(sites);
    uint32_t base = (site % 97) * 4096 + rng.below(64) * 16;
    uint32_t stride = 4u << (site % 5), run = 1 + site % 23;
    for (uint32_t k = 0; k < run && tr.addrs.size() < n; k++) {
      tr.addrs.push_back(base + k * stride);
      tr.sites.push_back(site);
    }
  }
  return tr;
}

// What the child sends back: the site count, the family's rows, each
// site's rows, and whether the sum over the sites matched the family's
// rows at the interim report.
struct Outcome {
  uint32_t site_count = 0;
  bool interim_sums_equal = false;
  std::vector<vantle_result> family;
  std::vector<std::vector<vantle_result>> by_site;
};

std::vector<vantle_result> site_rows(uint32_t site, int n) {
  std::vector<vantle_result> rows(n);
  EXPECT_EQ(vantle_site_results(site, rows.data(), n), n);
  return rows;
}

// In the child: whether, summed over the sites, the references and hits
// of every row are the family's.
bool sums_equal_family(uint32_t sites) {
  int n = vantle_results(nullptr, 0);
  std::vector<vantle_result> family(n);
  vantle_results(family.data(), n);
  std::vector<uint64_t> refs(n), hits(n);
  for (uint32_t s = 0; s < sites; s++) {
    std::vector<vantle_result> rows = site_rows(s, n);
    for (int i = 0; i < n; i++) refs[i] += rows[i].references, hits[i] += rows[i].hits;
  }
  for (int i = 0; i < n; i++)
    if (refs[i] != family[i].references || hits[i] != family[i].hits)
      return false;
  return true;
}

void feed(const Trace &tr, size_t from, size_t to) {
  for (size_t t = from; t < to; t++)
    if (tr.sites[t] == kNoSite)
      vantle_access(tr.addrs[t]);
    else
      vantle_access_at(tr.addrs[t], tr.sites[t]);
}

Outcome run(const std::string &words, const Trace &tr, size_t interim_at,
            unsigned explain = 0) {
  ChildOutcome o = run_isolated([&] {
    if (explain) vantle_explain(explain);
    init_with(words);
    FILE *null_file = fopen("/dev/null", "w");
    feed(tr, 0, interim_at);
    vantle_stats(null_file, 1);
    uint8_t interim = sums_equal_family(tr.site_count);
    feed(tr, interim_at, tr.addrs.size());
    vantle_stats(null_file, 0);
    uint32_t count = vantle_site_count();
    send_to_parent(&count, sizeof count);
    send_to_parent(&interim, 1);
    int n = vantle_results(nullptr, 0);
    send_to_parent(&n, sizeof n);
    send_results();
    for (uint32_t s = 0; s < tr.site_count; s++) {
      std::vector<vantle_result> rows = site_rows(s, n);
      send_to_parent(rows.data(), rows.size() * sizeof(vantle_result));
    }
  });
  EXPECT_EQ(o.status, 0) << o.err;
  Outcome out;
  const char *p = o.data.data();
  if (o.data.size() < 9) return out;
  int n = 0;
  memcpy(&out.site_count, p, 4);
  out.interim_sums_equal = p[4] == 1;
  memcpy(&n, p + 5, 4);
  p += 9;
  size_t row_bytes = n * sizeof(vantle_result);
  if (o.data.size() != 9 + row_bytes * (1 + tr.site_count)) {
    ADD_FAILURE() << "child sent " << o.data.size() << " bytes";
    return out;
  }
  out.family.resize(n);
  memcpy(out.family.data(), p, row_bytes);
  for (uint32_t s = 0; s < tr.site_count; s++) {
    p += row_bytes;
    out.by_site.emplace_back(n);
    memcpy(out.by_site.back().data(), p, row_bytes);
  }
  return out;
}

void expect_matches(const std::string &words, const Trace &tr,
                    const SiteCounts &model, const Outcome &got,
                    bool interim_sums) {
  SCOPED_TRACE(words);
  uint32_t largest_fed = 0;
  for (uint32_t s : tr.sites)
    if (s != kNoSite && s + 1 > largest_fed) largest_fed = s + 1;
  EXPECT_EQ(got.site_count, largest_fed);
  if (interim_sums) {
    EXPECT_TRUE(got.interim_sums_equal);
  }
  ASSERT_EQ(got.family.size(), model.family.size());
  for (size_t m = 0; m < model.family.size(); m++)
    EXPECT_EQ(got.family[m].hits, model.family[m]) << "family row " << m;
  ASSERT_EQ(got.by_site.size(), tr.site_count);
  int wrong = 0;
  for (uint32_t s = 0; s < tr.site_count && wrong < 5; s++)
    for (size_t m = 0; m < model.family.size(); m++) {
      const vantle_result &r = got.by_site[s][m];
      bool ok = r.references == model.references[s] &&
                r.hits == model.hits[s][m] &&
                r.line_size == got.family[m].line_size &&
                r.cache_size == got.family[m].cache_size &&
                r.sets == got.family[m].sets &&
                (r.references ? r.miss_ratio == 1.0 - double(r.hits) /
                                                    double(r.references)
                              : isnan(r.miss_ratio));
      if (!ok && ++wrong <= 5)
        ADD_FAILURE() << "site " << s << " row " << m << ": "
                      << r.references << " refs " << r.hits << " hits, want "
                      << model.references[s] << " refs "
                      << model.hits[s][m] << " hits";
    }
}

struct Family {
  const char *words;
  std::function<SiteCounts(const Trace &)> model;
};

std::vector<Family> lru_and_direct_mapped() {
  using namespace naive_sites;
  return {
      {"-Csa -Rlru -a2 -b4 -n0 -l4",
       [](const Trace &t) { return set_associative_lru(t, 2, 4, 0, 4); }},
      {"-Csa -Rlru -a0 -b3 -n1 -l5",
       [](const Trace &t) { return set_associative_lru(t, 0, 3, 1, 5); }},
      {"-Csa -Rlru -a1 -b4 -n2 -l4",
       [](const Trace &t) { return set_associative_lru(t, 1, 4, 2, 4); }},
      {"-Csa -Rlru -a0 -b2 -n2 -l0",
       [](const Trace &t) { return set_associative_lru(t, 0, 2, 2, 0); }},
      {"-Cdm -c12 -a3 -b7",  // an odd number of line sizes
       [](const Trace &t) { return direct_mapped(t, 3, 7, 12); }},
      {"-Cfa -Rlru -l4 -M8192 -i1024",
       [](const Trace &t) { return fully_associative_lru(t, 4, 512, 64); }},
      // The largest cache is no multiple of the report step.
      {"-Cfa -Rlru -l4 -M4000 -i480",
       [](const Trace &t) { return fully_associative_lru(t, 4, 250, 30); }},
  };
}

std::vector<Family> opt_families() {
  using namespace naive_sites;
  return {
      {"-Csa -Ropt -a1 -b3 -n2 -l4",
       [](const Trace &t) { return set_associative_opt(t, 1, 3, 2, 4); }},
      {"-Cfa -Ropt -l5 -M4096 -i512",
       [](const Trace &t) { return fully_associative_opt(t, 5, 128, 16); }},
  };
}

TEST(SiteResults, LruAndDirectMappedFamiliesAgainstNaiveCaches) {
  Trace few = random_trace(1, 60000, 5, 0);
  Trace many = structured_trace(2, 60000, 3000);
  Trace mixed = random_trace(3, 30000, 40, 7);
  for (const Family &f : lru_and_direct_mapped()) {
    expect_matches(f.words, few, f.model(few), run(f.words, few, 25000), true);
    expect_matches(f.words, many, f.model(many), run(f.words, many, 33333),
                   true);
    expect_matches(f.words, mixed, f.model(mixed), run(f.words, mixed, 100),
                   false);
  }
}

// Two hand-offs of the window, then the final drain of a part block and
// the queue; an interim report between, which leaves the window alone.
TEST(SiteResults, OptFamiliesCarrySitesThroughTheWindow) {
  Trace few = random_trace(4, 2 * 200000 + 12345, 6, 0);
  Trace many = structured_trace(5, 50000, 2500);  // drained at the end only
  Trace mixed = random_trace(6, 250007, 30, 5);
  Trace one_line = random_trace(8, 3000, 4, 0);  // builds the stack alone
  for (uint32_t &a : one_line.addrs) a = 0x5000;
  for (const Family &f : opt_families()) {
    expect_matches(f.words, one_line, f.model(one_line),
                   run(f.words, one_line, 10), true);
    expect_matches(f.words, few, f.model(few), run(f.words, few, 300017),
                   true);
    expect_matches(f.words, many, f.model(many), run(f.words, many, 777),
                   true);
    expect_matches(f.words, mixed, f.model(mixed), run(f.words, mixed, 210000),
                   false);
  }
}

// The parts of the explanation see a load; the family counts the site as
// without them. Write-backs are not counted by site: refused.
TEST(SiteResults, WithExplanation) {
  Trace tr = structured_trace(7, 20000, 500);
  for (const Family &f : lru_and_direct_mapped())
    expect_matches(f.words, tr, f.model(tr),
                   run(f.words, tr, 5000,
                       VANTLE_EXPLAIN_COMPULSORY |
                           VANTLE_EXPLAIN_FULLY_ASSOCIATIVE),
                   true);
  ChildOutcome o = run_isolated([] {
    vantle_explain(VANTLE_EXPLAIN_WRITEBACKS);
    init_with("-Csa -Rlru");
    vantle_access_at(64, 0);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "libvantle: vantle_access_at: sites are not counted with "
            "write-backs\n");
}

TEST(SiteResults, SitesNeverFedAndOutOfRange) {
  ChildOutcome o = run_isolated([] {
    init_with("-Cdm -c10 -a4 -b5");
    vantle_result rows[3];
    memset(rows, 0xA5, sizeof rows);
    uint32_t before = vantle_site_count();
    int n = vantle_site_results(0, rows, 1);  // short buffer: one row
    vantle_access_at(0x1000, 2);
    vantle_access_at(0x1000, 2);
    vantle_access(0x2000);
    int n2 = vantle_site_results(1, rows + 1, 2);  // below 2, never fed
    uint32_t after = vantle_site_count();
    send_to_parent(&before, 4);
    send_to_parent(&n, 4);
    send_to_parent(&n2, 4);
    send_to_parent(&after, 4);
    send_to_parent(rows, sizeof rows);
    vantle_access_at(0, VANTLE_MOST_SITES);
  });
  ASSERT_EQ(o.data.size(), 16 + 3 * sizeof(vantle_result));
  uint32_t v[4];
  vantle_result rows[3];
  memcpy(v, o.data.data(), 16);
  memcpy(rows, o.data.data() + 16, sizeof rows);
  EXPECT_EQ(v[0], 0u);
  EXPECT_EQ(v[1], 2);
  EXPECT_EQ(v[2], 2);
  EXPECT_EQ(v[3], 3u);
  for (const vantle_result &r : rows) {
    EXPECT_EQ(r.references, 0u);
    EXPECT_EQ(r.hits, 0u);
    EXPECT_TRUE(isnan(r.miss_ratio));
    EXPECT_EQ(r.organisation, VANTLE_DIRECT_MAPPED);
  }
  EXPECT_EQ(rows[0].line_size, 16u);
  EXPECT_EQ(rows[2].line_size, 32u);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "libvantle: vantle_access_at: site 16777216 is above the "
            "largest, 16777215\n");
}

}  // namespace
