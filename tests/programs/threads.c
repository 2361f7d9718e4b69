/* Four threads, each loading and storing every word of its own array k
 * times over, for the tracer tests. Prints each array's address and size,
 * so that a test can count each thread's references in a trace.
 *
 *   threads k */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

enum { THREADS = 4, WORDS = 1024 };
static volatile long arrays[THREADS][WORDS];
static long rounds;

static void *work(void *arg) {
  volatile long *a = arg;
  for (long r = 0; r < rounds; r++)
    for (int i = 0; i < WORDS; i++) a[i] = a[i] + 1;
  return NULL;
}

int main(int argc, char **argv) {
  if (argc != 2) return 2;
  rounds = strtol(argv[1], NULL, 10);
  for (int t = 0; t < THREADS; t++)
    printf("%p %zu\n", (void *)arrays[t], sizeof arrays[t]);
  fflush(stdout);
  pthread_t ids[THREADS];
  for (int t = 0; t < THREADS; t++)
    if (pthread_create(&ids[t], NULL, work, (void *)arrays[t]) != 0) return 1;
  for (int t = 0; t < THREADS; t++) pthread_join(ids[t], NULL);
  return 0;
}
