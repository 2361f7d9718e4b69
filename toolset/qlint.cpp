// The built-in debugger's command reader. Owns the -i flag; the simulator
// module acts on the commands.
#include "qlint.h"

#include <stdlib.h>
#include <string.h>

int qlint_active;

static void print_help(FILE *out) {
  fputs("qlint commands: s [n] step n references (1), c continue, "
        "r interim report, q quit, h help\n", out);
}

int qlint_command(FILE *in, FILE *out, counter_t references,
                  counter_t *steps) {
  char line[256];
  for (;;) {
    fprintf(out, "qlint (%lld references)> ",
            static_cast<long long>(references));
    fflush(out);
    if (!fgets(line, sizeof line, in)) {
      fputc('\n', out);
      return QLINT_CONTINUE;
    }
    char *word = line + strspn(line, " \t");
    switch (word[0]) {
      case 's': {
        char *end = nullptr;
        long long n = strtoll(word + 1, &end, 10);
        *steps = n > 0 ? n : 1;
        return QLINT_STEP;
      }
      case 'c': return QLINT_CONTINUE;
      case 'r': return QLINT_REPORT;
      case 'q': return QLINT_QUIT;
      case '\n':
      case '\0': continue;
      default: print_help(out);
    }
  }
}
