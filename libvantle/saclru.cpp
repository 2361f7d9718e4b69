// Placeholder until the set-associative LRU simulator lands: refuses to run.
#include "libvantle/saclru.h"

#include <stdlib.h>

[[noreturn]] static void unavailable() {
  fprintf(stderr, "libvantle: set-associative LRU simulator not available\n");
  exit(1);
}

unsigned int **sac_hits;
void init_saclru(void) { unavailable(); }
void sacnmul_woarr(md_addr_t) { unavailable(); }
void outpr_saclru(FILE *) { unavailable(); }
int results_saclru(vantle_result *, int) { unavailable(); }
