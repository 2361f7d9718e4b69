/* Compiles and links a plain C program against the public header. */
#include "libvantle/libvantle.h"

#include <string.h>

int main(void) {
  char w0[] = "-Csa", w1[] = "-a3", w2[] = "-b4";
  char *words[] = {w0, w1, w2};
  FILE *sink = fopen("/dev/null", "w");
  if (!sink) return 2;
  if (A != 0 || trace_config != 0) return 3;
  if (strcmp(outstrings[3], "Fully-associative") != 0) return 4;
  vantle_init(3, words);
  if (A != 3 || B != 4 || trace_config != 2 || repl != 0) return 5;
  vantle_config(sink);
  if (vantle_results(NULL, 0) < 0) return 6;
  return 0;
}
