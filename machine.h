// The target machine as the tool set sees it: 32-bit byte addresses, 64-bit
// counters, the kinds of memory reference, and the decoders that turn one
// trace record into a reference.
#ifndef VANTLE_MACHINE_H_
#define VANTLE_MACHINE_H_

#include <stddef.h>
#include <stdint.h>

#include "libvantle/libvantle.h"  // md_addr_t

typedef int64_t counter_t;

// Kinds of reference. A modify (read then write of one location) is one
// data reference.
enum md_ref_kind {
  MD_REF_NONE = 0,    // the record carries no kind (hex, bin32)
  MD_REF_INST = 1,    // instruction fetch
  MD_REF_LOAD = 2,
  MD_REF_STORE = 3,
  MD_REF_MODIFY = 4,
};

// Trace formats the decoders understand.
enum md_format {
  MD_FMT_AUTO = 0,
  MD_FMT_DIN,
  MD_FMT_LACKEY,
  MD_FMT_HEX,
  MD_FMT_BIN32,
};

// One decoded reference; addr may be wider than 32 bits.
struct md_ref {
  uint64_t addr;
  int kind;  // md_ref_kind
};

// Results of md_decode_line.
enum { MD_LINE_BAD = -1, MD_LINE_SKIP = 0, MD_LINE_REF = 1 };

// Readies the record decoders. Idempotent.
void md_init_decoder(void);

// Decodes one text line (without its newline) of a din, lackey or hex trace.
// Returns MD_LINE_REF with *ref filled, MD_LINE_SKIP for a line that
// carries no reference (blank, comment, din escape or flush, valgrind's own
// lines), or MD_LINE_BAD for a malformed line. Never reads past len.
int md_decode_line(int format, const char *line, size_t len, md_ref *ref);

// Recognises the format of a trace from its first bytes (at_end: they are
// the whole input): the one text format whose first records decode, else
// bin32 when the bytes look like binary words. Returns MD_FMT_DIN,
// MD_FMT_LACKEY, MD_FMT_HEX, MD_FMT_BIN32, or MD_FMT_AUTO when no format
// or more than one fits.
int md_guess_format(const unsigned char *bytes, size_t len, int at_end);

// Name of a format ("din", ...), and the format of a name (-1 if unknown).
const char *md_format_name(int format);
int md_format_by_name(const char *name);

#endif  // VANTLE_MACHINE_H_
