// Hits by site: the naive caches of every member of a family, run over the
// whole trace (the sites share each cache), each reference's hit or miss
// counted for the site that issued it. kNoSite marks a reference fed
// without one, counted for none.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_SITES_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_SITES_H_

#include <stdint.h>

#include <functional>
#include <vector>

#include "reference/naive_dm.h"
#include "reference/naive_lru.h"
#include "reference/naive_opt.h"
#include "reference/naive_sa_lru.h"
#include "reference/naive_sa_opt.h"

namespace naive_sites {

constexpr uint32_t kNoSite = UINT32_MAX;

struct Trace {
  std::vector<uint32_t> addrs;
  std::vector<uint32_t> sites;  // beside addrs; kNoSite for none
  uint32_t site_count = 0;      // one more than the largest site
};

// Per site: references, and hits[member] in the family's row order; and
// the family's hits, sites or none.
struct SiteCounts {
  std::vector<uint64_t> references;
  std::vector<std::vector<uint64_t>> hits;  // [site][member]
  std::vector<uint64_t> family;             // [member]
};

// Counts one member: hit_at[t] says whether reference t hit in it.
inline void add_member(const Trace &tr, SiteCounts *out,
                       const std::vector<bool> &hit_at) {
  if (out->references.empty()) {
    out->references.assign(tr.site_count, 0);
    out->hits.assign(tr.site_count, {});
    for (uint32_t s : tr.sites)
      if (s != kNoSite) out->references[s]++;
  }
  for (auto &row : out->hits) row.push_back(0);
  out->family.push_back(0);
  for (size_t t = 0; t < tr.addrs.size(); t++) {
    out->family.back() += hit_at[t];
    if (hit_at[t] && tr.sites[t] != kNoSite) out->hits[tr.sites[t]].back()++;
  }
}

inline std::vector<uint32_t> lines_of(const Trace &tr, int line_bits) {
  std::vector<uint32_t> lines;
  for (uint32_t a : tr.addrs) lines.push_back(a >> line_bits);
  return lines;
}

inline SiteCounts set_associative_lru(const Trace &tr, int a, int b, int n,
                                      int l) {
  SiteCounts out;
  for (int i = a; i <= b; i++)
    for (uint32_t ways = 1; ways <= (1u << n); ways++) {
      NaiveSetAssocLru cache(1u << i, ways);
      std::vector<bool> hit_at;
      for (uint32_t addr : tr.addrs) hit_at.push_back(cache.access(addr >> l));
      add_member(tr, &out, hit_at);
    }
  return out;
}

inline SiteCounts set_associative_opt(const Trace &tr, int a, int b, int n,
                                      int l) {
  std::vector<uint32_t> lines = lines_of(tr, l);
  std::vector<uint64_t> next = naive_sa_opt::next_uses(lines);
  SiteCounts out;
  for (int i = a; i <= b; i++)
    for (int ways = 1; ways <= (1 << n); ways++) {
      std::vector<bool> hit_at;
      naive_sa_opt::hits_of(lines, next, i, ways, &hit_at);
      add_member(tr, &out, hit_at);
    }
  return out;
}

inline SiteCounts direct_mapped(const Trace &tr, int a, int b, int c) {
  SiteCounts out;
  for (int e = a; e <= b; e++) {
    naive_dm::Cache cache = naive_dm::make_cache(e, c);
    std::vector<bool> hit_at;
    for (uint32_t addr : tr.addrs) hit_at.push_back(naive_dm::access(cache, addr));
    add_member(tr, &out, hit_at);
  }
  return out;
}

// Fully associative, one member per report row: step, 2 step, ... lines
// up to max_lines.
inline SiteCounts fully_associative_lru(const Trace &tr, int l,
                                        size_t max_lines, size_t step) {
  std::vector<uint64_t> depth;
  NaiveLruStack stack(max_lines);
  for (uint32_t addr : tr.addrs) depth.push_back(stack.access(addr >> l));
  SiteCounts out;
  for (size_t k = step; k <= max_lines; k += step) {
    std::vector<bool> hit_at;
    for (uint64_t d : depth) hit_at.push_back(d >= 1 && d <= k);
    add_member(tr, &out, hit_at);
  }
  return out;
}

inline SiteCounts fully_associative_opt(const Trace &tr, int l,
                                        size_t max_lines, size_t step) {
  std::vector<uint32_t> lines = lines_of(tr, l);
  std::vector<uint64_t> next = naive_opt::next_uses(lines);
  SiteCounts out;
  for (size_t k = step; k <= max_lines; k += step) {
    std::vector<bool> hit_at;
    naive_opt::belady_hits(lines, k, next, &hit_at);
    add_member(tr, &out, hit_at);
  }
  return out;
}

}  // namespace naive_sites

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_SITES_H_
