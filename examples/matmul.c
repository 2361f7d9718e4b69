/* A small program to trace: multiplies two n x n matrices of doubles,
 * plainly (i, j, k loops) or blocked (tiles of b x b that stay in cache),
 * and prints a checksum. The blocked version touches far fewer distinct
 * lines between reuses, which the miss ratios show.
 *
 *   matmul [-b block] [-s status] n
 *
 * -s makes the program exit with that status (to test how a traced
 * program's exit status comes back). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void usage(void) {
  printf("usage: matmul [-b block] [-s status] n\n");
}

// The kernels stay functions of their own, not inlined into main, so that
// vantle-sim -sites names the code that misses.
__attribute__((noinline)) static void multiply_plain(int n, const double *a,
                                                     const double *b,
                                                     double *c) {
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      double sum = 0;
      for (int k = 0; k < n; k++) sum += a[i * n + k] * b[k * n + j];
      c[i * n + j] = sum;
    }
}

__attribute__((noinline)) static void multiply_blocked(int n, int bs,
                                                       const double *a,
                                                       const double *b,
                                                       double *c) {
  memset(c, 0, sizeof(double) * n * n);
  for (int ii = 0; ii < n; ii += bs)
    for (int kk = 0; kk < n; kk += bs)
      for (int jj = 0; jj < n; jj += bs)
        for (int i = ii; i < ii + bs && i < n; i++)
          for (int k = kk; k < kk + bs && k < n; k++) {
            double aik = a[i * n + k];
            for (int j = jj; j < jj + bs && j < n; j++)
              c[i * n + j] += aik * b[k * n + j];
          }
}

int main(int argc, char **argv) {
  int block = 0, status = 0, n = 0, i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    if (!strcmp(argv[i], "-b") && i + 1 < argc) {
      block = atoi(argv[++i]);
    } else if (!strcmp(argv[i], "-s") && i + 1 < argc) {
      status = atoi(argv[++i]);
    } else {
      usage();
      return strcmp(argv[i], "-h") ? 2 : 0;
    }
  }
  if (i < argc) n = atoi(argv[i]);
  if (n <= 0 || n > 2048 || block < 0) {
    usage();
    return 2;
  }
  double *a = malloc(sizeof(double) * n * n);
  double *b = malloc(sizeof(double) * n * n);
  double *c = malloc(sizeof(double) * n * n);
  if (!a || !b || !c) return 2;
  for (int x = 0; x < n * n; x++) {
    a[x] = (x % 7) - 3;
    b[x] = (x % 5) - 2;
  }
  if (block > 0)
    multiply_blocked(n, block, a, b, c);
  else
    multiply_plain(n, a, b, c);
  double sum = 0;
  for (int x = 0; x < n * n; x++) sum += c[x];
  printf("matmul %s n=%d: checksum %.1f\n", block ? "blocked" : "plain", n,
         sum);
  free(a);
  free(b);
  free(c);
  return status;
}
