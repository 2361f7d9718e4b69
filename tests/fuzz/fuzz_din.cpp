// Fuzz target: the din decoder, through the loader's own reading of a
// trace file named with -trace:format din.
#include "fuzz_loader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz_read_trace(data, size, MD_FMT_DIN, 1 + size % 97);
  return 0;
}
