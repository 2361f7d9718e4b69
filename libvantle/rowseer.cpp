// Placeholder until the set-associative OPT simulator lands: refuses to run.
#include "libvantle/rowseer.h"

#include <stdlib.h>

[[noreturn]] static void unavailable() {
  fprintf(stderr, "libvantle: set-associative OPT simulator not available\n");
  exit(1);
}

void init_rowseer(void) { unavailable(); }
int stack_proc_sa(int, int) { unavailable(); }
void inf_handler_sa(md_addr_t, int) { unavailable(); }
void outpr_rowseer(FILE *) { unavailable(); }
int results_rowseer(vantle_result *, int) { unavailable(); }
