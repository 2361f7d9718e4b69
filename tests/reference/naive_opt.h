// Naive optimal replacement with complete knowledge of the whole trace, the
// yardstick of the fully-associative OPT simulator. Two independent models:
// one cache size at a time (Belady: on a miss in a full cache evict the
// line whose next use lies furthest away; the missing line is always
// loaded), and Mattson's priority stack with exact next-use times, which
// gives every size at once. Traces are line addresses.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_OPT_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_OPT_H_

#include <stddef.h>
#include <stdint.h>

#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

namespace naive_opt {

constexpr uint64_t kNever = UINT64_MAX;  // next use of a line never used again

// next[t] = index of the next reference to the line of reference t.
inline std::vector<uint64_t> next_uses(const std::vector<uint32_t> &lines) {
  std::vector<uint64_t> next(lines.size(), kNever);
  std::unordered_map<uint32_t, uint64_t> later;
  for (size_t t = lines.size(); t-- > 0;) {
    auto it = later.find(lines[t]);
    if (it != later.end()) next[t] = it->second;
    later[lines[t]] = t;
  }
  return next;
}

// Hits of one optimal cache of k lines; with hit_at, which references hit.
inline uint64_t belady_hits(const std::vector<uint32_t> &lines, size_t k,
                            const std::vector<uint64_t> &next,
                            std::vector<bool> *hit_at = nullptr) {
  if (hit_at) hit_at->assign(lines.size(), false);
  std::set<std::pair<uint64_t, uint32_t>> by_next;  // resident lines
  std::unordered_map<uint32_t, uint64_t> resident;  // line -> its next use
  uint64_t hits = 0;
  for (size_t t = 0; t < lines.size(); t++) {
    uint32_t x = lines[t];
    auto it = resident.find(x);
    if (it != resident.end()) {
      hits++;
      if (hit_at) (*hit_at)[t] = true;
      by_next.erase({it->second, x});
      it->second = next[t];
    } else {
      if (resident.size() == k) {
        auto victim = std::prev(by_next.end());
        resident.erase(victim->second);
        by_next.erase(victim);
      }
      resident[x] = next[t];
    }
    by_next.insert({next[t], x});
  }
  return hits;
}

// hits[k] for k = 0 .. max_k, one simulation per size.
inline std::vector<uint64_t> belady_hits_per_size(
    const std::vector<uint32_t> &lines, size_t max_k) {
  std::vector<uint64_t> next = next_uses(lines);
  std::vector<uint64_t> hits(max_k + 1, 0);
  for (size_t k = 1; k <= max_k; k++) hits[k] = belady_hits(lines, k, next);
  return hits;
}

// Mattson's OPT stack: the referenced line goes to the top; the old top is
// carried down, and at each position the entry used sooner stays while the
// other moves on, until the carried entry fills the hole. Returns hits[k]
// (references that hit in an optimal cache of k lines) for k = 0 .. max_k.
// Only the top `keep` entries are kept (at least max_k): no entry but the
// referenced one ever rises in this stack, so one pushed below `keep` can
// only come back as a miss for every size up to keep.
inline std::vector<uint64_t> opt_stack_hits(const std::vector<uint32_t> &lines,
                                            size_t max_k,
                                            size_t keep = SIZE_MAX) {
  if (keep < max_k) keep = max_k;
  std::vector<uint64_t> next = next_uses(lines);
  std::vector<std::pair<uint32_t, uint64_t>> stack;  // (line, next use)
  std::vector<uint64_t> at_depth(max_k + 2, 0);
  for (size_t t = 0; t < lines.size(); t++) {
    uint32_t x = lines[t];
    size_t pos = 0;
    while (pos < stack.size() && stack[pos].first != x) pos++;
    if (pos < stack.size() && pos + 1 <= max_k) at_depth[pos + 1]++;
    if (stack.empty()) {
      stack.push_back({x, next[t]});
      continue;
    }
    if (pos == 0) {
      stack[0].second = next[t];
      continue;
    }
    std::pair<uint32_t, uint64_t> carried = stack[0];
    stack[0] = {x, next[t]};
    size_t hole = pos < stack.size() ? pos : stack.size();
    for (size_t j = 1; j < hole; j++)
      if (stack[j].second > carried.second) std::swap(stack[j], carried);
    if (hole < stack.size())
      stack[hole] = carried;
    else if (stack.size() < keep)
      stack.push_back(carried);
  }
  std::vector<uint64_t> hits(max_k + 1, 0);
  for (size_t k = 1; k <= max_k; k++) hits[k] = hits[k - 1] + at_depth[k];
  return hits;
}

}  // namespace naive_opt

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_OPT_H_
