/* Compiles and links a plain C program against the public header. Its own
 * macros N and T take two of the library's short names before the header
 * is included: the header must still compile, and the vantle_ aliases
 * must reach the library's variables. */
#define N 1024
#define T "a program's own T"
#include "libvantle/libvantle.h"

#include <math.h>
#include <string.h>

int main(void) {
  char w0[] = "-Csa", w1[] = "-a3", w2[] = "-b4";
  char *words[] = {w0, w1, w2};
  FILE *sink = fopen("/dev/null", "w");
  if (!sink) return 2;
  if (A != 0 || trace_config != 0) return 3;
  if (strcmp(outstrings[3], "Fully-associative") != 0) return 4;
  /* An alias is the short name's object, not a copy. */
  if (&vantle_A != &A || &vantle_trace_config != &trace_config ||
      &vantle_outstrings[0] != &outstrings[0] ||
      &vantle_sac_hits != &sac_hits)
    return 10;
  if (N != 1024 || strcmp(T, "a program's own T") != 0) return 11;
  if (vantle_explain(VANTLE_EXPLAIN_WRITEBACKS) != 0) return 13;
  vantle_init(3, words);
  if (A != 3 || B != 4 || trace_config != 2 || repl != 0) return 5;
  /* The defaults the words left: 2 ways (-n1), 16-byte lines, no limit. */
  if (vantle_A != 3 || vantle_B != 4 || vantle_N != 1 || vantle_L != 4 ||
      vantle_T != 2147483647 || vantle_repl != VANTLE_LRU ||
      vantle_trace_config != VANTLE_SET_ASSOCIATIVE ||
      vantle_MAX_CACHE_SIZE != 524288u || vantle_C != 16 ||
      vantle_P_INTERVAL != 2147483647 || vantle_SAVE_INTERVAL != 2147483647 ||
      vantle_MISS_RATIO_INTERVAL != 512 || vantle_MAX_LINES != 0u ||
      vantle_sac_hits == NULL)
    return 12;
  vantle_config(sink);
  /* 8 and 16 sets, 1 and 2 ways: four rows, set counts ascending. */
  vantle_result rows[4];
  if (vantle_results(NULL, 0) != 4) return 6;
  if (vantle_results(rows, 4) != 4) return 7;
  if (rows[0].sets != 8 || rows[3].sets != 16 || rows[3].associativity != 2 ||
      rows[3].cache_size != 16 * 2 * 16 || rows[0].references != 0 ||
      !isnan(rows[0].miss_ratio))
    return 8;
  /* The same line six times, written the second time: five hits in
   * every cache, and one dirty line at the end. */
  vantle_access(0x40);
  vantle_access_store(0x44, 1);
  vantle_access_repeat(0x48, 2);
  md_addr_t two[2] = {0x4c, 0x40};
  vantle_access_batch(two, 2);
  vantle_stats(sink, 0);
  vantle_results(rows, 4);
  if (rows[2].references != 6 || rows[2].hits != 5 ||
      rows[2].miss_ratio != 1.0 - 5.0 / 6.0)
    return 9;
  vantle_explained why[4];
  if (vantle_explanation(why, 4) != 4 || why[3].writebacks != 0 ||
      why[3].dirty_at_end != 1 || why[3].compulsory != VANTLE_NOT_COUNTED)
    return 14;
  /* The calls by site link from C; no reference came with a site (an
   * empty batch brings none). */
  uint32_t no_sites[1] = {0};
  vantle_access_batch_at(two, no_sites, 0);
  if (vantle_site_count() != 0 || vantle_site_results(0, rows, 4) != 4 ||
      rows[3].references != 0 || rows[3].sets != 16)
    return 15;
  return 0;
}
