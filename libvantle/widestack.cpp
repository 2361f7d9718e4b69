// Placeholder until the fully-associative LRU simulator lands: refuses to run.
#include "libvantle/widestack.h"

#include <stdlib.h>

[[noreturn]] static void unavailable() {
  fprintf(stderr, "libvantle: fully-associative LRU simulator not available\n");
  exit(1);
}

void init_widestack(void) { unavailable(); }
void ptc(md_addr_t) { unavailable(); }
void outpr_widestack(FILE *) { unavailable(); }
int results_widestack(vantle_result *, int) { unavailable(); }
