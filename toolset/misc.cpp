// Process-wide flags of the tool set and its random generator (a 64-bit
// xorshift-multiply generator: fast, repeatable from a seed).
#include "misc.h"

#include <stdint.h>
#include <string.h>

int verbose;
int debugging;

static uint64_t rand_state = 0x9E3779B97F4A7C15ull;

void mysrand(unsigned int seed) {
  rand_state = 0x9E3779B97F4A7C15ull ^ (static_cast<uint64_t>(seed) << 1);
  if (!rand_state) rand_state = 1;
}

int myrand(void) {
  rand_state ^= rand_state >> 12;
  rand_state ^= rand_state << 25;
  rand_state ^= rand_state >> 27;
  return static_cast<int>((rand_state * 0x2545F4914F6CDD1Dull) >> 33);
}

const char *base_name(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}
