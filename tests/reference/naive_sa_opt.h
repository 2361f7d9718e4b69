// Naive optimal replacement with bypass for one set-associative cache at a
// time, with full knowledge of the trace. On a miss in a full set, among the
// residents and the missing line, the one whose next use lies furthest in
// the future is not kept; that may be the missing line itself. A line never
// used again counts as furthest. Ties can only be between lines that are
// never used again (two lines never share a next-use time); none of them
// can hit again, so whichever is dropped the hit count is the same. The
// missing line is the one dropped on a tie, as in the one-pass lists, where
// an equal priority does not displace.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_SA_OPT_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_SA_OPT_H_

#include <stdint.h>

#include <unordered_map>
#include <vector>

namespace naive_sa_opt {

const uint64_t kNever = UINT64_MAX;

// next[t]: time of the next reference to the line of reference t, or kNever.
inline std::vector<uint64_t> next_uses(const std::vector<uint32_t> &lines) {
  std::vector<uint64_t> next(lines.size());
  std::unordered_map<uint32_t, uint64_t> seen;
  seen.reserve(lines.size() / 4 + 16);
  for (size_t t = lines.size(); t-- > 0;) {
    auto it = seen.find(lines[t]);
    next[t] = it == seen.end() ? kNever : it->second;
    seen[lines[t]] = t;
  }
  return next;
}

// Hits of one cache with 2^set_bits sets and `ways` lines per set; with
// hit_at, which references hit.
inline uint64_t hits_of(const std::vector<uint32_t> &lines,
                        const std::vector<uint64_t> &next, int set_bits,
                        int ways, std::vector<bool> *hit_at = nullptr) {
  if (hit_at) hit_at->assign(lines.size(), false);
  size_t sets = size_t{1} << set_bits;
  std::vector<uint32_t> line(sets * ways);
  std::vector<uint64_t> use(sets * ways);
  std::vector<int> used(sets, 0);
  uint64_t hits = 0;
  for (size_t t = 0; t < lines.size(); t++) {
    uint32_t x = lines[t];
    size_t s = x & (sets - 1);
    uint32_t *l = &line[s * ways];
    uint64_t *u = &use[s * ways];
    int n = used[s], k = 0;
    while (k < n && l[k] != x) k++;
    if (k < n) {
      hits++;
      if (hit_at) (*hit_at)[t] = true;
      u[k] = next[t];
      continue;
    }
    if (n < ways) {
      l[n] = x;
      u[n] = next[t];
      used[s] = n + 1;
      continue;
    }
    int far = 0;
    for (k = 1; k < n; k++)
      if (u[k] > u[far]) far = k;
    if (next[t] < u[far]) {
      l[far] = x;
      u[far] = next[t];
    }
  }
  return hits;
}

// Hits of every cache of the family: set counts 2^a .. 2^b ascending,
// associativity 1 .. 2^n fastest, for byte addresses with 2^l-byte lines.
inline std::vector<uint64_t> family_hits(const std::vector<uint32_t> &trace,
                                         int a, int b, int n, int l) {
  std::vector<uint32_t> lines(trace.size());
  for (size_t t = 0; t < trace.size(); t++) lines[t] = trace[t] >> l;
  std::vector<uint64_t> next = next_uses(lines);
  std::vector<uint64_t> out;
  for (int i = a; i <= b; i++)
    for (int k = 1; k <= (1 << n); k++)
      out.push_back(hits_of(lines, next, i, k));
  return out;
}

}  // namespace naive_sa_opt

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_SA_OPT_H_
