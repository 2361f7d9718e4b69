/* A program whose three functions miss differently, for the tests of
 * -sites: stream_sum reads a large array once, word by word (one miss
 * per line in a cache far smaller than the array); small_reuse reads a
 * small array over and over (hits once it is in); column_walk reads a
 * large array a line apart (a miss per reference). Each function is kept
 * out of line so that its code has a symbol of its own. */
#include <stdio.h>

enum { BIG = 1 << 17, SMALL = 64, LINE_WORDS = 8 };
static volatile long big[BIG], small[SMALL];

__attribute__((noinline)) long stream_sum(void) {
  long sum = 0;
  for (long i = 0; i < BIG; i++) sum += big[i];
  return sum;
}

__attribute__((noinline)) long small_reuse(void) {
  long sum = 0;
  for (long round = 0; round < BIG / SMALL; round++)
    for (long i = 0; i < SMALL; i++) sum += small[i];
  return sum;
}

__attribute__((noinline)) long column_walk(void) {
  long sum = 0;
  for (long start = 0; start < LINE_WORDS; start++)
    for (long i = start; i < BIG; i += LINE_WORDS) sum += big[i];
  return sum;
}

int main(void) {
  long sum = stream_sum() + small_reuse() + column_walk();
  printf("%ld\n", sum);
  return 0;
}
