/* A program that touches memory far apart, for the tracer tests: one word
 * in each of n pages 64 GiB from one another, so that its addresses fall
 * in n regions of the folding map besides those of its code and stack.
 *
 *   far n     (n at most 64) */
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  long n = strtol(argv[1], NULL, 10);
  if (n < 0 || n > 64) return 2;
  for (long i = 1; i <= n; i++) {
    volatile long *page = mmap((void *)(uintptr_t)(i << 36), 4096,
                               PROT_READ | PROT_WRITE,
                               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) return 3;
    *page = i;
  }
  return 0;
}
