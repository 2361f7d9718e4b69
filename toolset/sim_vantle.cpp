// Simulator module of vantle-sim: feeds the references of a trace file or
// of a program traced live to the families of the run (run_families.h).
// Owns the module's options (-cache:opts, -trace:*, -progress; -out:* are
// out_files'), the batch being fed and what the next report is. Reads the
// driver's shared state (sim.h): the signal flags, the exit buffer and
// sim_progfd.
#include <limits.h>
#include <math.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"
#include "loader.h"
#include "machine.h"
#include "misc.h"
#include "qlint.h"
#include "sim.h"
#include "toolset/cache_words.h"
#include "toolset/out_files.h"
#include "toolset/run_families.h"
#include "toolset/run_outputs.h"
#include "toolset/run_sites.h"
#include "toolset/run_stats.h"
#include "transport/fold_map.h"
#include "transport/trace_record.h"

// Options.
static char *cache_opts;
static char *refs_name;
static char *format_name;
static char *max_text;
static char *progress_text;
static char *tracer_name;
static char *sysroot;
static char *valgrind_opts;
static char *threads_name;
static char *interleave_text;
static char *workers_text;      // -cache:workers

static int explain;             // -explain
static char *explain_opt_text;  // -explain:opt

static int input_format;
static unsigned interleave;     // -trace:interleave
static counter_t max_refs;      // 0: no limit
static bool progress_on;

// Every -cache:opts value, as the options database sets it (the variable
// keeps the last one only), and how many were given.
static struct {
  const char *list[RF_MOST_FAMILIES];
  int count;
} cache_opts_values;

// Report state. The report printed next: the final one, an interim one
// while the run goes on, or the one after a fatal error (interim too, as
// draining an OPT look-ahead window needs memory).
static bool library_ready, final_report_done;
static enum { REPORT_FINAL, REPORT_INTERIM, REPORT_AFTER_FATAL } report_kind;
// What ended the run before its input did ("SIGUSR2", "-trace:max", ...),
// or null: for the note before the statistics and the JSON file.
static const char *ended_early_by;

// The batch being fed, as ld_read hands it out.
enum { BATCH = LD_MOST_RECORDS };
static const md_addr_t *batch_addrs;
static const unsigned char *batch_kinds;

static void interim_stats(void);

[[noreturn]] static void option_error(const char *fmt, const char *value) {
  fputs("error: ", stderr);
  fprintf(stderr, fmt, value);
  fputs(" (-h lists the options)\n", stderr);
  exit(1);
}

static void note_cache_opts(const char *value, void *) {
  if (cache_opts_values.count < RF_MOST_FAMILIES)
    cache_opts_values.list[cache_opts_values.count] = value;
  cache_opts_values.count++;
}

// The cores this process may run on less one for the tracer, at least 1.
static const char *default_workers(void) {
  static char text[16];
  cpu_set_t cores;
  int count = sched_getaffinity(0, sizeof cores, &cores) == 0
                  ? CPU_COUNT(&cores)
                  : 1;
  snprintf(text, sizeof text, "%d", std::clamp(count - 1, 1, 64));
  return text;
}

static const char *default_interleave(void) {
  static char text[16];
  snprintf(text, sizeof text, "%d", TRACE_DEFAULT_INTERLEAVE);
  return text;
}

