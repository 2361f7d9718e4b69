// Process-wide flags of the tool set, its random generator (a 64-bit
// xorshift-multiply generator: fast, repeatable from a seed) and its
// helpers for paths.
#include "misc.h"

#include <limits.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

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

int utf8_length(const unsigned char *p) {
  if (p[0] < 0x80) return 1;
  int n = p[0] >= 0xf0 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 ? 2 : 0;
  if (n == 0 || p[0] > 0xf4) return 0;
  uint32_t code = p[0] & (0x7f >> n);
  for (int i = 1; i < n; i++) {
    if ((p[i] & 0xc0) != 0x80) return 0;
    code = code << 6 | (p[i] & 0x3f);
  }
  bool shortest = code >= (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u);
  bool scalar = code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
  return shortest && scalar ? n : 0;
}

char *find_on_path(const char *path, const char *name) {
  if (!path || !*name) return nullptr;
  while (*path) {
    const char *colon = strchr(path, ':');
    size_t n = colon ? static_cast<size_t>(colon - path) : strlen(path);
    char *full = static_cast<char *>(malloc(n + strlen(name) + 2));
    if (!full) return nullptr;
    snprintf(full, n + strlen(name) + 2, "%.*s/%s", static_cast<int>(n),
             n ? path : ".", name);
    struct stat st;
    if (stat(full, &st) == 0 && S_ISREG(st.st_mode) && access(full, X_OK) == 0)
      return full;
    free(full);
    if (!colon) break;
    path = colon + 1;
  }
  return nullptr;
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
