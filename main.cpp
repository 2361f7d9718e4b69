// vantle-sim's process entry: installs the signal handlers, the fatal hook
// and where a fatal error's source goes (-d), builds the options database,
// redirects output, prints the banner, seeds, renices, hands the program or
// trace to the simulator module, echoes the configuration, runs the
// simulation and prints the statistics on every way out. Defines the
// simulator's shared state (sim.h).
#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "toolset/cache_words.h"
#include "toolset/driver.h"
#include "toolset/out_files.h"
#include "host.h"
#include "libvantle/frontend.h"
#include "loader.h"
#include "machine.h"
#include "misc.h"
#include "options.h"
#include "qlint.h"
#include "sim.h"
#include "stats.h"

// Shared simulator state.
int sim_dump_stats = 0;
int sim_exit_now = 0;
volatile sig_atomic_t sim_end_signal = 0;
jmp_buf sim_exit_buf;
int sim_swap_bytes = 0, sim_swap_words = 0;
counter_t sim_num_insn = 0;
time_t sim_start_time = 0, sim_end_time = 0;
int sim_elapsed_time = 0;
opt_odb_t *sim_odb = nullptr;
stat_sdb_t *sim_sdb = nullptr;
char *sim_xtr_fname = nullptr;
char *sim_chkpt_fname = nullptr;
FILE *sim_xtr_fd = nullptr;
FILE *sim_progfd = nullptr;

// Private state.
static int exec_index = -1;
static driver_options options;
static int running = 0;
// The error stream as the run found it, kept across -redir:sim to say
// there that the redirected report could not be written; -1 without.
static int original_stderr = -1;

static void signal_sim_stats(int) { sim_dump_stats = 1; }
static void signal_exit_now(int) { sim_exit_now = 1; }

// The first SIGINT or SIGTERM ends the run as SIGUSR2 does; a second one
// ends the process at once, as if it had no handler, leaving no new -out:
// file behind. (A traced program dies at its next write to the closed
// pipe.)
static void signal_end_run(int sig) {
  if (!sim_end_signal) {
    sim_end_signal = sig;
    sim_exit_now = 1;
    return;
  }
  sim_remove_unfinished_outputs();
  signal(sig, SIG_DFL);
  raise(sig);  // delivered as this handler returns
}

// A fatal error's source unit, function and line are for developers: -d
// shows them, on a line after the message.
static void debug_fatal_source(const char *unit, const char *func, int line) {
  debug("raised in %s:%s, line %d\n", unit, func, line);
}

static int orphan_fn(int i, int, char **) {
  exec_index = i;
  return 0;
}

static void banner(FILE *fd, int, char **argv) {
  fprintf(fd,
          "%s: vantle one-pass cache simulator, whole families of caches in "
          "one run\n"
          "Copyright (c) the vantle authors. Free to use, change and share; "
          "no warranty.\n"
          "Miss ratios are the simulator's estimate for the trace given, "
          "nothing more.\n\n",
          base_name(argv[0]));
}

static void usage(FILE *fd, int, char **argv) {
  fprintf(fd, "Usage: %s {-options} executable {arguments}\n", argv[0]);
  opt_print_help(sim_odb, fd);
}

// --help's text around the options table: what the input is, the driver's
// options in the guide's words (their own help texts stay as they are),
// then, after the library's option words, three worked examples.
static const char kHelpIntro[] =
    "Simulates every cache of a family in one pass over a stream of memory\n"
    "references, and prints the miss ratio of each.\n\n"
    "The first word that is not an option is the input. A program (an\n"
    "executable file, or a name found on PATH) is run and traced live: under\n"
    "QEMU with vantle's plugin (vantle-qemu.so, beside vantle-sim) where QEMU\n"
    "can run it, otherwise under valgrind's lackey tool (-trace:tracer\n"
    "chooses); every word after it is the program's own. Anything else is a\n"
    "trace file, din, lackey, hex or bin32, plain or compressed, recognised\n"
    "by its content; - reads the trace from standard input.\n";

