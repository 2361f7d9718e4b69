// The loader's reader of bytes (input_file.h): owns the input's
// descriptor, the read buffer, the waits of a pipe, the text line counter
// and why reading stopped; a compressed file's tool is decompressor's.
#include "toolset/input_file.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "host.h"
#include "loader.h"
#include "misc.h"
#include "toolset/decompressor.h"
#include "toolset/folding.h"

namespace {

// The longest text line is 1 MiB, its newline aside: the buffer holds one
// with its newline.
enum { LONGEST_LINE = 1 << 20, BUFFER_SIZE = LONGEST_LINE + 1 };
// A bin32 read of at least this many words bypasses the buffer.
enum { BIN32_DIRECT_WORDS = 1024 };
// The bytes read from a file before its format is recognised.
enum { RECOGNITION_BYTES = 1 << 16 };
// A writer slower than the reader (valgrind writes each trace line with a
// write of its own) would wake the reader for every line, which costs both
// sides far more than the reading: after a read shorter than this, the
// reader leaves the pipe to fill for a moment before reading again. The
// pipe is made as large as the system allows, and the moment is
// FILL_PAUSE_NS, less for a pipe smaller than 1 MiB, so that the writer
// does not block meanwhile. A pipe of the loader's own is read without ever
// waiting in the kernel (no poll, no blocking read): once a pipe has been
// polled, the kernel makes every later write to it pay for a wake-up.
// While it stays empty, the reader sleeps, longer each time up to
// SILENT_PAUSE_NS, which also bounds how late a stop() is seen.
enum { SHORT_READ_BYTES = 1 << 16 };
enum { FILL_PAUSE_NS = 1000000, SILENT_PAUSE_NS = 50000000 };

struct input_file {
  char *name = nullptr;  // as the user named it
  int format = MD_FMT_AUTO;
  int fd = -1;
  bool compressed = false;  // read through its decompressor
  unsigned char *buffer = nullptr;
  size_t start = 0, end = 0;
  bool at_eof = false;
  bool is_pipe = false;            // a pipe, FIFO or terminal: short reads
  bool pause_before_read = false;  // the last read was short
  bool nonblocking = false;  // a pipe of our own, read with O_NONBLOCK
  long fill_pause_ns = 0;    // the pause after a short read
  // The caller's question while a read waits, and whether it said to stop
  // waiting. While opening, the answer is not followed.
  int (*stop)(void) = nullptr;
  bool opening = false;
  bool interrupted = false;
  void (*skipped_line)(const char *, size_t) = nullptr;
  // Why the input ended before its end: a read error, or the decompressor
  // failing on a truncated or corrupt file. Reading stops after the last
  // whole record.
  char failure[256] = "";
  int state = LD_READING;
  long long line_number = 0, bytes_in = 0, total_bytes = -1;
  char error[512] = "";  // why reading stopped early
};

input_file file;

// Ends the process: the input named on the command line cannot be used.
#define fail(...) _fatal("loader", "ld_open", __LINE__, __VA_ARGS__)

// The largest pipe an unprivileged process may make, or 0 when unknown.
int pipe_max_size() {
  int fd = open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[32] = "";
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  return n > 0 ? atoi(text) : 0;
}

// Makes fd the input; own: no other process shares its open file (so it
// may be made non-blocking). A pipe is enlarged as far as the system
// allows (a refusal leaves it as it is): the writer then runs on while the
// reader pauses or simulates.
void use_input(int fd, bool own) {
  file.fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  file.is_pipe = !S_ISREG(st.st_mode);
  if (!S_ISFIFO(st.st_mode)) return;
  int size = pipe_max_size();
  if (size > 0) fcntl(fd, F_SETPIPE_SZ, size);
  int capacity = fcntl(fd, F_GETPIPE_SZ);
  long long scaled = capacity > 0 ? 1LL * FILL_PAUSE_NS * capacity >> 20
                                  : FILL_PAUSE_NS / 16;
  file.fill_pause_ns =
      static_cast<long>(std::min<long long>(scaled, FILL_PAUSE_NS));
  int flags = fcntl(fd, F_GETFL);
  file.nonblocking =
      own && flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// ---- Reading and waiting --------------------------------------------------

// Asks the caller whether to stop waiting (noted in interrupted).
bool told_to_stop() {
  if (!file.stop || !file.stop() || file.opening) return false;
  file.interrupted = true;
  return true;
}

// Waits until fd can be read (or has hung up), asking the caller a tenth
// of a second at a time, so that a signal that came just before the wait
// is answered all the same. False when the caller said to stop.
bool wait_readable(int fd) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) return true;  // data, hang-up or error
    if (told_to_stop()) return false;
  }
}

