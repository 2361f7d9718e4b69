// Program loader: owns the input of the run (a trace file, the tool that
// decompresses it, or the tracer running the traced program; what QEMU's
// plugin shares is tracer_qemu's), the read buffer, the arrays it hands out
// and the text line counter. Reads GZIP_PATH (host.h) and PATH (to find the
// tracers and the decompressors).
#include "loader.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "host.h"
#include "misc.h"
#include "toolset/tracer_qemu.h"
#include "transport/fold_map.h"
#include "transport/trace_record.h"

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
// SILENT_PAUSE_NS, which also bounds how late a stop_waiting() is seen.
enum { SHORT_READ_BYTES = 1 << 16 };
enum { FILL_PAUSE_NS = 1000000, SILENT_PAUSE_NS = 50000000 };

static char *input_name;     // as the user named it
static char *program_path;   // resolved executable of a program
static char *valgrind_path;
static char **program_argv;  // argv of the program, null-terminated
// Further valgrind options, blank-separated (split in place at ld_start).
static char *tracer_options;
static FILE *program_out;
static int input_format = MD_FMT_AUTO;
static int input_is_program;
static int input_fd = -1;
static pid_t child_pid = -1;  // the decompressor or valgrind
static int child_signal;      // the signal that ended it, or 0
static unsigned char *buffer;
static size_t buffer_start, buffer_end;
static bool at_eof;
static bool input_is_pipe;      // a pipe, FIFO or terminal: reads may be short
static bool pause_before_read;  // the last read was short
static bool input_nonblocking;  // a pipe of our own, read with O_NONBLOCK
static long fill_pause_ns;      // the pause after a short read
// The caller's question while a read waits for input (ld_on_wait), and
// whether it said to stop waiting. ld_open asks it too, but cannot return
// early: while opening, the answer is ignored.
static int (*stop_waiting)(void);
static bool opening;
// The processes traced: the pids of valgrind's own lines, as they came.
static long *traced_pids;
static size_t traced_count, traced_capacity;
static bool interrupted;
// Why the input ended before its end: a read error, or gzip failing on a
// truncated or corrupt file. Reading stops after the last whole record.
static char input_failure[256];
static int read_state = LD_READING;
static long long line_number, bytes_in, total_bytes = -1;
static char error_text[512];  // why reading stopped early
// The QEMU tracer: the tracer asked for, whether QEMU runs the program, its
// emulator, plugin and library root, and why auto did not take it.
static int tracer_wanted = LD_TRACER_AUTO;
static bool qemu_tracing;
// Where ld_read puts what it reads (records QEMU's plugin shares are handed
// out where they lie).
static md_addr_t *read_addrs;
static unsigned char *read_kinds;
// The counts by kind of the last ld_read's records, when they came counted
// (counted_records of them, else 0).
static counter_t counted[MD_REF_MODIFY + 1];
static size_t counted_records;
static char *qemu_path, *plugin_path;
static const char *qemu_sysroot;
static char tracer_note[600];

// Ends the process: the input named on the command line cannot be used.
#define fail(...) _fatal("loader", "ld_open", __LINE__, __VA_ARGS__)

// Returns a copy of the full path of an executable named without '/', as
// found in the directories of path (PATH's syntax), or null.
static char *find_on_path(const char *path, const char *name) {
  if (!path || !*name) return nullptr;
  while (*path) {
    const char *colon = strchr(path, ':');
    size_t n = colon ? static_cast<size_t>(colon - path) : strlen(path);
    char *full = static_cast<char *>(malloc(n + strlen(name) + 2));
    if (!full) return nullptr;
    snprintf(full, n + strlen(name) + 2, "%.*s/%s", static_cast<int>(n),
             n ? path : ".", name);
    struct stat st;
    if (stat(full, &st) == 0 && S_ISREG(st.st_mode) && access(full, X_OK) == 0)
      return full;
    free(full);
    if (!colon) break;
    path = colon + 1;
  }
  return nullptr;
}

// True for a regular, executable file that starts like an ELF image or a
// script ("#!").
static bool is_executable_file(const char *path) {
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode) || access(path, X_OK) != 0)
    return false;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[4] = {0, 0, 0, 0};
  ssize_t n = read(fd, head, sizeof head);
  close(fd);
  if (n >= 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' &&
      head[3] == 'F')
    return true;
  return n >= 2 && head[0] == '#' && head[1] == '!';
}