static const char kDriverOptions[] =
    "The driver's options, said plainly:\n"
    "  -h           the banner and this list on the error stream, status 1\n"
    "  -v           say how a traced program is started\n"
    "  -d           debugging lines: each 64-bit region as it is folded, and\n"
    "               where in the source a fatal error was raised\n"
    "  -i           the debugger: before the first reference, read commands\n"
    "               from standard input: s [n] reads n more records, c runs to\n"
    "               the end, r prints an interim report, q ends the run, h\n"
    "               lists them\n"
    "  -seed        changes no result: no family draws random numbers\n"
    "  -q           set up, echo the configuration, and stop (status 0)\n"
    "  -chkpt       refused: vantle-sim has no checkpoints to restore\n"
    "  -redir:sim   vantle-sim's own output (banner, echo, statistics,\n"
    "               report) goes to the file\n"
    "  -redir:prog  the traced program's standard output and error go to\n"
    "               the file\n"
    "  -nice        raise vantle-sim's niceness to this value\n\n";

static const char kExamples[] =
    "Examples:\n"
    "  vantle-sim trace.din.gz\n"
    "      a trace file (here gzip-compressed), the default family\n"
    "  vantle-sim -trace:refs data -cache:opts \"-a4 -b8 -n2 -l5\" ./a.out 96\n"
    "      the program ./a.out 96, traced live: its data references in 16 to\n"
    "      256 sets of 1 to 4 ways of 32-byte lines\n"
    "  vantle-sim -cache:opts \"inst: -Csa -a6 -b6 -n3 -l6\" \\\n"
    "             -cache:opts \"data: -Csa -a6 -b6 -n3 -l6\" -out:plot l1.svg "
    "./a.out\n"
    "      several families in one pass: a split L1 of 64 sets of 1 to 8 ways\n"
    "      of 64-byte lines, instruction and data caches, and their plot\n\n"
    "Quote each -cache:opts value: its words are one argument. The user\n"
    "guide, docs/guide.md, tells every option in full.\n";

// The library's option words, grouped by the families that read them,
// with their defaults: the library's own table.
static void print_library_words(FILE *fd) {
  vantle_word_help_row rows[32];
  int n = vantle_word_help(rows, 32);
  if (n > 32) n = 32;
  fprintf(fd, "The library's option words, the value of -cache:opts (a number "
              "is glued to\nits letter: -l5, not -l 5):\n"
              "  %-14s %-10s %s\n", "word", "default", "meaning");
  for (int i = 0; i < n; i++) {
    if (i == 0 || strcmp(rows[i].group, rows[i - 1].group))
      fprintf(fd, "  %s\n", rows[i].group);
    fprintf(fd, "    %-12s %-10s %s\n", rows[i].word, rows[i].default_word,
            rows[i].meaning);
  }
  fputc('\n', fd);
}

// An unquoted -cache:opts "-Cfa -M65536" reaches vantle-sim as the value
// -Cfa and an unknown option -M65536. Says so, with the value as it was
// meant, before the options database calls the word merely unknown.
static void refuse_split_cache_opts(int argc, char **argv) {
  for (int i = 1; i < argc - 1; i++) {
    opt_opt_t *opt = opt_find_option(sim_odb, argv[i]);
    if (!opt) return;  // the input, or an unknown option
    if (opt->kind == OPT_FLAG) continue;
    const char *value = argv[++i];
    size_t length = strlen(value);
    if (strcmp(opt->name, "-cache:opts") ||
        !(cw_is_library_word(value) || (length && value[length - 1] == ':')))
      continue;
    std::string meant = value;
    int j = i + 1;
    for (; j < argc && !opt_find_option(sim_odb, argv[j]) &&
           cw_is_library_word(argv[j]); j++)
      meant += std::string(" ") + argv[j];
    if (j == i + 1) continue;
    fprintf(stderr, "error: unknown option `%s': it reads as a word of the "
                    "-cache:opts value before it; quote the value's words "
                    "together: -cache:opts \"%s\"\n", argv[i + 1],
            meant.c_str());
    exit(1);
  }
}

// The GNU-style questions, asked alone: the answer on stdout, status 0.
// (-h keeps its own way: the banner and the usage on stderr, status 1.)
static void answer_gnu_question(int argc, char **argv) {
  if (argc != 2) return;
  if (!strcmp(argv[1], "--version")) {
    printf("vantle-sim %s\n", VANTLE_VERSION);
    exit(fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1);
  }
  if (!strcmp(argv[1], "--help")) {
    printf("Usage: %s [options] <program | trace> [program arguments ...]\n"
           "%s",
           base_name(argv[0]), kHelpIntro);
    opt_print_help(sim_odb, stdout);
    fputs(kDriverOptions, stdout);
    print_library_words(stdout);
    fputs(kExamples, stdout);
    exit(fflush(stdout) == 0 && !ferror(stdout) ? 0 : 1);
  }
}