void sim_reg_options(opt_odb_t *odb) {
  opt_reg_string(odb, "-cache:opts",
                 "one family: [kinds:] the library's option words, e.g. "
                 "\"-Cfa -M65536\"; again for more families",
                 &cache_opts, "", 1, nullptr);
  cache_opts_values.count = 0;
  opt_on_each(odb, "-cache:opts", note_cache_opts, nullptr);
  out_reg_options(odb);
  opt_reg_flag(odb, "-explain",
               "after each family's report, why each cache misses "
               "(compulsory, capacity, conflict), its misses under OPT, and "
               "its write-backs; also in the -out: files",
               &explain, 0, 0, nullptr);
  opt_reg_string(odb, "-explain:opt",
                 "with -explain, an LRU family's misses under OPT too (the "
                 "same family under OPT beside it, which takes as long as "
                 "an OPT run): true|false",
                 &explain_opt_text, "true", 0, nullptr);
  rsite_reg_options(odb);
  opt_reg_string(odb, "-trace:refs",
                 "references that feed the cache: all|inst|data|load|store",
                 &refs_name, "all", 1, nullptr);
  opt_reg_string(odb, "-trace:format",
                 "input format: auto|din|lackey|hex|bin32", &format_name,
                 "auto", 1, nullptr);
  opt_reg_string(odb, "-trace:max", "stop after this many references (0: all)",
                 &max_text, "0", 1, nullptr);
  opt_reg_string(odb, "-trace:tracer",
                 "tracer of a program: auto|qemu|valgrind (auto: QEMU where "
                 "it runs the program)", &tracer_name, "auto", 1, nullptr);
  opt_reg_string(odb, "-trace:sysroot",
                 "QEMU: directory holding a foreign program's libraries",
                 &sysroot, nullptr, 1, nullptr);
  opt_reg_string(odb, "-trace:valgrind",
                 "further valgrind options for a traced program, split on "
                 "blanks, e.g. \"--trace-children=no\"",
                 &valgrind_opts, "", 1, nullptr);
  opt_reg_string(odb, "-trace:threads",
                 "threads of a traced program: shared|private (one cache "
                 "for all threads, or a family each; private: QEMU)",
                 &threads_name, "shared", 1, nullptr);
  opt_reg_string(odb, "-trace:interleave",
                 "QEMU: references of one thread in a row while other "
                 "threads run (1..65536)", &interleave_text,
                 default_interleave(), 1, nullptr);
  opt_reg_string(odb, "-cache:workers",
                 "processes a set-associative LRU or direct-mapped family is "
                 "split over, each a share of its rows (1..64; default: the "
                 "cores available less one)", &workers_text, default_workers(),
                 1, nullptr);
  opt_reg_string(odb, "-progress",
                 "progress line on a terminal's error stream: true|false",
                 &progress_text, "true", 0, nullptr);
}

void sim_remove_unfinished_outputs(void) { out_remove_unfinished(); }

// Refuses an input that is also an output, and two outputs in one file.
static void claim_outputs(const char *input) {
  for (int i = 0; i < OUT_KINDS; i++) {
    const char *name = out_name(i);
    if (!name) continue;
    if (strcmp(input, "-") && same_file_name(name, input))
      option_error("-out: files must not overwrite the input `%s'", input);
    for (int j = 0; j < i; j++)
      if (out_name(j) && same_file_name(name, out_name(j)))
        option_error("-out: files must differ, and `%s' is named twice",
                     name);
  }
}

bool sim_output_named(const char *path) {
  for (int i = 0; i < OUT_KINDS; i++)
    if (out_name(i) && same_file_name(out_name(i), path)) return true;
  return false;
}

// Each -cache:opts is one family: "[<kinds>:] words". vantle-sim takes the
// library's words strictly: a mistyped word stops the run before anything
// is simulated or written.
static void check_cache_opts(void) {
  if (cache_opts_values.count > RF_MOST_FAMILIES)
    option_error("-cache:opts is given more than %s times", "64");
  if (cache_opts_values.count == 0)
    note_cache_opts(cache_opts ? cache_opts : "", nullptr);
  for (int i = 0; i < cache_opts_values.count; i++) {
    char why[4096];
    if (!rf_add(cache_opts_values.list[i], refs_name, why, sizeof why))
      option_error("%s", why);
  }
  // One family feeds its own kinds; with several, the statistics count
  // the run-wide selection.
  if (rf_count() == 1) rs_select(rf_family(0)->wanted);
  // The echo of the options would show the last value only.
  static char several_values[] = "(one per family, below)";
  if (rf_count() > 1) cache_opts = several_values;
}

