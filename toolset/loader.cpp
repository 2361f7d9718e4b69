// Program loader: decides what the command line names (a trace file or a
// program, and which tracer runs a program), starts and ends the program,
// hands each read to the reader of the input (input_file for a trace file
// and for valgrind's pipe, tracer_qemu for QEMU's ring) and answers the
// facts about the input. Owns the program's words, its process and how it
// ended, the tracer chosen and the arrays ld_read hands out. Reads PATH
// (to find a program named without '/').
#include "loader.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "misc.h"
#include "toolset/input_file.h"
#include "toolset/live_reader.h"
#include "toolset/tracer_qemu.h"
#include "toolset/tracer_valgrind.h"
#include "transport/fold_map.h"
#include "transport/trace_record.h"

namespace {

struct input {
  char *name = nullptr;  // as the user named it
  int format = MD_FMT_AUTO;
  bool is_program = false;
  bool under_qemu = false;  // QEMU runs the program, else valgrind
  int tracer_wanted = LD_TRACER_AUTO;
  // References of a thread in a row while others run.
  unsigned interleave = TRACE_DEFAULT_INTERLEAVE;
  char tracer_note[600] = "";  // why auto did not take QEMU
  // The program: its executable, its words (argv[0] its path) and where
  // its output goes; the tracer's process running it, and how it ended.
  char *program_path = nullptr;
  char **program_argv = nullptr;
  FILE *program_out = nullptr;
  pid_t tracer_pid = -1;
  int exit_signal = 0;
  // The caller's question while a read waits (ld_on_wait).
  int (*stop_waiting)(void) = nullptr;
  // Where ld_read puts what a trace file or valgrind's pipe holds (records
  // QEMU's plugin shares are handed out where they lie).
  md_addr_t *addrs = nullptr;
  unsigned char *kinds = nullptr;
};

input in;

// Ends the process: the input named on the command line cannot be used.
#define fail(...) _fatal("loader", "ld_open", __LINE__, __VA_ARGS__)

// True for a regular, executable file that starts like an ELF image or a
// script ("#!").
bool is_executable_file(const char *path) {
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

// Whatever ends the process (a fatal error included) stops the tracer too.
void reap_at_exit() {
  static bool registered;
  if (!registered) atexit(ld_close);
  registered = true;
}

// Keeps the program's words (argv[0] replaced by its path) and where its
// output goes, for ld_start.
void keep_program(int argc, char **argv, FILE *progout) {
  in.is_program = true;
  in.program_out = progout;
  in.program_argv = static_cast<char **>(checked_calloc(
      static_cast<size_t>(argc) + 1, sizeof(char *), "loader", "ld_open",
      __LINE__));
  in.program_argv[0] = in.program_path;
  for (int i = 1; i < argc; i++) in.program_argv[i] = argv[i];
}

// Readies the program to run under QEMU unless valgrind is asked for, or
// auto finds QEMU unable (then false, and the note says why).
bool open_under_qemu(const char *name) {
  if (in.tracer_wanted == LD_TRACER_VALGRIND) return false;
  char why[sizeof in.tracer_note] = "";
  if (tq_find(in.program_path, why, sizeof why)) {
    in.under_qemu = true;
    return true;
  }
  if (in.tracer_wanted == LD_TRACER_QEMU)
    fail("cannot trace `%s' under QEMU: %s", name, why);
  snprintf(in.tracer_note, sizeof in.tracer_note, "%s", why);
  return false;
}

// Runs the tracer's command args (args[0] its path), the program's output
// going to program_out; returns its pid.
pid_t spawn(char **args) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0)
    _fatal("loader", "ld_start", __LINE__, "cannot fork: %s", strerror(errno));
  if (pid == 0) {
    if (in.program_out) {
      dup2(fileno(in.program_out), 1);
      dup2(fileno(in.program_out), 2);
    }
    execv(args[0], args);
    fprintf(stderr, "vantle-sim: cannot run %s: %s\n", args[0],
            strerror(errno));
    _exit(127);
  }
  return pid;
}

// The command that runs the program under QEMU, and the descriptor of the
// file shared with the plugins, for QEMU to inherit (it stays open).
char **qemu_command(int *shared_fd) {
  *shared_fd = tq_share(fm_region_bits(), in.interleave);
  if (*shared_fd < 0)
    _fatal("loader", "ld_start", __LINE__,
           "cannot make the memory shared with QEMU: %s", strerror(errno));
  return tq_command(in.program_argv, *shared_fd);
}

// The command that runs the program under valgrind, and the writing end of
// the pipe whose reading end becomes the input.
char **valgrind_command(int *log_fd) {
  int p[2];
  if (pipe(p) != 0)
    _fatal("loader", "ld_start", __LINE__, "cannot make a pipe: %s",
           strerror(errno));
  fcntl(p[0], F_SETFD, FD_CLOEXEC);
  in_use_pipe(p[0], in.name, MD_FMT_LACKEY);
  in_on_skipped_line(tv_note_line);
  *log_fd = p[1];
  return tv_command(in.program_argv, *log_fd);
}

}  // namespace

