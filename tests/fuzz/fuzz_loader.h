// Shared body of the trace fuzz targets: the input becomes a trace file,
// held in memory and named through /dev/fd, that the loader opens and
// reads to its end as vantle-sim does. A fatal error of the loader (an
// unusable file, a failed decompression) returns here through the fatal
// hook instead of ending the process.
#ifndef VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_
#define VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_

#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "loader.h"
#include "misc.h"

static jmp_buf fuzz_fatal_return;

static void fuzz_back_from_fatal(FILE *) { longjmp(fuzz_fatal_return, 1); }

// Reads bytes as a trace of the given md_format; batches of cap records.
static void fuzz_read_trace(const uint8_t *bytes, size_t size, int format,
                            size_t cap) {
  static int fd = -1;
  if (fd < 0) {
    fd = memfd_create("fuzz-trace", 0);
    if (fd < 0 || fchmod(fd, 0600) != 0) abort();
  }
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, bytes, size, 0) != static_cast<ssize_t>(size))
    abort();
  static char name[32];
  snprintf(name, sizeof name, "/dev/fd/%d", fd);
  static char *argv[] = {name, nullptr};
  static md_addr_t addrs[4096];
  static unsigned char kinds[4096];
  if (cap < 1) cap = 1;
  if (cap > 4096) cap = 4096;
  if (setjmp(fuzz_fatal_return) == 0) {
    fatal_hook(fuzz_back_from_fatal);
    ld_open(name, 1, argv, format, nullptr);
    if (ld_is_program()) abort();  // a memory file is never run
    size_t n;
    while ((n = ld_read(addrs, kinds, cap)) > 0) {
      // The simulator indexes its selection table by kind.
      for (size_t i = 0; ld_has_kinds() && i < n; i++)
        if (kinds[i] > MD_REF_MODIFY) abort();
    }
    if (ld_state() == LD_END) ld_finish(0);
  }
  fatal_hook(nullptr);
  ld_reset();
}

#endif  // VANTLE_TESTS_FUZZ_FUZZ_LOADER_H_
