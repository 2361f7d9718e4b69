// Fuzz target: gzip-compressed traces, recognised by content and read
// through the host's gzip as vantle-sim reads them. Random bytes rarely
// survive gzip's checks, so the input describes the file instead: its
// first byte picks a sound gzip stream of the rest (stored blocks), the
// same stream cut short, or the rest as it is behind the magic bytes. What
// is read of a sound stream must be the whole trace, of a cut one a part
// of it, ending in an error.
#include <string>

#include "fuzz_loader.h"

namespace {

uint32_t crc32_of(const uint8_t *p, size_t n) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < n; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc >> 1) ^ (0xedb88320u & -(crc & 1));
  }
  return ~crc;
}

void put32(std::string &s, uint32_t v) {
  for (int b = 0; b < 4; b++) s.push_back(static_cast<char>(v >> (8 * b)));
}

// A gzip member holding bytes in stored (uncompressed) deflate blocks.
std::string gzip_stored(const uint8_t *p, size_t n) {
  std::string s("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  size_t at = 0;
  do {
    size_t len = n - at < 65535 ? n - at : 65535;
    s.push_back(at + len == n ? 1 : 0);  // BFINAL, BTYPE 00
    s.push_back(static_cast<char>(len & 0xff));
    s.push_back(static_cast<char>(len >> 8));
    s.push_back(static_cast<char>(~len & 0xff));
    s.push_back(static_cast<char>((~len >> 8) & 0xff));
    s.append(reinterpret_cast<const char *>(p + at), len);
    at += len;
  } while (at < n);
  put32(s, crc32_of(p, n));
  put32(s, static_cast<uint32_t>(n));
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  uint8_t mode = data[0], cut = data[1];
  const uint8_t *trace = data + 2;
  std::string file;
  if (mode < 128) {
    file = gzip_stored(data + 2, size - 2);
  } else if (mode < 192) {
    file = gzip_stored(data + 2, size - 2);
    file.resize(file.size() * cut / 256);
    if (file.size() < 2) file = "\x1f\x8b";
  } else {
    file = std::string("\x1f\x8b", 2) +
           std::string(reinterpret_cast<const char *>(data + 2), size - 2);
    trace = nullptr;
  }
  fuzz_read_trace({reinterpret_cast<const uint8_t *>(file.data()),
                   file.size(), MD_FMT_AUTO, 1u + cut % 97,
                   fuzz_region_bits(size), true, trace, size - 2,
                   mode >= 128});
  return 0;
}
