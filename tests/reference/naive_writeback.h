// Naive write-back, write-allocate caches, one configuration at a time:
// a set-associative LRU cache that remembers which of its lines are dirty
// (one set is a fully-associative cache, one way a direct-mapped one), and
// the first references to lines. Obviously correct, slow: the reference
// for the write-back counts and the three Cs of every family.
#ifndef VANTLE_TESTS_REFERENCE_NAIVE_WRITEBACK_H_
#define VANTLE_TESTS_REFERENCE_NAIVE_WRITEBACK_H_

#include <stddef.h>
#include <stdint.h>

#include <list>
#include <set>
#include <unordered_map>
#include <vector>

namespace naive_wb {

// One reference: a byte address, and whether it writes.
struct Ref {
  uint32_t addr;
  bool store;
};

// What one cache did over a trace.
struct Counts {
  uint64_t misses = 0;
  uint64_t writebacks = 0;    // dirty lines evicted
  uint64_t dirty_at_end = 0;  // lines still dirty after the last reference
};

// sets x ways lines of 2^line_bits bytes, LRU within each set. A store
// makes its line dirty; a dirty line that leaves the cache is written back.
// Each set is a list, most recent first; a map finds a line's entry.
class Cache {
 public:
  Cache(uint64_t sets, uint64_t ways, int line_bits)
      : ways_(ways), line_bits_(line_bits), sets_(sets) {}

  // Returns true on a hit.
  bool access(Ref r) {
    uint64_t line = static_cast<uint64_t>(r.addr) >> line_bits_;
    std::list<Entry> &set = sets_[line % sets_.size()];
    Entry e{line, false};
    auto found = where_.find(line);
    bool hit = found != where_.end();
    if (hit) {
      e = *found->second;
      set.erase(found->second);
    } else {
      counts_.misses++;
      if (set.size() == ways_) {
        counts_.writebacks += set.back().dirty;
        where_.erase(set.back().line);
        set.pop_back();
      }
    }
    e.dirty = e.dirty || r.store;
    set.push_front(e);
    where_[line] = set.begin();
    return hit;
  }

  Counts counts() const {
    Counts c = counts_;
    for (const std::list<Entry> &set : sets_)
      for (const Entry &e : set) c.dirty_at_end += e.dirty;
    return c;
  }

 private:
  struct Entry {
    uint64_t line;
    bool dirty;
  };
  uint64_t ways_;
  int line_bits_;
  std::vector<std::list<Entry>> sets_;
  std::unordered_map<uint64_t, std::list<Entry>::iterator> where_;
  Counts counts_;
};

inline Counts run(const std::vector<Ref> &trace, uint64_t sets, uint64_t ways,
                  int line_bits) {
  Cache cache(sets, ways, line_bits);
  for (const Ref &r : trace) cache.access(r);
  return cache.counts();
}

// References to a line of 2^line_bits bytes never referenced before.
inline uint64_t compulsory(const std::vector<Ref> &trace, int line_bits) {
  std::set<uint64_t> seen;
  uint64_t first = 0;
  for (const Ref &r : trace)
    first += seen.insert(static_cast<uint64_t>(r.addr) >> line_bits).second;
  return first;
}

}  // namespace naive_wb

#endif  // VANTLE_TESTS_REFERENCE_NAIVE_WRITEBACK_H_