void sim_print_stats(FILE *fd) {
  if (!running) return;
  sim_end_time = time(nullptr);
  sim_elapsed_time = static_cast<int>(sim_end_time - sim_start_time);
  if (sim_elapsed_time <= 0) sim_elapsed_time = 1;
  fprintf(fd, "\nsim: ** simulation statistics **\n");
  stat_print_stats(sim_sdb, fd);
  sim_aux_stats(fd);
  fprintf(fd, "\n");
}

// The report is the run's answer: one that the error stream (or the
// -redir:sim file) did not take whole makes the run fail, said where it
// can still be read: the original error stream, else standard output.
static int status_after_report(int exit_code) {
  if (fflush(stderr) == 0 && !ferror(stderr)) return exit_code;
  // One more byte after the failure tells why (a full disk, say).
  const char *why = write(2, "\n", 1) < 0 ? strerror(errno) : "write error";
  char line[4352];
  int n = options.sim_simout
              ? snprintf(line, sizeof line,
                         "error: -redir:sim: the report in `%s' is cut short: "
                         "%s\n", options.sim_simout, why)
              : snprintf(line, sizeof line,
                         "error: the report on the error stream is cut "
                         "short: %s\n", why);
  if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
  if (original_stderr < 0 || write(original_stderr, line, n) != n)
    if (write(1, line, n) != n) n = 0;  // nowhere left to say it
  return exit_code ? exit_code : 1;
}

[[noreturn]] static void exit_now(int exit_code) {
  sim_print_stats(stderr);
  sim_uninit();
  exit(status_after_report(exit_code));
}

[[noreturn]] static void refuse_redirection(const char *option,
                                            const char *name,
                                            const char *what) {
  fprintf(stderr, "error: %s: `%s' is %s; name another file\n", option, name,
          what);
  exit(1);
}

// Refuses, before either is opened, a redirection onto the input (through
// a link too), onto an -out: file, or both onto one file.
static void check_redirections(char **argv) {
  const char *input = exec_index >= 0 ? argv[exec_index] : nullptr;
  const char *sim = options.sim_simout, *prog = options.sim_progout;
  const struct {
    const char *option, *name;
  } redirections[] = {{"-redir:sim", sim}, {"-redir:prog", prog}};
  for (const auto &r : redirections) {
    if (!r.name) continue;
    if (input && strcmp(input, "-") && same_file_name(r.name, input))
      refuse_redirection(r.option, r.name, "the input");
    if (sim_output_named(r.name))
      refuse_redirection(r.option, r.name, "an -out: file");
  }
  if (sim && prog && same_file_name(sim, prog))
    refuse_redirection("-redir:prog", prog, "the -redir:sim file too");
}

// Opens a -redir: file for writing. A FIFO is opened without blocking and
// its reader awaited a tenth of a second at a time, so that SIGINT,
// SIGTERM or SIGUSR2 ends the wait: a plain open would hold the run where
// no signal is answered.
static FILE *open_redirection(const char *option, const char *name) {
  struct stat st;
  if (stat(name, &st) != 0 || !S_ISFIFO(st.st_mode)) return fopen(name, "w");
  int fd = out_open_fifo(name, 0, [](void *) { return !sim_exit_now; },
                         nullptr);
  if (fd >= 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fdopen(fd, "w");
  }
  if (errno != ENXIO) return nullptr;
  fprintf(stderr, "sim: run ended by %s while %s waited for a reader of `%s'; "
          "nothing was simulated\n", sim_end_signal_name(), option, name);
  exit(sim_end_signal_status());
}