// -trace:threads and -trace:interleave.
static void check_thread_options(void) {
  if (strcmp(threads_name, "shared") && strcmp(threads_name, "private"))
    option_error("-trace:threads must be shared or private, not `%s'",
                 threads_name);
  char *end = nullptr;
  long every = strtol(interleave_text, &end, 10);
  if (!*interleave_text || *end || every < 1 || every > LD_MOST_RECORDS)
    option_error("-trace:interleave needs a count of references from 1 to "
                 "65536, not `%s'", interleave_text);
  interleave = static_cast<unsigned>(every);
  ld_interleave(interleave);
  if (strcmp(threads_name, "private")) return;
  if (cache_opts_values.count > 1)
    option_error("-trace:threads private takes one -cache:opts family, not "
                 "%s", std::to_string(cache_opts_values.count).c_str());
  // Each thread's family would need companions of its own.
  if (explain)
    option_error("-trace:threads private takes no %s; -trace:threads "
                 "shared explains the one cache of all threads", "-explain");
  rf_per_thread();
}

void sim_check_options(opt_odb_t *, int, char **) {
  bool wanted[MD_REF_MODIFY + 1];
  if (!cw_select_kinds(refs_name, wanted))
    option_error("-trace:refs must be all, inst, data, load or store, not "
                 "`%s'", refs_name);
  rs_select(wanted);
  check_cache_opts();
  input_format = md_format_by_name(format_name);
  if (input_format < 0)
    option_error("-trace:format must be auto, din, lackey, hex or bin32, "
                 "not `%s'", format_name);
  char *end = nullptr;
  long long max = strtoll(max_text, &end, 10);
  if (!*max_text || *end || max < 0 || max == LLONG_MAX)
    option_error("-trace:max needs a count of references, not `%s'",
                 max_text);
  max_refs = max;
  if (strcmp(tracer_name, "auto") && strcmp(tracer_name, "qemu") &&
      strcmp(tracer_name, "valgrind"))
    option_error("-trace:tracer must be auto, qemu or valgrind, not `%s'",
                 tracer_name);
  check_thread_options();
  end = nullptr;
  long workers = strtol(workers_text, &end, 10);
  if (!*workers_text || *end || workers < 1 || workers > 64)
    option_error("-cache:workers needs a count of processes from 1 to 64, "
                 "not `%s'", workers_text);
  // The library in this process counts each reference's site.
  fam_set_workers(rsite_on() ? 1 : static_cast<int>(workers));
  if (strcmp(progress_text, "true") && strcmp(progress_text, "false"))
    option_error("-progress must be true or false, not `%s'", progress_text);
  progress_on = !strcmp(progress_text, "true") && isatty(2);
  if (sim_chkpt_fname)
    option_error("cannot restore `%s': vantle-sim has no checkpoints",
                 sim_chkpt_fname);
  // The library judges every family's words before any file is made.
  rf_check();
  if (strcmp(explain_opt_text, "true") && strcmp(explain_opt_text, "false"))
    option_error("-explain:opt must be true or false, not `%s'",
                 explain_opt_text);
  if (explain) rf_explain(!strcmp(explain_opt_text, "true"));
  if (const char *no = rsite_refusal(cache_opts_values.count, explain,
                                     rf_is_per_thread(), out_name(OUT_SITES)))
    option_error("%s", no);
  char why[4096];
  if (!out_open(why, sizeof why)) option_error("%s", why);
}

// Set-associative OPT may leave a missing line out; the reader is told
// once, after the family's parameters.
static void say_what_opt_means(FILE *stream) {
  if (repl == VANTLE_OPT && trace_config == VANTLE_SET_ASSOCIATIVE)
    fprintf(stream, "sim: OPT here is optimal replacement with bypass: a "
                    "missing line need not be loaded (OPT-bypass in -out: "
                    "files)\n");
}