// The largest pipe an unprivileged process may make, or 0 when unknown.
static int pipe_max_size() {
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
static void use_input(int fd, bool own) {
  input_fd = fd;
  struct stat st;
  if (fstat(fd, &st) != 0) return;
  input_is_pipe = !S_ISREG(st.st_mode);
  if (!S_ISFIFO(st.st_mode)) return;
  int size = pipe_max_size();
  if (size > 0) fcntl(fd, F_SETPIPE_SZ, size);
  int capacity = fcntl(fd, F_GETPIPE_SZ);
  long long scaled = capacity > 0 ? 1LL * FILL_PAUSE_NS * capacity >> 20
                                  : FILL_PAUSE_NS / 16;
  fill_pause_ns = static_cast<long>(std::min<long long>(scaled, FILL_PAUSE_NS));
  int flags = fcntl(fd, F_GETFL);
  input_nonblocking =
      own && flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Whatever ends the process (a fatal error included) stops the child too.
static void reap_at_exit() {
  static bool registered;
  if (!registered) atexit(ld_close);
  registered = true;
}

// A compressed trace is recognised by its magic bytes and read through the
// tool that made it, so that it is never taken for bin32 data.
struct Compression {
  const char *tool;  // also the format's name
  const char *options;  // decompress to standard output, no progress lines
  unsigned char magic[6];
  size_t magic_len;
  bool digit_after;  // the magic is followed by a digit '1' to '9'
};
static const Compression kCompressions[] = {
    {"gzip", "-dc", {0x1f, 0x8b}, 2, false},
    {"xz", "-dc", {0xfd, '7', 'z', 'X', 'Z', 0x00}, 6, false},
    {"zstd", "-dcq", {0x28, 0xb5, 0x2f, 0xfd}, 4, false},
    {"bzip2", "-dc", {'B', 'Z', 'h'}, 3, true},
};
static const Compression *compression;  // of the input; null when plain

// The compression whose magic bytes start head, or null.
static const Compression *compression_of(const unsigned char *head,
                                         size_t len) {
  for (const Compression &c : kCompressions) {
    size_t need = c.magic_len + (c.digit_after ? 1 : 0);
    if (len >= need && memcmp(head, c.magic, c.magic_len) == 0 &&
        (!c.digit_after || (head[c.magic_len] >= '1' &&
                            head[c.magic_len] <= '9')))
      return &c;
  }
  return nullptr;
}

// The decompressor's path: gzip is the one the build found; the others
// are looked up on PATH (when unset, in the usual directories). Ends the
// process, naming the format and the tool, when it is missing.
static char *find_decompressor(const Compression *c, const char *name) {
  if (c == &kCompressions[0]) {
    const char *gzip = GZIP_PATH;
    if (!*gzip || access(gzip, X_OK) != 0)
      fail("cannot read compressed trace `%s': gzip not found at `%s'", name,
           gzip);
    return strdup(gzip);
  }
  const char *path = getenv("PATH");
  char *tool = find_on_path(path ? path : "/usr/local/bin:/usr/bin:/bin",
                            c->tool);
  if (!tool)
    fail("cannot read %s-compressed trace `%s': %s is not installed (not "
         "found on PATH)", c->tool, name, c->tool);
  return tool;
}

// Starts "<tool> -dc -- name" with its output on a pipe that becomes the
// input; for "-" (a file on standard input) the tool reads its own.
static void start_decompressor(const Compression *c, const char *name) {
  char *tool = find_decompressor(c, name);
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0)
    fail("cannot read `%s': %s", name, strerror(errno));
  pid_t pid = fork();
  if (pid < 0) fail("cannot read `%s': %s", name, strerror(errno));
  if (pid == 0) {
    dup2(p[1], 1);
    if (strcmp(name, "-") == 0)
      execl(tool, c->tool, c->options, static_cast<char *>(nullptr));
    else
      execl(tool, c->tool, c->options, "--", name,
            static_cast<char *>(nullptr));
    fprintf(stderr, "vantle-sim: cannot run %s: %s\n", tool, strerror(errno));
    _exit(127);
  }
  free(tool);
  close(p[1]);
  use_input(p[0], true);
  child_pid = pid;
  compression = c;
  reap_at_exit();
}

// The decompressor's output has ended: reaps it, and notes a failure.
static void reap_decompressor() {
  if (child_pid <= 0) return;
  int status = 0;
  while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
  }
  child_pid = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return;
  snprintf(input_failure, sizeof input_failure,
           "%s could not decompress the rest (%s %d); the file is "
           "truncated or corrupt", compression->tool,
           WIFSIGNALED(status) ? "signal" : "status",
           WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
}

// Asks the caller whether to stop waiting (noted in interrupted).
static bool told_to_stop() {
  if (!stop_waiting || !stop_waiting() || opening) return false;
  interrupted = true;
  return true;
}

// Waits until fd can be read (or has hung up), asking the caller a tenth
// of a second at a time, so that a signal that came just before the wait
// is answered all the same. False when the caller said to stop.
static bool wait_readable(int fd) {
  for (;;) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) return true;  // data, hang-up or error
    if (told_to_stop()) return false;
  }
}