// Moves stderr onto -redir:sim's file and opens -redir:prog's.
static void redirect_output() {
  if (options.sim_simout) {
    // Open first and then move the stream onto the file: reopening in place
    // would close the error stream before a failure could be reported on it.
    fflush(stderr);
    original_stderr = fcntl(2, F_DUPFD_CLOEXEC, 3);
    FILE *simout = open_redirection("-redir:sim", options.sim_simout);
    if (!simout || dup2(fileno(simout), fileno(stderr)) < 0)
      _fatal("main", "main", __LINE__,
             "unable to redirect simulator output to file `%s'",
             options.sim_simout);
    fclose(simout);
  }
  if (options.sim_progout) {
    sim_progfd = open_redirection("-redir:prog", options.sim_progout);
    if (!sim_progfd)
      _fatal("main", "main", __LINE__,
             "unable to redirect program output to file `%s'",
             options.sim_progout);
  }
}

// The banner, then the usage and status 1 unless the command line names
// something to simulate and asks for no help.
static void banner_or_usage(int argc, char **argv) {
  if (argc < 2) {
    banner(stderr, argc, argv);
    usage(stderr, argc, argv);
    exit(1);
  }
  banner(stderr, argc, argv);
  if (options.help_me) {
    usage(stderr, argc, argv);
    exit(1);
  }
}

static void lower_priority() {
  if (nice(0) >= options.nice_priority) return;
  // A negative niceness is a legal result for a privileged process: nice()
  // reports failure through errno.
  errno = 0;
  if (nice(options.nice_priority - nice(0)) == -1 && errno != 0)
    _fatal("main", "main", __LINE__, "could not renice simulator process");
}

// The command line, the start time and every option's value, on stderr.
static void echo_configuration(int argc, char **argv) {
  fprintf(stderr, "sim: command line: ");
  for (int i = 0; i < argc; i++) fprintf(stderr, "%s ", argv[i]);
  fprintf(stderr, "\n");
  char *started = ctime(&sim_start_time);
  size_t len = started ? strlen(started) : 0;
  if (len > 0 && started[len - 1] == '\n') started[len - 1] = '\0';
  fprintf(stderr, "\nsim: simulation started @ %s, options follow:\n",
          started ? started : "?");
  opt_print_options(sim_odb, stderr, 1, 1);
  sim_aux_config(stderr);
  fprintf(stderr, "\n");
}

// Holds descriptors 0 to 2 open, on /dev/null where the caller closed
// them (2>&-), so that no file the run opens becomes its standard input,
// output or error, and the report never lands in an -out: file.
static void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++)
    if (fcntl(fd, F_GETFD) < 0 &&
        open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd)
      exit(1);  // no /dev/null: nothing could be said safely
}

int main(int argc, char **argv, char **envp) {
  hold_standard_descriptors();
  signal(SIGUSR1, signal_sim_stats);
  signal(SIGUSR2, signal_exit_now);
  // A signal ignored from the start (a background job's SIGINT) stays so.
  const int ending_signals[] = {SIGINT, SIGTERM};
  for (int sig : ending_signals)
    if (signal(sig, signal_end_run) == SIG_IGN) signal(sig, SIG_IGN);
  fatal_hook(sim_print_stats);
  fatal_where(debug_fatal_source);

  // A simulated program's exit comes back here with its status + 1.
  int jump_value = setjmp(sim_exit_buf);
  if (jump_value != 0) exit_now(jump_value - 1);

  sim_odb = opt_new(orphan_fn);
  driver_reg_options(sim_odb, &options);
  sim_reg_options(sim_odb);
  answer_gnu_question(argc, argv);
  refuse_split_cache_opts(argc, argv);
  exec_index = -1;
  opt_process_options(sim_odb, argc, argv);

  check_redirections(argv);
  redirect_output();
  banner_or_usage(argc, argv);
  if (options.rand_seed != 0)
    mysrand(static_cast<unsigned int>(options.rand_seed));
  else
    mysrand(static_cast<unsigned int>(time(nullptr)));
  if (exec_index == -1) {
    fprintf(stderr, "error: no executable specified\n");
    usage(stderr, argc, argv);
    exit(1);
  }
  sim_check_options(sim_odb, argc, argv);
  lower_priority();

  sim_num_insn = 0;
  md_init_decoder();
  sim_init();
  sim_load_prog(argv[exec_index], argc - exec_index, argv + exec_index, envp);
  sim_sdb = stat_new();
  sim_reg_stats(sim_sdb);

  sim_start_time = time(nullptr);
  echo_configuration(argc, argv);
  sim_start_time = time(nullptr);
  if (options.init_quit) exit_now(0);

  running = 1;
  sim_main();
  exit_now(0);
}