// What the run's signals ask of a wait on a family's process.
static int asked_by_signals(void) {
  return (sim_exit_now ? FAM_END : 0) | (sim_dump_stats ? FAM_REPORT : 0);
}

// A signal came while a family's process waited for room: the statistics
// and a report for SIGUSR1; false when the run is to end.
static bool answer_while_feeding(void) {
  if (sim_exit_now) return false;
  if (sim_dump_stats) {
    sim_dump_stats = 0;
    interim_stats();
  }
  return true;
}

void sim_init(void) {
#ifdef VANTLE_SIM_TEST_LIMIT
  // Test builds only: a lower limit lets tests reach it in milliseconds.
  const char *lower = getenv("VANTLE_TEST_REFERENCE_LIMIT");
  if (lower && strtoull(lower, nullptr, 10) < vantle_reference_limit())
    vantle_set_reference_limit(strtoull(lower, nullptr, 10));
#endif
  rf_limits(max_refs, static_cast<counter_t>(vantle_reference_limit()));
  rf_on_asked(answer_while_feeding);
  // The folding of 64-bit addresses keeps every address bit that picks a
  // set of some cache of any family, and keeps equal lines equal: its
  // regions are as large as the largest span of a family's sets. Results
  // then equal an unfolded run.
  fm_reset(rf_set_span_bits());
  static const fam_hooks hooks = {out_forget, say_what_opt_means,
                                  asked_by_signals};
  rf_start(&hooks);
  library_ready = true;
  std::string why;
  if (rsite_on() && rsite_check_member(&why) < 0)
    option_error("-sites:at: %s", why.c_str());
  rsite_start();
}

// The signals while the input is opened (a pipe or FIFO that has delivered
// nothing yet): SIGUSR1 is told that nothing has been read; SIGINT, SIGTERM
// and SIGUSR2 end the process as they end a run, with nothing simulated.
static int answer_before_start(void) {
  if (sim_dump_stats) {
    sim_dump_stats = 0;
    fprintf(stderr, "sim: nothing has been read from the input yet\n");
  }
  if (!sim_exit_now) return 0;
  fprintf(stderr, "sim: run ended by %s before the input delivered "
          "anything; nothing was simulated\n", sim_end_signal_name());
  exit(sim_end_signal_status());
}

// A trace's format may record no kinds: then every family must take all.
static void check_kinds_recorded(void) {
  for (int i = 0; i < rf_count(); i++) {
    const fam_family *f = rf_family(i);
    if (ld_has_kinds() || !strcmp(f->kinds, "all")) continue;
    if (f->kinds_given) {
      char what[4096];
      snprintf(what, sizeof what, "-cache:opts `%s' needs reference kinds, "
               "which this trace's format does not record", f->spec);
      option_error("%s", what);
    }
    option_error("-trace:refs %s needs reference kinds, which this trace's "
                 "format does not record", f->kinds);
  }
  rf_stores_recorded(ld_has_kinds());
}

void sim_load_prog(char *fname, int argc, char **argv, char **) {
  ld_on_wait(answer_before_start);
  claim_outputs(fname);
  ld_use_tracer(!strcmp(tracer_name, "qemu")       ? LD_TRACER_QEMU
                : !strcmp(tracer_name, "valgrind") ? LD_TRACER_VALGRIND
                                                   : LD_TRACER_AUTO,
                sysroot);
  ld_open(fname, argc, argv, input_format, sim_progfd);
  ld_tracer_options(valgrind_opts);
  if (rf_is_per_thread() &&
      (!ld_is_program() || ld_tracer() != LD_TRACER_QEMU))
    option_error("-trace:threads private needs a program traced under QEMU, "
                 "which tells each reference's thread; `%s' is not", fname);
  if (!ld_is_program()) {
    sim_xtr_fname = fname;
    if (argc > 1)
      option_error("`%s' is a trace file, which takes no arguments", fname);
  }
  check_kinds_recorded();
  rsite_input_opened(ld_has_kinds());
}

