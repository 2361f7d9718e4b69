// One real run past the reference limit: 2^31 + 10 references of the
// direct-mapped family through the library. The last 11 must be ignored
// after one message, and the counts of the 2^31 - 1 simulated must be
// exact. About ten seconds on a recent machine.
//
// The stream walks the address space in 4-byte steps, wrapping at 2^32.
// Every cache is far smaller than the 4 GiB cycle, so a reference hits
// exactly when it is not the first of its line: with lines of s bytes, the
// first r references miss ceil(r / (s / 4)) times.
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "clock.h"
#include "libvantle/libvantle.h"

namespace {

const uint64_t kStream = (uint64_t{1} << 31) + 10;

}  // namespace

int main() {
  char w0[] = "-Cdm", w1[] = "-c16", w2[] = "-a4", w3[] = "-b8";
  char *words[] = {w0, w1, w2, w3};
  vantle_init(4, words);
  fflush(stdout);
  double start = now_seconds();
  uint32_t addr = 0;
  for (uint64_t i = 0; i < kStream; i++, addr += 4) vantle_access(addr);
  double seconds = now_seconds() - start;

  vantle_result rows[8];
  int n = vantle_results(rows, 8);
  const uint64_t simulated = VANTLE_REFERENCE_LIMIT;
  printf("bench_limit: dm 64 KiB, lines 16..256 B: %llu references fed, "
         "limit %llu, %.1f s (%.1f M refs/s)\n",
         static_cast<unsigned long long>(kStream),
         static_cast<unsigned long long>(vantle_reference_limit()), seconds,
         kStream / seconds / 1e6);
  int wrong = 0;
  for (int i = 0; i < n; i++) {
    uint64_t per_line = rows[i].line_size / 4;
    uint64_t misses = (simulated + per_line - 1) / per_line;
    uint64_t want_hits = simulated - misses;
    bool ok = rows[i].references == simulated && rows[i].hits == want_hits;
    wrong += !ok;
    printf("bench_limit: line %3u B: references %llu (want %llu), hits %llu "
           "(want %llu) %s\n",
           rows[i].line_size,
           static_cast<unsigned long long>(rows[i].references),
           static_cast<unsigned long long>(simulated),
           static_cast<unsigned long long>(rows[i].hits),
           static_cast<unsigned long long>(want_hits), ok ? "ok" : "WRONG");
  }
  fflush(stdout);
  vantle_stats(stdout, 0);
  return wrong || n != 5 ? 1 : 0;
}
