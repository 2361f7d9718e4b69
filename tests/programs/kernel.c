/* A program with a known access pattern, for the tracer tests: loads the
 * first n words of an array, then stores the first m. Prints the array's
 * address so that a test can pick the kernel's references out of a trace.
 *
 *   kernel n m     (n, m at most 65536; digits of equal count in two runs
 *                   keep everything outside the loops the same) */
#include <stdio.h>
#include <stdlib.h>

enum { WORDS = 65536 };
static volatile long words[WORDS];

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  long n = strtol(argv[1], NULL, 10), m = strtol(argv[2], NULL, 10);
  if (n < 0 || n > WORDS || m < 0 || m > WORDS) return 2;
  printf("%p %zu\n", (void *)words, sizeof words);
  fflush(stdout);
  long sum = 0;
  for (long i = 0; i < n; i++) sum += words[i];
  for (long i = 0; i < m; i++) words[i] = i;
  return sum != 0;
}