// Whether input can be read now without waiting past the caller's wish,
// for an input read in blocking mode. With no question set it always can
// (read then waits as long as it must).
static bool input_ready() {
  if (!stop_waiting || input_nonblocking) return true;
  return wait_readable(input_fd);
}

// A non-blocking pipe came up empty: sleeps (*pause, doubled for the next
// time up to SILENT_PAUSE_NS), after asking the caller whether to stop.
// A signal cuts the sleep short. False when the caller said to stop.
static bool wait_while_empty(long *pause) {
  if (told_to_stop()) return false;
  timespec t = {0, *pause};
  nanosleep(&t, nullptr);
  *pause = *pause * 2 > SILENT_PAUSE_NS ? long{SILENT_PAUSE_NS} : *pause * 2;
  return true;
}

// Reads up to bytes into into: the count read, or 0 at the end of the input
// (noted in at_eof, with a read error in input_failure) or when the caller
// said to stop waiting (interrupted).
static size_t read_input(void *into, size_t bytes) {
  long pause = fill_pause_ns > 0 ? fill_pause_ns : long{FILL_PAUSE_NS};
  if (pause_before_read && !wait_while_empty(&pause)) return 0;
  for (;;) {
    if (!input_ready()) return 0;
    ssize_t n = read(input_fd, into, bytes);
    if (n > 0) {
      bytes_in += n;
      pause_before_read = input_is_pipe && n < SHORT_READ_BYTES;
      return static_cast<size_t>(n);
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (!wait_while_empty(&pause)) return 0;
      continue;
    }
    if (n < 0)
      snprintf(input_failure, sizeof input_failure, "cannot read it: %s",
               strerror(errno));
    else if (compression)
      reap_decompressor();
    at_eof = true;
    return 0;
  }
}

// Reads once more into the buffer, after moving what is left to its start.
// Returns the number of bytes read; 0 at end of input.
static size_t fill_buffer() {
  if (buffer_start > 0) {
    memmove(buffer, buffer + buffer_start, buffer_end - buffer_start);
    buffer_end -= buffer_start;
    buffer_start = 0;
  }
  if (at_eof || buffer_end == BUFFER_SIZE) return 0;
  size_t n = read_input(buffer + buffer_end, BUFFER_SIZE - buffer_end);
  buffer_end += n;
  return n;
}

// Stops reading at a malformed record: keeps the file, line and up to 80
// bytes of the record, with what does not print escaped.
static void stop_at_bad_record(const char *text, size_t len,
                               const char *why) {
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
  snprintf(error_text, sizeof error_text,
           "`%s', line %lld: malformed %s record: `%s'%s", input_name,
           line_number, md_format_name(input_format), shown, why);
  read_state = LD_MALFORMED;
}

// From a pipe: whether the bytes so far leave the format unknown (a named
// format needs only the first line).
static bool pipe_needs_more(int format) {
  if (format != MD_FMT_AUTO) return !memchr(buffer, '\n', buffer_end);
  return md_guess_format(buffer, buffer_end, 0) == MD_FMT_AUTO;
}

// Standard input, as a descriptor of its own: a pipe is opened anew
// (*own), so that it can be read without blocking, which its shared
// descriptor must not be made; anything else is duplicated. The pipe is
// opened non-blocking, or the open would wait for a writer when the last
// one has already closed it.
static int open_standard_input(bool *own) {
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
static int open_named(const char *name) {
  struct stat st;
  if (stat(name, &st) != 0 || !S_ISFIFO(st.st_mode))
    return open(name, O_RDONLY | O_CLOEXEC);
  int fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) wait_readable(fd);
  return fd;
}