void ld_open(const char *name, int argc, char **argv, int format,
             FILE *progout) {
  md_init_decoder();
  in.name = strdup(name);
  in.addrs = static_cast<md_addr_t *>(checked_calloc(
      LD_MOST_RECORDS, sizeof *in.addrs, "loader", "ld_open", __LINE__));
  in.kinds = static_cast<unsigned char *>(
      checked_calloc(LD_MOST_RECORDS, 1, "loader", "ld_open", __LINE__));
  if (format == MD_FMT_AUTO) {
    if (is_executable_file(name))
      in.program_path = strdup(name);
    else if (!strchr(name, '/') && access(name, F_OK) != 0)
      in.program_path = find_on_path(getenv("PATH"), name);
  }
  if (!in.program_path) {
    in.format = in_open(name, format);
    return;
  }
  if (!open_under_qemu(name)) {
    in.format = MD_FMT_LACKEY;
    tv_find(name);
  }
  keep_program(argc, argv, progout);
}

void ld_use_tracer(int tracer, const char *sysroot) {
  in.tracer_wanted = tracer;
  tq_use_sysroot(sysroot);
}

void ld_interleave(unsigned references) { in.interleave = references; }

unsigned ld_thread(void) { return in.under_qemu ? lr_thread() : 0; }
// valgrind runs the program in its own process.
int ld_thread_process(void) {
  return in.under_qemu ? lr_thread_process()
         : in.is_program && in.tracer_pid > 0 ? in.tracer_pid
                                              : 0;
}
const char *ld_thread_program(void) {
  return in.under_qemu ? lr_thread_program() : "";
}

void ld_tracer_options(const char *words) {
  if (in.is_program && !in.under_qemu) tv_use_options(words);
}

void ld_start(void) {
  if (!in.is_program || in.tracer_pid > 0) return;
  int write_fd;
  char **args = in.under_qemu ? qemu_command(&write_fd)
                              : valgrind_command(&write_fd);
  in.tracer_pid = spawn(args);
  free(args);
  if (in.under_qemu)
    lr_first_process(in.tracer_pid, in.program_path);
  else
    close(write_fd);
  reap_at_exit();
  if (verbose)
    fprintf(stderr, "sim: tracing `%s' under %s (pid %d)\n", in.program_path,
            ld_tracer_path(), static_cast<int>(in.tracer_pid));
}

void ld_on_wait(int (*stop)(void)) {
  in.stop_waiting = stop;
  in_on_wait(stop);
}

size_t ld_read(const md_addr_t **addrs, const unsigned char **kinds,
               size_t cap) {
  *addrs = in.addrs;
  *kinds = in.kinds;  // all MD_REF_NONE for a format without kinds
  cap = std::min<size_t>(cap, LD_MOST_RECORDS);
  if (in.under_qemu)
    return lr_read(cap, in.stop_waiting, in.name, addrs, kinds);
  return in_read(in.addrs, in.kinds, cap);
}

bool ld_counted(size_t n, counter_t *by_kind) {
  return in.under_qemu && lr_counted(n, by_kind);
}

int ld_finish(int kill_it) {
  in_finish(kill_it);
  if (kill_it && in.tracer_pid > 0) {
    lr_kill_all();
    kill(in.tracer_pid, SIGKILL);
  }
  lr_close();
  if (in.tracer_pid <= 0) return 0;
  int status = 0;
  while (waitpid(in.tracer_pid, &status, 0) < 0 && errno == EINTR) {
  }
  in.tracer_pid = -1;
  in.exit_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  return WIFEXITED(status)     ? WEXITSTATUS(status)
         : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                               : 128;
}

void ld_close(void) { ld_finish(1); }

int ld_exit_signal(void) { return in.exit_signal; }

long long ld_processes_traced(void) {
  return in.under_qemu ? lr_processes() : tv_processes();
}

void ld_reset(void) {
  ld_close();
  in_reset();
  tq_reset();
  lr_reset();
  tv_reset();
  free(in.name);
  free(in.program_path);
  free(in.program_argv);
  free(in.addrs);
  free(in.kinds);
  in = input{};
  fm_reset(fm_region_bits());
}

int ld_state(void) { return in.under_qemu ? lr_state() : in_state(); }
int ld_is_program(void) { return in.is_program; }
int ld_format(void) { return in.format; }
int ld_has_kinds(void) {
  return in.format == MD_FMT_DIN || in.format == MD_FMT_LACKEY ||
         in.under_qemu;
}
int ld_tracer(void) {
  return in.under_qemu ? LD_TRACER_QEMU : LD_TRACER_VALGRIND;
}
const char *ld_tracer_path(void) {
  return in.under_qemu ? tq_path() : tv_path();
}
const char *ld_tracer_note(void) { return in.tracer_note; }
int ld_compressed(void) { return in_compression() != nullptr; }
const char *ld_compression(void) { return in_compression(); }
const char *ld_name(void) { return in.name ? in.name : ""; }
long long ld_line_number(void) { return in_line_number(); }
const char *ld_error(void) { return in.under_qemu ? lr_error() : in_error(); }
long long ld_bytes_read(void) { return in_bytes_read(); }
long long ld_total_bytes(void) { return in_total_bytes(); }