// Whether input can be read now without waiting past the caller's wish,
// for an input read in blocking mode. With no question set it always can
// (read then waits as long as it must).
bool input_ready() {
  if (!file.stop || file.nonblocking) return true;
  return wait_readable(file.fd);
}

// A non-blocking pipe came up empty: sleeps (*pause, doubled for the next
// time up to SILENT_PAUSE_NS), after asking the caller whether to stop.
// A signal cuts the sleep short. False when the caller said to stop.
bool wait_while_empty(long *pause) {
  if (told_to_stop()) return false;
  timespec t = {0, *pause};
  nanosleep(&t, nullptr);
  *pause = *pause * 2 > SILENT_PAUSE_NS ? long{SILENT_PAUSE_NS} : *pause * 2;
  return true;
}

// Reads up to bytes into into: the count read, or 0 at the end of the input
// (noted in at_eof, with a read error in failure) or when the caller said
// to stop waiting (interrupted).
size_t read_input(void *into, size_t bytes) {
  long pause = file.fill_pause_ns > 0 ? file.fill_pause_ns
                                      : long{FILL_PAUSE_NS};
  if (file.pause_before_read && !wait_while_empty(&pause)) return 0;
  for (;;) {
    if (!input_ready()) return 0;
    ssize_t n = read(file.fd, into, bytes);
    if (n > 0) {
      file.bytes_in += n;
      file.pause_before_read = file.is_pipe && n < SHORT_READ_BYTES;
      return static_cast<size_t>(n);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (!wait_while_empty(&pause)) return 0;
      continue;
    }
    if (n < 0)
      snprintf(file.failure, sizeof file.failure, "cannot read it: %s",
               strerror(errno));
    else if (file.compressed)
      dc_reap(file.failure, sizeof file.failure);
    file.at_eof = true;
    return 0;
  }
}

// Reads once more into the buffer, after moving what is left to its start.
// Returns the number of bytes read; 0 at end of input.
size_t fill_buffer() {
  if (file.start > 0) {
    memmove(file.buffer, file.buffer + file.start, file.end - file.start);
    file.end -= file.start;
    file.start = 0;
  }
  if (file.at_eof || file.end == BUFFER_SIZE) return 0;
  size_t n = read_input(file.buffer + file.end, BUFFER_SIZE - file.end);
  file.end += n;
  return n;
}

// ---- Opening --------------------------------------------------------------

// From a pipe: whether the bytes so far leave the format unknown (a named
// format needs only the first line).
bool pipe_needs_more(int format) {
  if (format != MD_FMT_AUTO) return !memchr(file.buffer, '\n', file.end);
  return md_guess_format(file.buffer, file.end, 0) == MD_FMT_AUTO;
}

// Standard input, as a descriptor of its own: a pipe is opened anew
// (*own), so that it can be read without blocking, which its shared
// descriptor must not be made; anything else is duplicated. The pipe is
// opened non-blocking, or the open would wait for a writer when the last
// one has already closed it.
int open_standard_input(bool *own) {
  struct stat st;
  if (fstat(0, &st) == 0 && S_ISFIFO(st.st_mode)) {
    int fd = open("/proc/self/fd/0", O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) return fd;
  }
  *own = false;
  return dup(0);
}

// A named file. A FIFO is opened without waiting for a writer (open
// would wait, deaf to signals), then waited for here, the caller being
// asked meanwhile: so opened, it reads as ended until a writer comes.
int open_named(const char *name) {
  struct stat st;
  if (stat(name, &st) != 0 || !S_ISFIFO(st.st_mode))
    return open(name, O_RDONLY | O_CLOEXEC);
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) wait_readable(fd);
  return fd;
}

// Opens name ("-" names standard input) and starts its decompressor when
// its first bytes say it is compressed. Under auto, a name that does not
// exist was also looked for as a program, and the message says it is
// neither. Returns whether it is a regular file.
bool open_file(const char *name, int format) {
  struct stat st;
  bool own = true;
  int fd = strcmp(name, "-") ? open_named(name) : open_standard_input(&own);
  if (fd < 0 && errno == ENOENT && format == MD_FMT_AUTO)
    fail("cannot open `%s': it is neither a file nor a program%s", name,
         strchr(name, '/') ? "" : " on PATH");
  if (fd < 0) fail("cannot open trace file `%s': %s", name, strerror(errno));
  if (fstat(fd, &st) != 0)
    fail("cannot read trace file `%s': %s", name, strerror(errno));
  if (S_ISDIR(st.st_mode))
    fail("cannot read trace file `%s': it is a directory", name);
  unsigned char magic[8];
  ssize_t magic_len = 0;
  bool regular = S_ISREG(st.st_mode);
  if (regular) {
    file.total_bytes = st.st_size;
    magic_len = pread(fd, magic, sizeof magic, 0);
    if (magic_len < 0)
      fail("cannot read trace file `%s': %s", name, strerror(errno));
  }
  if (const char *tool = dc_tool_of(magic, static_cast<size_t>(magic_len))) {
    close(fd);
    file.total_bytes = -1;  // the decompressed size is not known
    file.compressed = true;
    use_input(dc_start(tool, name), true);
  } else {
    use_input(fd, own);
  }
  return regular;
}