// "-" names standard input. Under auto, a name that does not exist was
// also looked for as a program, and the message says it is neither.
static void open_trace(const char *name, int format) {
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
    total_bytes = st.st_size;
    magic_len = pread(fd, magic, sizeof magic, 0);
    if (magic_len < 0)
      fail("cannot read trace file `%s': %s", name, strerror(errno));
  }
  if (const Compression *c =
          compression_of(magic, static_cast<size_t>(magic_len))) {
    close(fd);
    total_bytes = -1;  // the decompressed size is not known
    start_decompressor(c, name);
  } else {
    use_input(fd, own);
  }
  // Enough bytes to recognise the format, valgrind's header lines and
  // all; from a pipe, no more than it takes, as the pipe may then pause.
  while (buffer_end < RECOGNITION_BYTES &&
         (regular || pipe_needs_more(format)) && fill_buffer() > 0) {
  }
  if (buffer_end == 0) {
    if (*input_failure)
      fail("cannot read trace file `%s': %s", name, input_failure);
    fail("trace file `%s' is empty", name);
  }
  // A pipe cannot be handed to the tool as a file, and is not guessed at.
  const Compression *piped = regular ? nullptr
                                     : compression_of(buffer, buffer_end);
  if (piped)
    fail("compressed trace `%s' is not a regular file; decompress it into "
         "a pipe instead (e.g. %s -dc file | vantle-sim -)", name,
         piped->tool);
  input_format = format;
  if (format == MD_FMT_AUTO) {
    input_format = md_guess_format(buffer, buffer_end, at_eof);
    if (input_format == MD_FMT_AUTO)
      fail("cannot recognise the format of trace file `%s'; name it with "
           "-trace:format", name);
  }
}

void ld_use_tracer(int tracer, const char *sysroot) {
  tracer_wanted = tracer;
  qemu_sysroot = sysroot;
}

// Why QEMU cannot trace the program (into why), or "" when it can; finds
// the emulator and the plugin on the way.
static void check_qemu(char *why, size_t size) {
  char emulator[64];
  if (!tq_emulator_name(program_path, emulator, sizeof emulator, why, size))
    return;
  qemu_path = find_on_path(getenv("PATH"), emulator);
  if (!qemu_path) {
    snprintf(why, size, "%s is not installed (not found on PATH)", emulator);
    return;
  }
  plugin_path = tq_plugin_path();
  if (access(plugin_path, R_OK) != 0)
    snprintf(why, size, "vantle's QEMU plugin `%s' is missing", plugin_path);
}

// Keeps the program's words (argv[0] replaced by its path) and where its
// output goes, for ld_start.
static void keep_program(int argc, char **argv, FILE *progout) {
  program_out = progout;
  program_argv = static_cast<char **>(checked_calloc(
      static_cast<size_t>(argc) + 1, sizeof(char *), "loader", "ld_open",
      __LINE__));
  program_argv[0] = program_path;
  for (int i = 1; i < argc; i++) program_argv[i] = argv[i];
}

// Readies the program to run under QEMU unless valgrind is asked for, or
// auto finds QEMU unable (then false, and the note says why).
static bool open_under_qemu(const char *name, int argc, char **argv,
                            FILE *progout) {
  if (tracer_wanted == LD_TRACER_VALGRIND) return false;
  char why[sizeof tracer_note] = "";
  check_qemu(why, sizeof why);
  if (*why && tracer_wanted == LD_TRACER_QEMU)
    fail("cannot trace `%s' under QEMU: %s", name, why);
  if (*why) {
    snprintf(tracer_note, sizeof tracer_note, "%s", why);
    return false;
  }
  input_is_program = 1;
  qemu_tracing = true;
  keep_program(argc, argv, progout);
  return true;
}

void ld_open(const char *name, int argc, char **argv, int format,
             FILE *progout) {
  md_init_decoder();
  input_name = strdup(name);
  buffer = static_cast<unsigned char *>(
      checked_calloc(BUFFER_SIZE, 1, "loader", "ld_open", __LINE__));
  read_addrs = static_cast<md_addr_t *>(checked_calloc(
      LD_MOST_RECORDS, sizeof *read_addrs, "loader", "ld_open", __LINE__));
  read_kinds = static_cast<unsigned char *>(
      checked_calloc(LD_MOST_RECORDS, 1, "loader", "ld_open", __LINE__));
  if (format == MD_FMT_AUTO) {
    if (is_executable_file(name))
      program_path = strdup(name);
    else if (!strchr(name, '/') && access(name, F_OK) != 0)
      program_path = find_on_path(getenv("PATH"), name);
  }
  if (!program_path) {
    opening = true;
    open_trace(name, format);
    opening = false;
    return;
  }
  if (open_under_qemu(name, argc, argv, progout)) return;
  input_is_program = 1;
  input_format = MD_FMT_LACKEY;
  valgrind_path = find_on_path(getenv("PATH"), "valgrind");
  if (!valgrind_path)
    fail("valgrind is not installed (not found on PATH); it is needed to "
         "trace the program `%s'", name);
  keep_program(argc, argv, progout);
}