void sim_reg_stats(stat_sdb_t *sdb) { rs_reg_stats(sdb, ld_is_program()); }

static const char *refs_description(const char *kinds) {
  if (!ld_has_kinds()) return "every address of the trace (unified)";
  if (!strcmp(kinds, "all"))
    return "all (instruction fetches, loads, stores, modifies: unified)";
  if (!strcmp(kinds, "inst")) return "instruction fetches only";
  if (!strcmp(kinds, "data")) return "data only (loads, stores, modifies)";
  if (!strcmp(kinds, "load")) return "loads and modifies only";
  return "stores and modifies only";
}

static void say_input(FILE *stream) {
  if (ld_is_program() && ld_tracer() == LD_TRACER_QEMU)
    fprintf(stream, "sim: input: program `%s' traced live under %s with "
                    "vantle's plugin (binary records)\n", ld_name(),
            ld_tracer_path());
  else if (ld_is_program() && !*ld_tracer_note())
    fprintf(stream, "sim: input: program `%s' traced live under valgrind "
                    "--tool=lackey (lackey records)\n", ld_name());
  else if (ld_is_program())
    fprintf(stream, "sim: input: program `%s' traced live under valgrind "
                    "--tool=lackey (lackey records), not QEMU: %s\n"
                    "sim: valgrind traces some 40 to 200 times slower than "
                    "QEMU with vantle's plugin, chosen only because QEMU "
                    "cannot trace it here\n", ld_name(), ld_tracer_note());
  else
    fprintf(stream, "sim: input: trace file `%s' (%s%s%s%s)\n", ld_name(),
            md_format_name(ld_format()), ld_compressed() ? ", " : "",
            ld_compressed() ? ld_compression() : "",
            ld_compressed() ? "-compressed" : "");
}

// One family: its parameters, the input, what feeds it. Several: the
// input, then each family's line and parameters.
void sim_aux_config(FILE *stream) {
  bool one = rf_count() == 1;
  if (one) rf_config(0, stream);
  say_input(stream);
  if (ld_is_program())
    rf_threads_note(stream, ld_tracer() == LD_TRACER_QEMU, interleave);
  if (one)
    fprintf(stream, "sim: references fed to the cache: %s\n",
            refs_description(rf_family(0)->kinds));
  if (rf_explaining())
    fprintf(stream, "sim: -explain: each family's report is followed by why "
                    "its caches miss%s\n",
            ld_has_kinds() ? ""
                           : "; this trace's format records no stores, so "
                             "no write-backs are counted");
  if (max_refs)
    fprintf(stream, "sim: stopping after %lld references%s\n",
            static_cast<long long>(max_refs), one ? "" : " per family");
  for (int i = 0; !one && i < rf_count(); i++) {
    char what[256];
    snprintf(what, sizeof what, ", references fed: %s",
             refs_description(rf_family(i)->kinds));
    rf_introduce(stream, i, what);
    rf_config(i, stream);
  }
}

// While an -out: FIFO waits for its reader, or for it to read, SIGUSR1
// says so and an ending signal gives the file up.
static bool give_up_output(const char *option, const char *name) {
  if (sim_dump_stats) {
    sim_dump_stats = 0;
    fprintf(stderr, "sim: %s: waiting for a reader of `%s'\n", option, name);
  }
  return sim_exit_now;
}

// Writes the -out: files from the families' results, once, after the
// final report. A file that cannot be written ends the run with status 1
// (after a malformed record, the fatal error that follows does).
static void write_outputs(void) {
  // The run has ended: an ending signal from here on gives up a FIFO.
  sim_exit_now = 0;
  if (!ro_write(ended_early_by, give_up_output) &&
      ld_state() != LD_MALFORMED)
    exit(1);
}

