// Record decoders of the trace formats: one text line of a din, lackey or
// hex trace into a reference, and the format of a trace recognised from
// its first bytes. Owns a digit table filled by md_init_decoder. These run
// once per record, so they scan by hand rather than through scanf.
#include "machine.h"

#include <string.h>

// Value of each byte as a hex digit, 16 for any other byte.
static unsigned char hex_value[256];
static bool decoder_ready;

static unsigned char to_byte(int v) { return static_cast<unsigned char>(v); }

void md_init_decoder(void) {
  if (decoder_ready) return;
  memset(hex_value, 16, sizeof hex_value);
  for (int c = '0'; c <= '9'; c++) hex_value[c] = to_byte(c - '0');
  for (int c = 'a'; c <= 'f'; c++) hex_value[c] = to_byte(c - 'a' + 10);
  for (int c = 'A'; c <= 'F'; c++) hex_value[c] = to_byte(c - 'A' + 10);
  decoder_ready = true;
}

static inline bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

// Reads a hex number (optional 0x, 1 to 16 digits) at line[*at]; advances
// *at past it. Returns false when there is none or it overflows 64 bits.
static inline bool read_hex(const char *line, size_t len, size_t *at,
                            uint64_t *value) {
  size_t i = *at;
  if (i + 1 < len && line[i] == '0' &&
      (line[i + 1] == 'x' || line[i + 1] == 'X'))
    i += 2;
  size_t first = i;
  uint64_t v = 0;
  while (i < len) {
    unsigned d = hex_value[static_cast<unsigned char>(line[i])];
    if (d > 15) break;
    v = (v << 4) | d;
    i++;
  }
  if (i == first || i - first > 16) return false;
  *at = i;
  *value = v;
  return true;
}

static inline void skip_blanks(const char *line, size_t len, size_t *at) {
  while (*at < len && is_blank(line[*at])) ++*at;
}

// True when only blanks remain from at.
static inline bool rest_blank(const char *line, size_t len, size_t at) {
  skip_blanks(line, len, &at);
  return at == len;
}

// din: "<label> <hex address>", labels 0 read, 1 write, 2 fetch, 3 escape
// and 4 flush (skipped); text after the address is ignored.
static int decode_din(const char *line, size_t len, md_ref *ref) {
  size_t at = 0;
  skip_blanks(line, len, &at);
  if (at == len) return MD_LINE_SKIP;
  if (line[at] < '0' || line[at] > '4') return MD_LINE_BAD;
  int label = line[at++] - '0';
  if (at == len || !is_blank(line[at])) return MD_LINE_BAD;
  skip_blanks(line, len, &at);
  uint64_t addr;
  if (!read_hex(line, len, &at, &addr)) return MD_LINE_BAD;
  if (at < len && !is_blank(line[at])) return MD_LINE_BAD;
  static const int kinds[] = {MD_REF_LOAD, MD_REF_STORE, MD_REF_INST};
  if (label > 2) return MD_LINE_SKIP;
  ref->addr = addr;
  ref->kind = kinds[label];
  return MD_LINE_REF;
}

// lackey: "I  addr,size", " L addr,size", " S addr,size", " M addr,size";
// valgrind's own "==pid==" lines are skipped.
static int decode_lackey(const char *line, size_t len, md_ref *ref) {
  if (len >= 2 && line[0] == '=' && line[1] == '=') return MD_LINE_SKIP;
  size_t at = 0;
  skip_blanks(line, len, &at);
  if (at == len) return MD_LINE_SKIP;
  int kind;
  switch (line[at]) {
    case 'I': kind = MD_REF_INST; break;
    case 'L': kind = MD_REF_LOAD; break;
    case 'S': kind = MD_REF_STORE; break;
    case 'M': kind = MD_REF_MODIFY; break;
    default: return MD_LINE_BAD;
  }
  at++;
  if (at == len || !is_blank(line[at])) return MD_LINE_BAD;
  skip_blanks(line, len, &at);
  uint64_t addr;
  if (!read_hex(line, len, &at, &addr)) return MD_LINE_BAD;
  if (at == len || line[at] != ',') return MD_LINE_BAD;
  size_t digits = ++at;
  while (at < len && line[at] >= '0' && line[at] <= '9') at++;
  if (at == digits || at - digits > 9 || !rest_blank(line, len, at))
    return MD_LINE_BAD;
  ref->addr = addr;
  ref->kind = kind;
  return MD_LINE_REF;
}

