// Fuzz target: the din decoder, through the loader's own reading of a
// trace file named with -trace:format din, against the naive model.
#include "fuzz_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_read_plain(data, size, MD_FMT_DIN);
  return 0;
}