// The format of the bytes read so far, the named one or the one recognised.
int recognise(const char *name, int format, bool regular) {
  if (file.end == 0) {
    if (*file.failure)
      fail("cannot read trace file `%s': %s", name, file.failure);
    fail("trace file `%s' is empty", name);
  }
  // A pipe cannot be handed to the tool as a file, and is not guessed at.
  const char *piped = regular ? nullptr : dc_tool_of(file.buffer, file.end);
  if (piped)
    fail("compressed trace `%s' is not a regular file; decompress it into "
         "a pipe instead (e.g. %s -dc file | vantle-sim -)", name, piped);
  if (format != MD_FMT_AUTO) return format;
  format = md_guess_format(file.buffer, file.end, file.at_eof);
  if (format == MD_FMT_AUTO)
    fail("cannot recognise the format of trace file `%s'; name it with "
         "-trace:format", name);
  return format;
}

void make_buffer(const char *name) {
  file.name = strdup(name);
  file.buffer = static_cast<unsigned char *>(
      checked_calloc(BUFFER_SIZE, 1, "loader", "ld_open", __LINE__));
}

// ---- Records --------------------------------------------------------------

// Stops reading at a malformed record: keeps the file, line and up to 80
// bytes of the record, with what does not print escaped.
void stop_at_bad_record(const char *text, size_t len, const char *why) {
  char shown[400];
  size_t out = 0;
  for (size_t i = 0; i < len && i < 80; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7f)
      shown[out++] = static_cast<char>(c);
    else
      out += static_cast<size_t>(snprintf(shown + out, sizeof shown - out,
                                          "\\x%02x", c));
  }
  snprintf(shown + out, sizeof shown - out, "%s", len > 80 ? "..." : "");
  snprintf(file.error, sizeof file.error,
           "`%s', line %lld: malformed %s record: `%s'%s", file.name,
           file.line_number, md_format_name(file.format), shown, why);
  file.state = LD_MALFORMED;
}

// The input ended early: the run stops after what came before.
void stop_at_failure() {
  if (file.format == MD_FMT_BIN32)
    snprintf(file.error, sizeof file.error, "`%s', after byte %lld: %s",
             file.name,
             file.bytes_in - static_cast<long long>(file.end - file.start),
             file.failure);
  else
    snprintf(file.error, sizeof file.error, "`%s', after line %lld: %s",
             file.name, file.line_number, file.failure);
  file.state = LD_MALFORMED;
}

// Reads up to cap whole words straight into addrs, past the buffer, which
// must be empty; bytes of a last partial word go to the buffer. Returns the
// number of words (0 as read_input returns 0, or when less than a word
// came).
size_t read_bin32_direct(md_addr_t *addrs, size_t cap) {
  size_t n = read_input(addrs, cap * sizeof *addrs);
  size_t words = n / 4, rest = n % 4;
  file.start = 0;
  file.end = rest;
  memcpy(file.buffer, reinterpret_cast<unsigned char *>(addrs) + words * 4,
         rest);
  return words;
}

// A bin32 input that ended within its last word.
void stop_at_bin32_end(size_t have) {
  if (have && !*file.failure) {
    snprintf(file.error, sizeof file.error,
             "`%s': %zu trailing bytes at the end (a bin32 trace holds "
             "whole 32-bit words)", file.name, have);
    file.state = LD_MALFORMED;
  } else {
    file.state = LD_END;
  }
}

// bin32: little-endian 32-bit words, back to back.
size_t read_bin32(md_addr_t *addrs, size_t cap) {
  size_t have = file.end - file.start;
#if HOST_LITTLE_ENDIAN
  // Once the buffer is drained, large reads go straight to the caller's
  // array: the words are used as they are, so a copy through the buffer
  // would only cost time.
  if (have == 0 && !file.at_eof && cap >= BIN32_DIRECT_WORDS) {
    size_t n = read_bin32_direct(addrs, cap);
    if (n > 0 || file.interrupted) return n;
    have = file.end - file.start;
  }
#endif
  if (have < 4) {
    fill_buffer();
    have = file.end - file.start;
    if (have < 4) {
      if (file.at_eof) stop_at_bin32_end(have);
      return 0;  // or a short read; the caller asks again
    }
  }
  size_t n = std::min(have / 4, cap);
  const unsigned char *p = file.buffer + file.start;
#if HOST_LITTLE_ENDIAN
  memcpy(addrs, p, n * 4);
#else
  for (size_t i = 0; i < n; i++)
    addrs[i] = p[4 * i] | (p[4 * i + 1] << 8) | (p[4 * i + 2] << 16) |
               (static_cast<md_addr_t>(p[4 * i + 3]) << 24);
#endif
  file.start += n * 4;
  return n;
}

