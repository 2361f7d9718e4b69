// Process-wide flags of the tool set and its random generator (a 64-bit
// xorshift-multiply generator: fast, repeatable from a seed).
#include "misc.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

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

// The resolved directory of path and its last component, for a file that
// need not exist yet; empty when the directory cannot be resolved.
static std::string canonical_name(const char *path) {
  const char *base = base_name(path);
  std::string dir(path, static_cast<size_t>(base - path));
  char resolved[PATH_MAX];
  if (!realpath(dir.empty() ? "." : dir.c_str(), resolved)) return "";
  return std::string(resolved) + "/" + base;
}

bool same_file_name(const char *a, const char *b) {
  struct stat sa, sb;
  if (stat(a, &sa) == 0 && stat(b, &sb) == 0)
    return S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  std::string ca = canonical_name(a);
  return !ca.empty() && ca == canonical_name(b);
}
