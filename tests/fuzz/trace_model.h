// The trace fuzz targets' naive model of reading a whole trace held in
// memory: a text trace line by line through the record decoder, a bin32
// trace word by word, with no buffer, no batches and no refills, folding
// wide addresses with the folding map as the loader does. The loader must
// hand out exactly these records, whatever its batches and buffer do.
#ifndef VANTLE_TESTS_FUZZ_TRACE_MODEL_H_
#define VANTLE_TESTS_FUZZ_TRACE_MODEL_H_

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "machine.h"
#include "transport/fold_map.h"

// The records of a trace, and where reading them stops.
struct trace_model {
  std::vector<md_addr_t> addrs;
  std::vector<unsigned char> kinds;
  bool stops_early = false;  // at a malformed record, or a full folding map
  long long lines = 0;       // text: the line reading stops at, or the last
};

// Folds one decoded reference into the model; false when the map is full.
inline bool model_take(trace_model *m, const md_ref &ref) {
  uint32_t folded;
  enum fm_result r = fm_fold(ref.addr, &folded);
  if (r == FM_NO_MEMORY) abort();
  if (r == FM_FULL) return false;
  m->addrs.push_back(folded);
  m->kinds.push_back(static_cast<unsigned char>(ref.kind));
  return true;
}

// A din, lackey or hex trace: every line, the last one with or without its
// newline, up to the first one that is malformed or does not fold.
inline void model_text(trace_model *m, int format, const char *text,
                       size_t size) {
  for (size_t start = 0; start < size;) {
    const char *nl =
        static_cast<const char *>(memchr(text + start, '\n', size - start));
    size_t end = nl ? static_cast<size_t>(nl - text) : size;
    m->lines++;
    md_ref ref;
    int result = md_decode_line(format, text + start, end - start, &ref);
    if (result == MD_LINE_BAD ||
        (result == MD_LINE_REF && !model_take(m, ref))) {
      m->stops_early = true;
      return;
    }
    start = end + 1;
  }
}

// A bin32 trace: little-endian words; a partial last word is refused.
inline void model_bin32(trace_model *m, const uint8_t *bytes, size_t size) {
  for (size_t at = 0; at + 4 <= size; at += 4) {
    m->addrs.push_back(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                       static_cast<md_addr_t>(bytes[at + 3]) << 24);
    m->kinds.push_back(MD_REF_NONE);
  }
  m->stops_early = size % 4 != 0;
}

// The model of bytes read as format, folding into regions of 2^region_bits
// bytes from an empty map (which it leaves empty again).
inline trace_model model_trace(int format, const uint8_t *bytes, size_t size,
                               int region_bits) {
  trace_model m;
  fm_reset(region_bits);
  if (format == MD_FMT_BIN32)
    model_bin32(&m, bytes, size);
  else
    model_text(&m, format, reinterpret_cast<const char *>(bytes), size);
  fm_reset(region_bits);
  return m;
}

#endif  // VANTLE_TESTS_FUZZ_TRACE_MODEL_H_
