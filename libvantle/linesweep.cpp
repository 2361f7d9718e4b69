// Placeholder until the direct-mapped simulator lands: refuses to run.
#include "libvantle/linesweep.h"

#include <stdlib.h>

[[noreturn]] static void unavailable() {
  fprintf(stderr, "libvantle: direct-mapped simulator not available\n");
  exit(1);
}

void init_linesweep(void) { unavailable(); }
void linesweep(md_addr_t) { unavailable(); }
void outpr_linesweep(FILE *) { unavailable(); }
int results_linesweep(vantle_result *, int) { unavailable(); }