// Every family's report, in the order given. A family that failed is
// named; the -out: files are then not written, and the run ends with
// status 1.
void sim_aux_stats(FILE *stream) {
  if (!library_ready || final_report_done) return;
  if (report_kind != REPORT_FINAL) {
    rf_interim_reports(stream, report_kind == REPORT_INTERIM);
    return;
  }
  final_report_done = true;
  if (rf_final_reports(stream)) {
    rsite_final(stream);
    write_outputs();
    return;
  }
  fprintf(stream, "error: a family failed; no -out: file is written\n");
  exit(1);
}

void sim_uninit(void) { ld_close(); }

// The statistics and an interim report, while the run goes on.
static void interim_stats(void) {
  report_kind = REPORT_INTERIM;
  sim_print_stats(stderr);
  report_kind = REPORT_FINAL;
  fflush(stderr);
}

// Whether batch records from..n-1 hold a reference that would feed the
// cache.
static bool wanted_among(size_t from, size_t n) {
  if (!ld_has_kinds()) return from < n;
  for (size_t i = from; i < n; i++)
    if (rs_wants(batch_kinds[i])) return true;
  return false;
}

// Whether -trace:max left references of the input unsimulated, the batch
// having used records 0..used-1 of n. A file is read on to tell; a pipe
// or a program could keep that read waiting, so it is taken to have more
// (a program is killed at -trace:max anyway).
static bool input_left_at_max(size_t used, size_t n) {
  if (wanted_among(used, n)) return true;
  if (ld_is_program() || (ld_total_bytes() < 0 && !ld_compressed()))
    return true;
  while ((n = ld_read(&batch_addrs, &batch_kinds, BATCH)) > 0)
    if (wanted_among(0, n)) return true;
  return false;
}

static double now_seconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The one updating progress line on the error stream.
static void show_progress(bool last) {
  static double started, shown;
  double now = now_seconds();
  if (started == 0) started = shown = now;
  if (last) {
    if (shown > started) fprintf(stderr, "\r%72s\r", "");
    return;
  }
  if (now - shown < 0.5) return;
  shown = now;
  double rate = rs_read() / (now - started);
  fprintf(stderr, "\rsim: %lld references read, %.2f M/s",
          static_cast<long long>(rs_read()), rate / 1e6);
  long long total = ld_total_bytes();
  if (total > 0)
    fprintf(stderr, ", %3.0f%%",
            floor(100.0 * static_cast<double>(ld_bytes_read()) / total));
  fflush(stderr);
}

// The run stops at an unusable record: statistics and the report of what
// was read first, then the error.
[[noreturn]] static void stop_at_malformed(void) {
  ended_early_by = "input error";
  fatal_hook(nullptr);
  sim_print_stats(stderr);
  sim_uninit();
  _fatal("sim_vantle", "sim_main", __LINE__, "%s", ld_error());
}

// Asks the debugger what to do; returns the number of records to read
// before asking again (0: never ask again), or -1 to quit.
static counter_t ask_debugger(void) {
  for (;;) {
    counter_t steps = 0;
    switch (qlint_command(stdin, stderr, rs_read(), &steps)) {
      case QLINT_STEP: return steps;
      case QLINT_REPORT: interim_stats(); break;
      case QLINT_QUIT: return -1;
      default: return 0;
    }
  }
}

// A fatal error during the run (exhausted memory): the statistics, with
// the records the library was given before the one in flight, and an
// interim report, since draining an OPT look-ahead window needs memory.
static void stats_after_fatal(FILE *stream) {
  rf_count_in_flight(batch_kinds);
  report_kind = REPORT_AFTER_FATAL;
  sim_print_stats(stream);
  // The report is this process's library's only with one family.
  if (library_ready && rf_count() == 1 && rf_family(0)->has_window)
    fprintf(stream, "sim: the run ended early: the report covers the "
                    "references that left the look-ahead window\n");
}