// Why valgrind option word (name[=value]) would stop or divert the trace
// that vantle-sim reads, lackey's lines on the descriptor it gives
// valgrind; null when it would not.
static const char *diverts_trace(const char *word) {
  const char *equals = strchr(word, '=');
  size_t len = equals ? static_cast<size_t>(equals - word) : strlen(word);
  const char *value = equals ? equals + 1 : "";
  auto is = [&](const char *name) {
    return strlen(name) == len && !strncmp(word, name, len);
  };
  if (is("--tool") && strcmp(value, "lackey"))
    return "another tool writes no lackey trace";
  if (is("--trace-mem") && strcmp(value, "yes"))
    return "lackey would trace no memory references";
  if (is("--log-file") || is("--log-fd") || is("--log-socket"))
    return "lackey's trace would go elsewhere than to vantle-sim";
  if (is("--trace-superblocks") && !strcmp(value, "yes"))
    return "lackey would write lines that are no references among them";
  if (is("-h") || is("--help") || is("--help-debug") ||
      is("--help-dyn-options") || is("--version"))
    return "valgrind would answer it and exit without running the program";
  return nullptr;
}

void ld_tracer_options(const char *words) {
  free(tracer_options);
  tracer_options = words ? strdup(words) : nullptr;
  if (!words || !input_is_program || qemu_tracing) return;
  char *copy = strdup(words), *rest = nullptr;
  for (char *w = strtok_r(copy, " \t", &rest); w;
       w = strtok_r(nullptr, " \t", &rest))
    if (const char *why = diverts_trace(w))
      _fatal("loader", "ld_tracer_options", __LINE__,
             "-trace:valgrind `%s' is refused: %s", w, why);
  free(copy);
}

// The command line that runs the program under valgrind's lackey tool with
// the trace on log_fd: lackey's options, the user's (-trace:valgrind, split
// on blanks; later options win), then the program and its arguments. Forked
// and exec'd children are traced too, so that a program started through a
// wrapper (a script that execs it, a shim) is traced with it.
// The array is the caller's to free; the words are not.
static char **valgrind_command(int log_fd) {
  static const char *const lackey[] = {"--tool=lackey", "--trace-mem=yes",
                                       "--trace-children=yes"};
  enum { LACKEY_WORDS = sizeof lackey / sizeof lackey[0] };
  static char log_option[32];
  char none[1] = "";
  char *user = tracer_options ? tracer_options : none;
  int argc = 0;
  while (program_argv[argc]) argc++;
  size_t most = LACKEY_WORDS + 2 + strlen(user) / 2 + 1 +
                static_cast<size_t>(argc) + 1;
  char **args = static_cast<char **>(
      checked_calloc(most, sizeof(char *), "loader", "ld_start", __LINE__));
  size_t k = 0;
  args[k++] = valgrind_path;
  for (const char *word : lackey) args[k++] = const_cast<char *>(word);
  snprintf(log_option, sizeof log_option, "--log-fd=%d", log_fd);
  args[k++] = log_option;
  char *rest = nullptr;
  for (char *w = strtok_r(user, " \t", &rest); w;
       w = strtok_r(nullptr, " \t", &rest))
    args[k++] = w;
  for (int i = 0; i < argc; i++) args[k++] = program_argv[i];
  return args;
}

// Runs the tracer's command args (args[0] its path), the program's output
// going to program_out; returns its pid.
static pid_t spawn(char **args) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0)
    _fatal("loader", "ld_start", __LINE__, "cannot fork: %s", strerror(errno));
  if (pid == 0) {
    if (program_out) {
      dup2(fileno(program_out), 1);
      dup2(fileno(program_out), 2);
    }
    execv(args[0], args);
    fprintf(stderr, "vantle-sim: cannot run %s: %s\n", args[0],
            strerror(errno));
    _exit(127);
  }
  return pid;
}

void ld_start(void) {
  if (!input_is_program || child_pid > 0) return;
  int write_fd;
  char **args;
  if (qemu_tracing) {
    write_fd = tq_share();
    if (write_fd < 0)
      _fatal("loader", "ld_start", __LINE__,
             "cannot make the memory shared with QEMU: %s", strerror(errno));
    args = tq_command(qemu_path, plugin_path, qemu_sysroot, program_argv,
                      write_fd, fm_region_bits());
  } else {
    int p[2];
    if (pipe(p) != 0)
      _fatal("loader", "ld_start", __LINE__, "cannot make a pipe: %s",
             strerror(errno));
    fcntl(p[0], F_SETFD, FD_CLOEXEC);
    use_input(p[0], true);
    write_fd = p[1];
    args = valgrind_command(write_fd);
  }
  child_pid = spawn(args);
  free(args);
  close(write_fd);
  reap_at_exit();
  if (verbose)
    fprintf(stderr, "sim: tracing `%s' under %s (pid %d)\n", program_path,
            qemu_tracing ? qemu_path : valgrind_path,
            static_cast<int>(child_pid));
}

