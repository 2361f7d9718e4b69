// Placeholder until the fully-associative OPT simulator lands: refuses to run.
#include "libvantle/wideseer.h"

#include <stdlib.h>

[[noreturn]] static void unavailable() {
  fprintf(stderr, "libvantle: fully-associative OPT simulator not available\n");
  exit(1);
}

void init_wideseer(void) { unavailable(); }
int stack_proc_fa(int, int) { unavailable(); }
void inf_handler_fa(md_addr_t, int) { unavailable(); }
void outpr_wideseer(FILE *) { unavailable(); }
int results_wideseer(vantle_result *, int) { unavailable(); }
