// Fuzz target: a module file of arbitrary bytes named at a few addresses,
// and the same bytes read as a /proc/<pid>/maps text. The file is
// hostile: every offset, count and size in it may lie. Each address in
// the mapping is named by a function or by module+offset, one outside
// every mapping by its address; a maps text gives only file-backed
// mappings of positive length.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "toolset/site_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static std::string path;
  if (path.empty()) {
    char name[] = "/tmp/vantle-fuzz-elf-XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) abort();
    close(fd);
    path = name;
  }
  FILE *f = fopen(path.c_str(), "wb");
  if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0) abort();
  // The file mapped twice, as a loader maps text and data.
  std::vector<code_module> modules = {{path, 0x400000, 0x401000, 0},
                                      {path, 0x401000, 0x480000, 0x1000}};
  const uint64_t addresses[] = {0x400000, 0x400040, 0x401000, 0x401123,
                                0x47ffff, 0x10};
  const size_t count = sizeof addresses / sizeof addresses[0];
  std::vector<site_name> names = name_sites(addresses, count, modules, false);
  if (names.size() != count) abort();
  for (size_t i = 0; i + 1 < count; i++)
    if (names[i].module != path || names[i].function.empty()) abort();
  if (names[count - 1].function != "0x10" || !names[count - 1].module.empty())
    abort();
  std::string text(reinterpret_cast<const char *>(data), size);
  for (const code_module &m : modules_from_maps(text.c_str()))
    if (m.path.empty() || m.path[0] != '/' || m.end <= m.start) abort();
  return 0;
}