// Decodes one line; false when it is malformed (the run stops there).
bool take_line(const char *line, size_t len, md_addr_t *addrs,
               unsigned char *kinds, size_t *n) {
  file.line_number++;
  md_ref ref;
  int result = md_decode_line(file.format, line, len, &ref);
  if (result == MD_LINE_SKIP) {
    if (file.skipped_line) file.skipped_line(line, len);
    return true;
  }
  if (result == MD_LINE_BAD) {
    stop_at_bad_record(line, len, "");
    return false;
  }
  md_addr_t folded;
  if (!ld_fold_address(ref.addr, &folded)) {
    char where[64];
    snprintf(where, sizeof where, ", line %lld", file.line_number);
    say_fold_map_full(file.error, sizeof file.error, file.name, where,
                      ref.addr);
    file.state = LD_MALFORMED;
    return false;
  }
  addrs[*n] = folded;
  kinds[*n] = static_cast<unsigned char>(ref.kind);
  ++*n;
  return true;
}

size_t read_text(md_addr_t *addrs, unsigned char *kinds, size_t cap) {
  size_t n = 0;
  while (n < cap) {
    const char *start = reinterpret_cast<const char *>(file.buffer +
                                                       file.start);
    size_t have = file.end - file.start;
    const char *nl = static_cast<const char *>(memchr(start, '\n', have));
    if (nl) {
      size_t len = static_cast<size_t>(nl - start);
      file.start += len + 1;
      if (!take_line(start, len, addrs, kinds, &n)) return n;
      continue;
    }
    if (file.at_eof) {
      // A last line without its newline; not when the input broke off.
      if (have > 0 && !*file.failure) {
        file.start = file.end;
        if (!take_line(start, have, addrs, kinds, &n)) return n;
      }
      if (n == 0) file.state = LD_END;
      return n;
    }
    if (n > 0) return n;  // hand over what is there before waiting for more
    if (have == BUFFER_SIZE) {
      file.line_number++;
      stop_at_bad_record(start, have, " (line too long)");
      return 0;
    }
    fill_buffer();
    if (file.interrupted) return n;
  }
  return n;
}

}  // namespace

int in_open(const char *name, int format) {
  make_buffer(name);
  file.opening = true;
  bool regular = open_file(name, format);
  // Enough bytes to recognise the format, valgrind's header lines and
  // all; from a pipe, no more than it takes, as the pipe may then pause.
  while (file.end < RECOGNITION_BYTES &&
         (regular || pipe_needs_more(format)) && fill_buffer() > 0) {
  }
  file.format = recognise(name, format, regular);
  file.opening = false;
  return file.format;
}

void in_use_pipe(int fd, const char *name, int format) {
  make_buffer(name);
  file.format = format;
  use_input(fd, true);
}

void in_on_wait(int (*stop)(void)) { file.stop = stop; }

void in_on_skipped_line(void (*skipped)(const char *, size_t)) {
  file.skipped_line = skipped;
}

size_t in_read(md_addr_t *addrs, unsigned char *kinds, size_t cap) {
  if (file.state != LD_READING || cap == 0) return 0;
  file.interrupted = false;
  size_t n;
  if (file.format == MD_FMT_BIN32) {
    do n = read_bin32(addrs, cap);
    while (n == 0 && file.state == LD_READING && !file.interrupted);
  } else {
    n = read_text(addrs, kinds, cap);
  }
  if (file.state == LD_END && *file.failure) stop_at_failure();
  return n;
}

bool in_interrupted(void) { return file.interrupted; }
int in_state(void) { return file.state; }
const char *in_error(void) { return file.error; }
long long in_line_number(void) { return file.line_number; }
long long in_bytes_read(void) { return file.compressed ? 0 : file.bytes_in; }
long long in_total_bytes(void) { return file.total_bytes; }
const char *in_compression(void) {
  return file.compressed ? dc_tool() : nullptr;
}

void in_finish(bool kill_it) {
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  int code = dc_finish(kill_it);
  if (!kill_it && code != 0 && file.state == LD_END)
    _fatal("loader", "ld_finish", __LINE__,
           "%s could not decompress `%s' (status %d)", dc_tool(), file.name,
           code);
}

void in_reset(void) {
  in_finish(true);
  dc_reset();
  free(file.name);
  free(file.buffer);
  file = input_file{};
}