// hex: one address per line, "0x" optional, "#" starts a comment.
static int decode_hex(const char *line, size_t len, md_ref *ref) {
  size_t at = 0;
  skip_blanks(line, len, &at);
  if (at == len || line[at] == '#') return MD_LINE_SKIP;
  uint64_t addr;
  if (!read_hex(line, len, &at, &addr)) return MD_LINE_BAD;
  skip_blanks(line, len, &at);
  if (at != len && line[at] != '#') return MD_LINE_BAD;
  ref->addr = addr;
  ref->kind = MD_REF_NONE;
  return MD_LINE_REF;
}

int md_decode_line(int format, const char *line, size_t len, md_ref *ref) {
  switch (format) {
    case MD_FMT_DIN: return decode_din(line, len, ref);
    case MD_FMT_LACKEY: return decode_lackey(line, len, ref);
    case MD_FMT_HEX: return decode_hex(line, len, ref);
    default: return MD_LINE_BAD;
  }
}

// A text format fits when its first records (up to GUESS_RECORDS, skipped
// lines aside) all decode: one stray byte elsewhere, or a long header of
// skipped lines, does not change what the records say. A last line without
// its newline counts only when the bytes end the input; else it may be cut.
enum { GUESS_RECORDS = 3 };

static bool fits_format(int format, const char *text, size_t len,
                        bool at_end) {
  int records = 0;
  size_t start = 0;
  while (start < len && records < GUESS_RECORDS) {
    const char *nl =
        static_cast<const char *>(memchr(text + start, '\n', len - start));
    if (!nl && !at_end) break;
    size_t end = nl ? static_cast<size_t>(nl - text) : len;
    md_ref ref;
    int result = md_decode_line(format, text + start, end - start, &ref);
    if (result == MD_LINE_BAD) return false;
    if (result == MD_LINE_REF) records++;
    start = end + 1;
  }
  return records > 0;
}

// 32-bit words of addresses are full of bytes that text never holds (NUL
// in the high bytes of small addresses above all): a quarter at least.
static bool looks_like_words(const unsigned char *bytes, size_t len) {
  size_t other = 0;
  for (size_t i = 0; i < len; i++) {
    unsigned char c = bytes[i];
    if ((c < 0x20 || c > 0x7e) && c != '\n' && c != '\t' && c != '\r')
      other++;
  }
  return len >= 4 && other * 4 >= len;
}

int md_guess_format(const unsigned char *bytes, size_t len, int at_end) {
  md_init_decoder();
  const char *text = reinterpret_cast<const char *>(bytes);
  int found = MD_FMT_AUTO;
  static const int text_formats[] = {MD_FMT_LACKEY, MD_FMT_DIN, MD_FMT_HEX};
  for (int format : text_formats) {
    if (!fits_format(format, text, len, at_end)) continue;
    if (found != MD_FMT_AUTO) return MD_FMT_AUTO;  // two fit: ambiguous
    found = format;
  }
  if (found != MD_FMT_AUTO) return found;
  return looks_like_words(bytes, len) ? MD_FMT_BIN32 : MD_FMT_AUTO;
}

static const char *const format_names[] = {"auto", "din", "lackey", "hex",
                                           "bin32"};

const char *md_format_name(int format) {
  if (format < 0 || format > MD_FMT_BIN32) return "?";
  return format_names[format];
}

int md_format_by_name(const char *name) {
  for (int f = 0; f <= MD_FMT_BIN32; f++)
    if (!strcmp(name, format_names[f])) return f;
  return -1;
}