// Reads up to cap whole words straight into addrs, past the buffer, which
// must be empty; bytes of a last partial word go to the buffer. Returns the
// number of words (0 as read_input returns 0, or when less than a word
// came).
static size_t read_bin32_direct(md_addr_t *addrs, size_t cap) {
  size_t n = read_input(addrs, cap * sizeof *addrs);
  size_t words = n / 4, rest = n % 4;
  buffer_start = 0;
  buffer_end = rest;
  memcpy(buffer, reinterpret_cast<unsigned char *>(addrs) + words * 4, rest);
  return words;
}

// bin32: little-endian 32-bit words, back to back.
static size_t read_bin32(md_addr_t *addrs, size_t cap) {
  size_t have = buffer_end - buffer_start;
#if HOST_LITTLE_ENDIAN
  // Once the buffer is drained, large reads go straight to the caller's
  // array: the words are used as they are, so a copy through the buffer
  // would only cost time.
  if (have == 0 && !at_eof && cap >= BIN32_DIRECT_WORDS) {
    size_t n = read_bin32_direct(addrs, cap);
    if (n > 0 || interrupted) return n;
    have = buffer_end - buffer_start;
  }
#endif
  if (have < 4) {
    fill_buffer();
    have = buffer_end - buffer_start;
    if (have < 4) {
      if (!at_eof) return 0;  // a short read; the caller asks again
      if (have && !*input_failure) {
        snprintf(error_text, sizeof error_text,
                 "`%s': %zu trailing bytes at the end (a bin32 trace holds "
                 "whole 32-bit words)", input_name, have);
        read_state = LD_MALFORMED;
      } else {
        read_state = LD_END;
      }
      return 0;
    }
  }
  size_t n = have / 4;
  if (n > cap) n = cap;
  const unsigned char *p = buffer + buffer_start;
#if HOST_LITTLE_ENDIAN
  memcpy(addrs, p, n * 4);
#else
  for (size_t i = 0; i < n; i++)
    addrs[i] = p[4 * i] | (p[4 * i + 1] << 8) | (p[4 * i + 2] << 16) |
               (static_cast<md_addr_t>(p[4 * i + 3]) << 24);
#endif
  buffer_start += n * 4;
  return n;
}

// Notes the process of a line of valgrind's own ("==pid== ..."): every
// traced process, the program's children included, writes such lines.
static void note_process(const char *line, size_t len) {
  size_t at = 2;
  long pid = 0;
  while (at < len && at < 12 && line[at] >= '0' && line[at] <= '9')
    pid = pid * 10 + (line[at++] - '0');
  if (at == 2 || at + 1 >= len || line[at] != '=' || line[at + 1] != '=')
    return;
  for (size_t i = traced_count; i-- > 0;)
    if (traced_pids[i] == pid) return;
  if (traced_count == traced_capacity) {
    traced_capacity = traced_capacity ? 2 * traced_capacity : 16;
    long *grown = static_cast<long *>(
        realloc(traced_pids, traced_capacity * sizeof(long)));
    if (!grown)
      _fatal("loader", "note_process", __LINE__, "out of virtual memory");
    traced_pids = grown;
  }
  traced_pids[traced_count++] = pid;
}

// A region took a place of the folding map (said under -d).
static void note_new_region(uint64_t region, uint64_t place) {
  debug("region 0x%llx folded into slot %llu\n",
        static_cast<unsigned long long>(region),
        static_cast<unsigned long long>(place));
}

// The n regions a batch of the plugin newly placed in its folding map.
static void note_placed_regions(const void *regions, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) {
    trace_region r;
    memcpy(&r, static_cast<const char *>(regions) + i * sizeof r, sizeof r);
    note_new_region(r.region, r.place);
  }
}

// Stops reading at an address whose region finds no free place: the
// regions seen so far fill the whole 32-bit space.
static void stop_at_full_fold_map(uint64_t addr) {
  int bits = fm_region_bits();
  static const char *const units[] = {"bytes", "KiB", "MiB", "GiB"};
  char where[64] = "";
  if (!qemu_tracing)  // binary records have no lines
    snprintf(where, sizeof where, ", line %lld", line_number);
  snprintf(error_text, sizeof error_text,
           "`%s'%s: address 0x%llx: the map folding 64-bit addresses into "
           "32 bits is full: the input touched more than 4 GiB of distinct "
           "memory, counted in %llu regions of %llu %s",
           input_name, where, static_cast<unsigned long long>(addr),
           1ull << (32 - bits), 1ull << (bits % 10), units[bits / 10]);
  read_state = LD_MALFORMED;
}

