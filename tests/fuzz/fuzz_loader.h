// Shared body of the trace fuzz targets: the input becomes a trace file,
// held in memory and named through /dev/fd, that the loader opens and
// reads to its end in batches, as vantle-sim does. A fatal error of the
// loader (an unusable file, a failed decompression) returns here through
// the fatal hook instead of ending the process. Where the trace the file
// holds is known, what the loader hands out must be what the naive model
// (trace_model.h) reads from it; any difference aborts.
#ifndef VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_
#define VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_

#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "loader.h"
#include "misc.h"
#include "trace_model.h"

// One read of a trace file, and the trace it holds where that is known.
struct fuzz_trace {
  const uint8_t *file;
  size_t file_size;
  int format;       // an md_format as named on the command line, or auto
  size_t cap;       // the most records each ld_read is asked for
  int region_bits;  // of the folding map
  bool gzipped;      // the file is gzip's: the loader decompresses it
  // The trace the file holds (decompressed), or null when unknown.
  const uint8_t *trace;
  size_t trace_size;
  bool cut_short;  // the file breaks off: only a prefix of it can be read
};

// The records a read handed out, and how it ended.
struct fuzz_reading {
  std::vector<md_addr_t> addrs;
  std::vector<unsigned char> kinds;
  bool opened = false;    // ld_open returned
  bool finished = false;  // read to its end or to an early stop, then reaped
};

inline jmp_buf fuzz_fatal_return;

inline void fuzz_back_from_fatal(FILE *) { longjmp(fuzz_fatal_return, 1); }

// The name under which the loader finds bytes: one memory file, rewritten
// for every input.
inline const char *fuzz_file_named(const uint8_t *bytes, size_t size) {
  static int fd = -1;
  static char name[32];
  if (fd < 0) {
    fd = memfd_create("fuzz-trace", 0);
    if (fd < 0 || fchmod(fd, 0600) != 0) abort();
    snprintf(name, sizeof name, "/dev/fd/%d", fd);
  }
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, bytes, size, 0) != static_cast<ssize_t>(size))
    abort();
  return name;
}

// Takes one batch; aborts when it breaks ld_read's contract.
inline void fuzz_take_batch(fuzz_reading *r, const md_addr_t *addrs,
                            const unsigned char *kinds, size_t n,
                            size_t cap) {
  if (n > cap || n > LD_MOST_RECORDS || !addrs || !kinds) abort();
  for (size_t i = 0; i < n; i++) {
    // The simulator indexes its selection table by kind.
    bool kind_ok = ld_has_kinds()
                       ? kinds[i] >= MD_REF_INST && kinds[i] <= MD_REF_MODIFY
                       : kinds[i] == MD_REF_NONE;
    if (!kind_ok) abort();
    r->addrs.push_back(addrs[i]);
    r->kinds.push_back(kinds[i]);
  }
}

// Opens and reads the file to its end; a fatal error leaves r->finished
// false. Nothing here holds what a longjmp from the loader would skip.
inline void fuzz_read(const fuzz_trace &t, const char *name,
                      fuzz_reading *r) {
  static char *argv[2];
  argv[0] = const_cast<char *>(name);
  if (setjmp(fuzz_fatal_return) != 0) return;
  fatal_hook(fuzz_back_from_fatal);
  ld_open(name, 1, argv, t.format, nullptr);
  r->opened = true;
  if (ld_is_program()) abort();  // a memory file is never run
  const md_addr_t *addrs;
  const unsigned char *kinds;
  size_t n;
  while ((n = ld_read(&addrs, &kinds, t.cap)) > 0)
    fuzz_take_batch(r, addrs, kinds, n, t.cap);
  if (ld_state() == LD_READING) abort();  // nothing asked it to stop
  if (ld_read(&addrs, &kinds, t.cap) != 0) abort();  // over is over
  if (ld_state() == LD_END) ld_finish(0);
  r->finished = true;
}

// Compares what was read with the model of the trace the file holds.
inline void fuzz_check(const fuzz_trace &t, const fuzz_reading &r) {
  if (!r.finished || !t.trace) return;
  trace_model m = model_trace(ld_format(), t.trace, t.trace_size,
                              t.region_bits);
  size_t n = r.addrs.size();
  if (n > m.addrs.size() || (!t.cut_short && n != m.addrs.size()) ||
      !std::equal(r.addrs.begin(), r.addrs.end(), m.addrs.begin()) ||
      !std::equal(r.kinds.begin(), r.kinds.end(), m.kinds.begin()))
    abort();
  bool stopped_early = ld_state() == LD_MALFORMED;
  if (stopped_early != (*ld_error() != '\0')) abort();
  if (t.cut_short) {
    if (!stopped_early) abort();  // a broken file is never taken as whole
    return;
  }
  if (stopped_early != m.stops_early) abort();
  if (ld_format() != MD_FMT_BIN32 && ld_line_number() != m.lines) abort();
}

// How the loader took a file.
struct fuzz_outcome {
  bool opened;      // ld_open accepted it
  bool compressed;  // and read it through a decompressor
  int format;       // in this format
};

// Reads a trace file as the loader reads one, then checks what it read.
inline fuzz_outcome fuzz_read_trace(const fuzz_trace &t) {
  if (t.file_size >= 1 << 20) return {false, false, MD_FMT_AUTO};
  static fuzz_reading r;
  r = fuzz_reading();
  const char *name = fuzz_file_named(t.file, t.file_size);
  fm_reset(t.region_bits);
  fuzz_read(t, name, &r);
  fatal_hook(nullptr);
  // Plain bytes that start like a compressed file are read as one.
  if (ld_compressed() == t.gzipped) {
    // A named format reads any plain file but an empty one.
    if (!t.gzipped && t.format != MD_FMT_AUTO && !r.finished &&
        t.file_size > 0)
      abort();
    fuzz_check(t, r);
  } else if (t.gzipped) {
    abort();
  }
  fuzz_outcome taken = {r.opened, ld_compressed() != 0, ld_format()};
  ld_reset();
  return taken;
}

// The folding map's region size for an input: the usual one, small ones
// (many places), and a single place, which fills at the first region
// beyond it.
inline int fuzz_region_bits(size_t size) {
  static const int kBits[] = {24, 12, 32, 20};
  return kBits[size / 97 % 4];
}

// Reads bytes as a trace file of the named format that holds them as
// they are.
inline fuzz_outcome fuzz_read_plain(const uint8_t *bytes, size_t size,
                                    int format) {
  return fuzz_read_trace({bytes, size, format, 1 + size % 97,
                          fuzz_region_bits(size), false, bytes, size, false});
}

#endif  // VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_