// Says on one line, before the statistics, why the run ended before its
// input did, if it did: ended_early by a signal or the debugger's q,
// cut_at_max by -trace:max.
static void note_early_end(bool ended_early, bool cut_at_max) {
  long long fed = static_cast<long long>(rs_fed());
  if (rf_past_reference_limit()) {
    ended_early_by = "reference limit";
    fprintf(stderr, "sim: reference limit of %lld reached; the rest of the "
            "input is not simulated\n", fed);
    return;
  }
  if (ended_early)
    ended_early_by =
        sim_end_signal || sim_exit_now ? sim_end_signal_name() : "debugger";
  else if (cut_at_max)
    ended_early_by = "-trace:max";
  else
    return;
  fprintf(stderr, "sim: run ended early by %s after %lld references; the "
          "rest of the input is not simulated\n",
          strcmp(ended_early_by, "debugger") ? ended_early_by
                                             : "the debugger's q command",
          fed);
}

// Whether a user signal waits for an answer: then a read that waits for
// input returns, whatever the input is doing. So is a family's child that
// ended while the input is silent.
static int signal_waiting() {
  bool gone = rf_any_gone();
  return sim_dump_stats || sim_exit_now || gone;
}

// Reads and feeds the input until it is over, a limit stops it, or the
// run is ended; returns whether a signal or the debugger ended it, with
// *cut_at_max set when -trace:max left input unsimulated.
static bool feed_input(bool *cut_at_max) {
  counter_t budget = qlint_active ? ask_debugger() : 0;
  bool ended_early = budget < 0;
  while (!ended_early) {
    size_t cap = BATCH;
    if (budget > 0 && budget < BATCH) cap = static_cast<size_t>(budget);
    size_t n = ld_read(&batch_addrs, &batch_kinds, cap);
    // The signals are answered before the new batch is fed, so a report
    // covers exactly what was fed before the signal came.
    if (sim_exit_now) return true;
    if (sim_dump_stats) {
      sim_dump_stats = 0;
      interim_stats();
    }
    size_t used = rf_feed(batch_addrs, batch_kinds,
                          rsite_number(batch_addrs, batch_kinds, n), n);
    if (rf_failed()) break;
    // A record after either limit is never reached.
    if (ld_state() == LD_MALFORMED && !rf_past_reference_limit() &&
        !rf_at_max())
      stop_at_malformed();
    bool over = n == 0 && ld_state() != LD_READING;  // not a signal's pause
    if (rf_at_max()) {
      *cut_at_max = input_left_at_max(used, n);
      break;
    }
    if (over || rf_past_reference_limit()) break;
    if (progress_on) show_progress(false);
    if (budget > 0 && (budget -= static_cast<counter_t>(n)) <= 0) {
      budget = ask_debugger();
      ended_early = budget < 0;
    }
  }
  return ended_early;
}

void sim_main(void) {
  fatal_hook(stats_after_fatal);
  ld_on_wait(signal_waiting);
  ld_start();
  bool cut_at_max = false;
  bool ended_early = feed_input(&cut_at_max);
  if (progress_on) show_progress(true);
  note_early_end(ended_early, cut_at_max);
  bool stopped = ended_early || rf_at_max() || rf_past_reference_limit() ||
                 rf_failed();
  int status = ld_finish(stopped);
  // The process then ends as it would by the signal, after the report.
  if (ended_early && sim_end_signal)
    longjmp(sim_exit_buf, 128 + sim_end_signal + 1);
  if (ld_is_program() && !stopped) {
    if (ld_exit_signal())
      fprintf(stderr, "sim: program `%s' terminated by signal %d (%s)\n",
              ld_name(), ld_exit_signal(), strsignal(ld_exit_signal()));
    longjmp(sim_exit_buf, status + 1);
  }
}