// Decodes one line; false when it is malformed (the run stops there).
static bool take_line(const char *line, size_t len, md_addr_t *addrs,
                      unsigned char *kinds, size_t *n) {
  line_number++;
  md_ref ref;
  int result = md_decode_line(input_format, line, len, &ref);
  if (result == MD_LINE_SKIP) {
    if (input_is_program && len > 2 && line[0] == '=' && line[1] == '=')
      note_process(line, len);
    return true;
  }
  if (result == MD_LINE_BAD) {
    stop_at_bad_record(line, len, "");
    return false;
  }
  md_addr_t folded;
  if (!ld_fold_address(ref.addr, &folded)) {
    stop_at_full_fold_map(ref.addr);
    return false;
  }
  addrs[*n] = folded;
  if (kinds) kinds[*n] = static_cast<unsigned char>(ref.kind);
  ++*n;
  return true;
}

static size_t read_text(md_addr_t *addrs, unsigned char *kinds, size_t cap) {
  size_t n = 0;
  while (n < cap) {
    const char *start = reinterpret_cast<const char *>(buffer + buffer_start);
    size_t have = buffer_end - buffer_start;
    const char *nl = static_cast<const char *>(memchr(start, '\n', have));
    if (nl) {
      size_t len = static_cast<size_t>(nl - start);
      buffer_start += len + 1;
      if (!take_line(start, len, addrs, kinds, &n)) return n;
      continue;
    }
    if (at_eof) {
      // A last line without its newline; not when the input broke off.
      if (have > 0 && !*input_failure) {
        buffer_start = buffer_end;
        if (!take_line(start, have, addrs, kinds, &n)) return n;
      }
      if (n == 0) read_state = LD_END;
      return n;
    }
    if (n > 0) return n;  // hand over what is there before waiting for more
    if (have == BUFFER_SIZE) {
      line_number++;
      stop_at_bad_record(start, have, " (line too long)");
      return 0;
    }
    fill_buffer();
    if (interrupted) return n;
  }
  return n;
}

// The input ended early: the run stops after what came before.
static void stop_at_failure() {
  if (input_format == MD_FMT_BIN32)
    snprintf(error_text, sizeof error_text, "`%s', after byte %lld: %s",
             input_name, bytes_in - static_cast<long long>(buffer_end -
                                                           buffer_start),
             input_failure);
  else
    snprintf(error_text, sizeof error_text, "`%s', after line %lld: %s",
             input_name, line_number, input_failure);
  read_state = LD_MALFORMED;
}

// The QEMU plugin's batches, handed out where they lie.
static size_t read_qemu(const md_addr_t **addrs, const unsigned char **kinds,
                        size_t cap) {
  tq_records r;
  switch (tq_read(cap, child_pid, stop_waiting, &r)) {
    case TQ_RECORDS:
      break;
    case TQ_STOPPED:
      interrupted = true;
      return 0;
    case TQ_END:
      if (r.execed)
        fprintf(stderr, "sim: program `%s' exec'd another program, which "
                "ran untraced: QEMU traces the program it starts\n",
                input_name);
      read_state = LD_END;
      return 0;
    case TQ_BAD_BATCH:
      snprintf(error_text, sizeof error_text, "`%s': the QEMU plugin wrote "
               "a batch of %u references and %u regions, which cannot be",
               input_name, r.references, r.region_count);
      read_state = LD_MALFORMED;
      return 0;
    case TQ_BAD_KIND:
      snprintf(error_text, sizeof error_text, "`%s': the QEMU plugin wrote "
               "a reference of no kind it knows", input_name);
      read_state = LD_MALFORMED;
      return 0;
  }
  if (debugging && r.regions) note_placed_regions(r.regions, r.region_count);
  counted_records = r.counted ? r.count : 0;
  counted[MD_REF_LOAD] = r.loads;
  counted[MD_REF_STORE] = r.stores;
  counted[MD_REF_INST] = counter_t{r.references} - r.loads - r.stores;
  *addrs = r.addrs;
  *kinds = r.kinds;
  if (r.map_full) stop_at_full_fold_map(r.address);
  return r.count;
}

void ld_on_wait(int (*stop)(void)) { stop_waiting = stop; }

size_t ld_read(const md_addr_t **addrs, const unsigned char **kinds,
               size_t cap) {
  *addrs = read_addrs;
  *kinds = read_kinds;  // all MD_REF_NONE for a format without kinds
  counted_records = 0;
  if (read_state != LD_READING || cap == 0) return 0;
  cap = std::min<size_t>(cap, LD_MOST_RECORDS);
  size_t n;
  interrupted = false;
  if (qemu_tracing) {
    do n = read_qemu(addrs, kinds, cap);
    while (n == 0 && read_state == LD_READING && !interrupted);
  } else if (input_format == MD_FMT_BIN32) {
    do n = read_bin32(read_addrs, cap);
    while (n == 0 && read_state == LD_READING && !interrupted);
  } else {
    n = read_text(read_addrs, read_kinds, cap);
  }
  if (read_state == LD_END && *input_failure) stop_at_failure();
  return n;
}

