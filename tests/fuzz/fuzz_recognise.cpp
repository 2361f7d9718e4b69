// Fuzz target: format recognition on arbitrary bytes, then the loader
// reading them as vantle-sim does under -trace:format auto. Text that is
// plain ASCII is never taken for bin32, and a text format is chosen only
// when the first line it does not skip is one of its records. A plain
// file smaller than what the loader reads to recognise it is read in the
// format recognition gives, and refused when it gives none.
#include <stdlib.h>
#include <string.h>

#include "fuzz_loader.h"
#include "machine.h"

namespace {

bool all_text(const uint8_t *data, size_t size) {
  for (size_t i = 0; i < size; i++)
    if ((data[i] < 0x20 || data[i] > 0x7e) && data[i] != '\n' &&
        data[i] != '\t' && data[i] != '\r')
      return false;
  return true;
}

// The result of decoding the first line that format does not skip.
int first_record(int format, const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  size_t start = 0;
  while (start < size) {
    const char *nl =
        static_cast<const char *>(memchr(text + start, '\n', size - start));
    size_t end = nl ? static_cast<size_t>(nl - text) : size;
    md_ref ref;
    int result = md_decode_line(format, text + start, end - start, &ref);
    if (result != MD_LINE_SKIP) return result;
    start = end + 1;
  }
  return MD_LINE_SKIP;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  int format = md_guess_format(data, size, 1);
  if (format == MD_FMT_BIN32 && all_text(data, size)) abort();
  if (format != MD_FMT_BIN32 && format != MD_FMT_AUTO &&
      first_record(format, data, size) != MD_LINE_REF)
    abort();
  fuzz_outcome taken = fuzz_read_plain(data, size, MD_FMT_AUTO);
  if (size > 0 && size < 1 << 16 && !taken.compressed &&
      (taken.opened != (format != MD_FMT_AUTO) ||
       (taken.opened && taken.format != format)))
    abort();
  return 0;
}
