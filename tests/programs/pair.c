/* One or two threads, each loading and storing every word of its own
 * 64 KiB array, pass after pass, for the thread tests: either array fits a
 * cache of 96 KiB, both do not, so a shared cache's result shows how
 * finely the two threads' references interleave.
 *
 *   pair threads passes     (threads 1 or 2) */
#include <pthread.h>
#include <stdlib.h>

enum { WORDS = 8192 };
static volatile long arrays[2][WORDS];
static long passes;
static int threads, arrived;

/* The threads start their passes together: each spins until all have
 * come, with no system call that would leave the other running alone. */
static void *work(void *arg) {
  volatile long *a = arg;
  __atomic_add_fetch(&arrived, 1, __ATOMIC_SEQ_CST);
  while (__atomic_load_n(&arrived, __ATOMIC_SEQ_CST) < threads) {
  }
  for (long p = 0; p < passes; p++)
    for (int i = 0; i < WORDS; i++) a[i] = a[i] + 1;
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  threads = atoi(argv[1]);
  passes = strtol(argv[2], NULL, 10);
  if (threads < 1 || threads > 2) return 2;
  pthread_t ids[2];
  for (int t = 0; t < threads; t++)
    if (pthread_create(&ids[t], NULL, work, (void *)arrays[t]) != 0) return 1;
  for (int t = 0; t < threads; t++) pthread_join(ids[t], NULL);
  return 0;
}
