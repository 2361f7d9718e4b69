// Fuzz target: the library's option words, parsed and validated through
// the entry that returns instead of ending the process. The input is split
// into words at blanks, newlines and NULs.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "libvantle/frontend.h"
#include "words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> words = split_words(data, size);
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  vantle_configure(static_cast<int>(argv.size()), argv.data());
  return 0;
}
