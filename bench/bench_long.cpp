// Long runs through the library in process, past 2^32 references, each
// against closed-form hit counts: 5 x 10^9 references of a walk through the
// address space in 4-byte steps (wrapping at 2^32) for the direct-mapped
// and the default set-associative LRU family, and 2^32 + 10^6 references
// cycling over a small working set for fully-associative LRU and both OPT
// families. Prints each family's rate and whether every count is exact.
// Takes several minutes; `bench_long N` runs N references of each instead.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "clock.h"
#include "isolate.h"

namespace {

// Each reference of the walk is 4 bytes past the last: with lines of s
// bytes, a new line every s / 4 references, never seen since the walk last
// wrapped, 2^30 references ago. So the first reference of a line misses
// in every cache here and the others hit.
md_addr_t walk(uint64_t t) { return static_cast<md_addr_t>(t * 4); }

uint64_t walk_hits(uint64_t refs, uint64_t line_size) {
  uint64_t per_line = line_size / 4;
  return refs - (refs + per_line - 1) / per_line;
}

// A cycle over the lines 0 .. m - 1 of 16 bytes, in order.
uint64_t cycle_lines(uint64_t t, uint64_t m) { return t % m; }

// Fully-associative LRU, k lines: after the first round every reference
// hits when the cycle fits, none when it does not.
uint64_t fa_lru_hits(uint64_t refs, uint64_t m, uint64_t k) {
  return k >= m && refs > m ? refs - m : 0;
}

// Fully-associative OPT, k lines: after the first round the stack
// distances run 2, 3, ..., m and again, so k - 1 of every m - 1
// references hit.
uint64_t fa_opt_hits(uint64_t refs, uint64_t m, uint64_t k) {
  if (refs <= m) return 0;
  uint64_t c = k - 1 < m - 1 ? k - 1 : m - 1;
  uint64_t rounds = (refs - m) / (m - 1), rest = (refs - m) % (m - 1);
  return rounds * c + (rest < c ? rest : c);
}

// Set-associative OPT (which may bypass), `ways` lines a set: a set whose
// share of the cycle is n lines keeps the first `ways` of them for good
// and bypasses the rest, so after its first round it hits on `ways` of
// every n references.
uint64_t sa_opt_hits(uint64_t refs, uint64_t m, uint64_t sets,
                     uint64_t ways) {
  uint64_t total = 0;
  for (uint64_t s = 0; s < sets && s < m; s++) {
    uint64_t n = (m - s + sets - 1) / sets;  // lines of the cycle in set s
    // References to set s: one per full cycle for each of its lines, and
    // those of the last, partial cycle.
    uint64_t mine = refs / m * n, part = refs % m;
    if (part > s) mine += (part - s + sets - 1) / sets;
    if (mine <= n) continue;
    uint64_t c = ways < n ? ways : n;
    uint64_t rounds = (mine - n) / n, rest = (mine - n) % n;
    total += rounds * c + (rest < c ? rest : c);
  }
  return total;
}

struct Case {
  const char *name;
  const char *words;
  uint64_t refs;
  std::function<md_addr_t(uint64_t)> address;
  std::function<uint64_t(const vantle_result &)> want_hits;
};

struct Outcome {
  double seconds = 0;
  int rows = 0, wrong = 0;
  uint64_t references = 0;
  bool ok = false;
};

Outcome run(const Case &c) {
  ChildOutcome o = run_isolated([&] {
    init_with(c.words);
    double start = now_seconds();
    for (uint64_t t = 0; t < c.refs; t++) vantle_access(c.address(t));
    FILE *sink = fopen("/dev/null", "w");
    vantle_stats(sink, 0);
    Outcome out;
    out.seconds = now_seconds() - start;
    std::vector<vantle_result> rows(vantle_results(nullptr, 0));
    vantle_results(rows.data(), static_cast<int>(rows.size()));
    out.rows = static_cast<int>(rows.size());
    for (const vantle_result &r : rows) {
      bool right = r.references == c.refs && r.hits == c.want_hits(r);
      if (!right && out.wrong < 3)
        fprintf(stderr, "%s: %u sets x %u, %llu bytes: %llu hits of %llu\n",
                c.name, r.sets, r.associativity,
                static_cast<unsigned long long>(r.cache_size),
                static_cast<unsigned long long>(r.hits),
                static_cast<unsigned long long>(r.references));
      out.wrong += !right;
    }
    out.references = rows.empty() ? 0 : rows[0].references;
    out.ok = true;
    send_to_parent(&out, sizeof out);
  });
  Outcome out;
  if (o.status == 0 && o.data.size() == sizeof out)
    memcpy(&out, o.data.data(), sizeof out);
  // The library's own lines (a progress line and an interim report every
  // 2^31 - 1 references) are those of any long run: only the wrong rows
  // are shown.
  size_t name_length = strlen(c.name);
  for (size_t at = 0; at < o.err.size();) {
    size_t end = o.err.find('\n', at);
    if (end == std::string::npos) end = o.err.size();
    if (o.err.compare(at, name_length, c.name) == 0)
      fprintf(stderr, "%s\n", o.err.substr(at, end - at).c_str());
    at = end + 1;
  }
  return out;
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t walk_refs = 5000000000ull, cycle_refs = (1ull << 32) + 1000000;
  if (argc > 1) walk_refs = cycle_refs = strtoull(argv[1], nullptr, 10);
  const uint64_t kCycle = 1000, kSaCycle = 1024;
  const Case cases[] = {
      {"direct-mapped", "-Cdm -c16 -a4 -b8", walk_refs, walk,
       [](const vantle_result &r) { return walk_hits(r.references, r.line_size); }},
      {"set-assoc. LRU", "-Csa -Rlru", walk_refs, walk,
       [](const vantle_result &r) { return walk_hits(r.references, r.line_size); }},
      {"fully-assoc. LRU", "-Cfa -Rlru -M16384 -i16", cycle_refs,
       [&](uint64_t t) { return static_cast<md_addr_t>(cycle_lines(t, kCycle) << 4); },
       [&](const vantle_result &r) {
         return fa_lru_hits(r.references, kCycle, r.cache_size / 16);
       }},
      {"fully-assoc. OPT", "-Cfa -Ropt -M16384 -i16", cycle_refs,
       [&](uint64_t t) { return static_cast<md_addr_t>(cycle_lines(t, kCycle) << 4); },
       [&](const vantle_result &r) {
         return fa_opt_hits(r.references, kCycle, r.cache_size / 16);
       }},
      {"set-assoc. OPT", "-Csa -Ropt", cycle_refs,
       [&](uint64_t t) { return static_cast<md_addr_t>(cycle_lines(t, kSaCycle) << 4); },
       [&](const vantle_result &r) {
         return sa_opt_hits(r.references, kSaCycle, r.sets, r.associativity);
       }},
  };
  printf("bench_long: in process, one family a run; the machine may be "
         "shared\n");
  printf("%-17s %-24s %14s %9s %6s %s\n", "family", "options", "references",
         "Mrefs/s", "rows", "counts");
  int failed = 0;
  for (const Case &c : cases) {
    Outcome o = run(c);
    bool good = o.ok && o.wrong == 0 && o.rows > 0 && o.references == c.refs;
    failed += !good;
    printf("%-17s %-24s %14llu %9.1f %6d %s\n", c.name, c.words,
           static_cast<unsigned long long>(o.references),
           o.seconds > 0 ? c.refs / o.seconds / 1e6 : 0.0, o.rows,
           good ? "exact" : "WRONG");
    fflush(stdout);
  }
  return failed ? 1 : 0;
}