bool ld_counted(size_t n, counter_t *by_kind) {
  if (n == 0 || n != counted_records) return false;
  std::copy(counted, counted + MD_REF_MODIFY + 1, by_kind);
  return true;
}

// Closes the input: its descriptor, or the memory shared with QEMU.
static void close_input() {
  if (input_fd >= 0) close(input_fd);
  input_fd = -1;
  tq_unshare();
}

int ld_finish(int kill_it) {
  close_input();
  if (child_pid <= 0) return 0;
  if (kill_it) kill(child_pid, SIGKILL);
  int status = 0;
  while (waitpid(child_pid, &status, 0) < 0 && errno == EINTR) {
  }
  child_pid = -1;
  child_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  int code = WIFEXITED(status)     ? WEXITSTATUS(status)
             : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                   : 128;
  if (!input_is_program && !kill_it && code != 0 && read_state == LD_END)
    _fatal("loader", "ld_finish", __LINE__,
           "%s could not decompress `%s' (status %d)", compression->tool,
           input_name, code);
  return code;
}

void ld_close(void) {
  if (child_pid > 0) ld_finish(1);
  close_input();
}

int ld_exit_signal(void) { return child_signal; }

long long ld_processes_traced(void) {
  // QEMU traces the one process it runs (a fork goes untraced).
  if (qemu_tracing) return 1;
  return static_cast<long long>(traced_count);
}

void ld_reset(void) {
  ld_close();
  free(input_name);
  free(program_path);
  free(valgrind_path);
  free(program_argv);
  free(tracer_options);
  free(traced_pids);
  free(buffer);
  free(read_addrs);
  free(read_kinds);
  free(qemu_path);
  free(plugin_path);
  qemu_path = plugin_path = nullptr;
  qemu_tracing = false;
  tracer_wanted = LD_TRACER_AUTO;
  qemu_sysroot = nullptr;
  tracer_note[0] = '\0';
  input_name = program_path = valgrind_path = nullptr;
  program_argv = nullptr;
  tracer_options = nullptr;
  traced_pids = nullptr;
  traced_count = traced_capacity = 0;
  buffer = nullptr;
  read_addrs = nullptr;
  read_kinds = nullptr;
  program_out = nullptr;
  input_format = MD_FMT_AUTO;
  input_is_program = child_signal = 0;
  compression = nullptr;
  buffer_start = buffer_end = 0;
  at_eof = input_is_pipe = pause_before_read = input_nonblocking = false;
  fill_pause_ns = 0;
  read_state = LD_READING;
  line_number = bytes_in = 0;
  total_bytes = -1;
  error_text[0] = input_failure[0] = '\0';
  fm_reset(fm_region_bits());
}

int ld_state(void) { return read_state; }
int ld_is_program(void) { return input_is_program; }
int ld_format(void) { return input_format; }
int ld_has_kinds(void) {
  return input_format == MD_FMT_DIN || input_format == MD_FMT_LACKEY ||
         qemu_tracing;
}
int ld_tracer(void) {
  return qemu_tracing ? LD_TRACER_QEMU : LD_TRACER_VALGRIND;
}
const char *ld_tracer_path(void) {
  return qemu_tracing ? qemu_path : valgrind_path;
}
const char *ld_tracer_note(void) { return tracer_note; }
int ld_compressed(void) { return compression != nullptr; }
const char *ld_compression(void) {
  return compression ? compression->tool : nullptr;
}
const char *ld_name(void) { return input_name ? input_name : ""; }
long long ld_line_number(void) { return line_number; }
const char *ld_error(void) { return error_text; }
long long ld_bytes_read(void) { return compression ? 0 : bytes_in; }
long long ld_total_bytes(void) { return total_bytes; }

int ld_fold_address(uint64_t addr, md_addr_t *folded) {
  uint32_t f;
  switch (fm_fold(addr, &f)) {
    case FM_FULL:
      return 0;
    case FM_NO_MEMORY:
      _fatal("loader", "ld_fold_address", __LINE__, "out of virtual memory");
    case FM_NEW_REGION:
      note_new_region(addr >> fm_region_bits(),
                      uint64_t{f} >> fm_region_bits());
      break;
    case FM_FOLDED:
      break;
  }
  *folded = f;
  return 1;
}
