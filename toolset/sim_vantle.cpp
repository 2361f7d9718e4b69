// Simulator module of vantle-sim: feeds the references of a trace file or
// of a program traced live to the cache library. Owns the module's options
// (-cache:opts, -out:*, -trace:*, -progress), the reference counters it
// registers as statistics, the -out: files and the batch buffers of the
// main loop. Reads the driver's shared state (sim.h): the signal flags, the
// exit buffer and sim_progfd.
#include <errno.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "export.h"
#include "families.h"
#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"
#include "loader.h"
#include "machine.h"
#include "misc.h"
#include "qlint.h"
#include "sim.h"
#include "toolset/out_files.h"
#include "transport/fold_map.h"

// Options.
static char *cache_opts;
static char *refs_name;
static char *format_name;
static char *max_text;
static char *progress_text;
static char *tracer_name;
static char *sysroot;
static char *valgrind_opts;

static int input_format;
static counter_t max_refs;      // 0: no limit
static bool progress_on;
static bool wanted[MD_REF_MODIFY + 1];  // by md_ref_kind
// The library simulates at most this many references; the run stops at the
// first reference past it.
static counter_t reference_limit;
static bool past_reference_limit;

// The families, one per -cache:opts. One runs in this process; several run
// in child processes of their own (families.h), fed from here.
enum { kMostFamilies = 64 };
static fam_family families[kMostFamilies];
static int family_count;
static bool family_failed;  // a family's child ended before its time

static bool several(void) { return family_count > 1; }

// Statistics.
static counter_t refs_read, refs_fed, loads, stores, modifies;

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

[[noreturn]] static void option_error(const char *fmt, const char *value) {
  fputs("error: ", stderr);
  fprintf(stderr, fmt, value);
  fputs(" (-h lists the options)\n", stderr);
  exit(1);
}

void sim_reg_options(opt_odb_t *odb) {
  opt_reg_string(odb, "-cache:opts",
                 "one family: [kinds:] the library's option words, e.g. "
                 "\"-Cfa -M65536\"; again for more families",
                 &cache_opts, "", 1, nullptr);
  out_reg_options(odb);
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

// Collects the values of every -cache:opts before the program or trace
// (the options database keeps the last one only); returns how many.
static int cache_opts_values(opt_odb_t *odb, int argc, char **argv,
                             const char **values) {
  int count = 0;
  for (int i = 1; i < argc; i++) {
    opt_opt_t *opt = opt_find_option(odb, argv[i]);
    if (!opt) break;  // the program or trace
    if (!strcmp(argv[i], "-cache:opts") && i + 1 < argc) {
      if (count == kMostFamilies)
        option_error("-cache:opts is given more than %s times", "64");
      values[count++] = argv[i + 1];
    }
    if (opt->kind != OPT_FLAG) i++;
  }
  return count;
}

// An optional sign, then decimal digits, and nothing else.
static bool is_decimal(const char *text) {
  if (*text == '+' || *text == '-') text++;
  if (*text < '0' || *text > '9') return false;
  while (*text >= '0' && *text <= '9') text++;
  return !*text;
}

// Refuses a word that the library, lenient with the programs that call it,
// would skip with a warning or read in part. The values of -C and -R, and
// the ranges of the numbers, are left to the library to judge.
static void check_cache_word(const char *word) {
  char letter = word[0] == '-' ? word[1] : '\0';
  if (letter == 'C' || letter == 'R') return;
  if (!letter || !strchr("abclniM", letter))
    option_error("-cache:opts: `%s' is not a cache option word", word);
  if (!word[2])
    option_error("-cache:opts: `%s' needs a number glued to its letter",
                 word);
  if (!is_decimal(word + 2))
    option_error("-cache:opts: `%s' needs a decimal number after its letter",
                 word);
}

// The fully associative report lists the sizes that are multiples of -i up
// to -M: with a larger step it would list none.
static void check_report_step(char **words, int count) {
  const char *config = "sa", *step = nullptr, *max = nullptr;
  for (int i = 0; i < count; i++) {
    if (words[i][1] == 'C') config = words[i] + 2;
    if (words[i][1] == 'i') step = words[i];
    if (words[i][1] == 'M') max = words[i];
  }
  if (strcmp(config, "fa") && strcmp(config, "FA")) return;
  long long step_bytes = step ? strtoll(step + 2, nullptr, 10) : 512;
  long long max_bytes = max ? strtoll(max + 2, nullptr, 10) : 524288;
  // A negative -M is the library's to refuse, by its range.
  if (step_bytes <= max_bytes || max_bytes < 0) return;
  char what[4096];
  snprintf(what, sizeof what, "-cache:opts: %s%s is larger than %s%s: the "
           "report would list no cache size", step ? step : "-i512",
           step ? "" : " (the default)", max ? max : "-M524288",
           max ? "" : " (the default)");
  option_error("%s", what);
}

// Each -cache:opts is one family: "[<kinds>:] words". vantle-sim takes the
// library's words strictly: a mistyped word stops the run before anything
// is simulated or written.
static void check_cache_opts(opt_odb_t *odb, int argc, char **argv) {
  const char *values[kMostFamilies];
  family_count = cache_opts_values(odb, argc, argv, values);
  if (family_count == 0) values[family_count++] = cache_opts ? cache_opts : "";
  for (int i = 0; i < family_count; i++) {
    fam_family *f = &families[i];
    const char *why = nullptr;
    if (!fam_parse(f, values[i], refs_name, &why)) {
      char what[4096];
      snprintf(what, sizeof what, "-cache:opts `%s': %s", values[i], why);
      option_error("%s", what);
    }
    for (int w = 0; w < f->count; w++) check_cache_word(f->words[w]);
    check_report_step(f->words, f->count);
  }
  // One family feeds its own kinds; with several, the statistics count
  // the run-wide selection.
  if (family_count == 1) memcpy(wanted, families[0].wanted, sizeof wanted);
  // The echo of the options would show the last value only.
  static char several_values[] = "(one per family, below)";
  if (family_count > 1) cache_opts = several_values;
}

void sim_check_options(opt_odb_t *odb, int argc, char **argv) {
  if (!fam_select_kinds(refs_name, wanted))
    option_error("-trace:refs must be all, inst, data, load or store, not "
                 "`%s'", refs_name);
  check_cache_opts(odb, argc, argv);
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
  if (strcmp(progress_text, "true") && strcmp(progress_text, "false"))
    option_error("-progress must be true or false, not `%s'", progress_text);
  progress_on = !strcmp(progress_text, "true") && isatty(2);
  if (sim_chkpt_fname)
    option_error("cannot restore `%s': vantle-sim has no checkpoints",
                 sim_chkpt_fname);
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

// The folding of 64-bit addresses keeps every address bit that picks a set
// of some cache of the family, and keeps equal lines equal: its regions are
// as large as the sets' span (set-associative), the cache (direct-mapped)
// or one line (fully associative). Results then equal an unfolded run.
static int fold_region_bits(void) {
  if (trace_config == VANTLE_FULLY_ASSOCIATIVE) return L;
  if (trace_config == VANTLE_DIRECT_MAPPED) return C;
  return B + L;
}

// What the run's signals ask of a wait on a family's process.
static int asked_by_signals(void) {
  return (sim_exit_now ? FAM_END : 0) | (sim_dump_stats ? FAM_REPORT : 0);
}

void sim_init(void) {
#ifdef VANTLE_SIM_TEST_LIMIT
  // Test builds only: a lower limit lets tests reach it in milliseconds.
  const char *lower = getenv("VANTLE_TEST_REFERENCE_LIMIT");
  if (lower && strtoull(lower, nullptr, 10) < vantle_reference_limit())
    vantle_set_reference_limit(strtoull(lower, nullptr, 10));
#endif
  reference_limit = static_cast<counter_t>(vantle_reference_limit());
  if (several()) {
    fam_on_wait(asked_by_signals);
    fam_start(families, family_count, out_forget, say_what_opt_means,
              fold_region_bits);
    // One folding serves every family: the most demanding one's regions.
    int bits = 0;
    for (int i = 0; i < family_count; i++)
      if (families[i].ready_value > bits) bits = families[i].ready_value;
    fm_reset(bits);
  } else {
    vantle_init(families[0].count, families[0].words);
    fm_reset(fold_region_bits());
  }
  library_ready = true;
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
          "anything; nothing was simulated\n",
          sim_end_signal == SIGINT    ? "SIGINT"
          : sim_end_signal == SIGTERM ? "SIGTERM"
                                      : "SIGUSR2");
  exit(sim_end_signal ? 128 + sim_end_signal : 0);
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
  if (!ld_is_program()) {
    sim_xtr_fname = fname;
    if (argc > 1)
      option_error("`%s' is a trace file, which takes no arguments", fname);
  }
  for (int i = 0; i < family_count; i++) {
    const fam_family *f = &families[i];
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
}

// Statistics formulas.
static double ref_rate(void) {
  int seconds = sim_elapsed_time > 0 ? sim_elapsed_time : 1;
  return static_cast<double>(refs_fed) / seconds;
}

static double processes_traced(void) {
  return static_cast<double>(ld_processes_traced());
}

void sim_reg_stats(stat_sdb_t *sdb) {
  stat_reg_counter(sdb, "sim_num_refs", "references read from the input",
                   &refs_read, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_fed", "references fed to the cache",
                   &refs_fed, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_insn", "instruction fetches read",
                   &sim_num_insn, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_loads", "loads read", &loads, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_stores", "stores read", &stores, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_modifies",
                   "modifies read (each one data reference)", &modifies, 0,
                   nullptr);
  if (ld_is_program())
    stat_reg_formula(sdb, "sim_num_procs",
                     "processes traced (under valgrind, forked and exec'd ones "
                     "included)",
                     processes_traced, "%.0f");
  stat_reg_int(sdb, "sim_elapsed_time",
               "total simulation time in seconds", &sim_elapsed_time, 0,
               nullptr);
  stat_reg_formula(sdb, "sim_ref_rate",
                   "references fed per second", ref_rate, "%.0f");
}

static const char *refs_description(const char *kinds) {
  if (!ld_has_kinds()) return "every address of the trace (unified)";
  if (!strcmp(kinds, "all"))
    return "all (instruction fetches, loads, stores, modifies: unified)";
  if (!strcmp(kinds, "inst")) return "instruction fetches only";
  if (!strcmp(kinds, "data")) return "data only (loads, stores, modifies)";
  if (!strcmp(kinds, "load")) return "loads and modifies only";
  return "stores and modifies only";
}

// The line that introduces each family's part of a report.
static void introduce_family(FILE *stream, int i, const char *what) {
  fprintf(stream, "\nsim: family %d of %d: `%s'%s\n", i + 1, family_count,
          families[i].spec, what);
}

void sim_aux_config(FILE *stream) {
  if (!several()) {
    vantle_config(stream);
    say_what_opt_means(stream);
  }
  if (ld_is_program() && ld_tracer() == LD_TRACER_QEMU)
    fprintf(stream, "sim: input: program `%s' traced live under %s with "
                    "vantle's plugin (binary records)\n", ld_name(),
            ld_tracer_path());
  else if (ld_is_program())
    fprintf(stream, "sim: input: program `%s' traced live under valgrind "
                    "--tool=lackey (lackey records)%s%s\n", ld_name(),
            *ld_tracer_note() ? ", not QEMU: " : "", ld_tracer_note());
  else
    fprintf(stream, "sim: input: trace file `%s' (%s%s%s%s)\n", ld_name(),
            md_format_name(ld_format()), ld_compressed() ? ", " : "",
            ld_compressed() ? ld_compression() : "",
            ld_compressed() ? "-compressed" : "");
  if (!several())
    fprintf(stream, "sim: references fed to the cache: %s\n",
            refs_description(families[0].kinds));
  if (max_refs)
    fprintf(stream, "sim: stopping after %lld references%s\n",
            static_cast<long long>(max_refs), several() ? " per family" : "");
  for (int i = 0; several() && i < family_count; i++) {
    char what[256];
    snprintf(what, sizeof what, ", references fed: %s",
             refs_description(families[i].kinds));
    introduce_family(stream, i, what);
    fam_copy_text(&families[i], stream);
  }
}

// The rows and description of every family, for the -out: files.
struct run_results {
  family_results family[kMostFamilies];
  vantle_result *rows[kMostFamilies];
  char label[kMostFamilies][64];
};

static void gather_results(run_results *r) {
  for (int i = 0; i < family_count; i++) {
    fam_family *f = &families[i];
    int n;
    if (several()) {
      n = fam_rows(f, &r->rows[i]);
    } else {
      n = vantle_results(nullptr, 0);
      r->rows[i] = static_cast<vantle_result *>(checked_calloc(
          n ? n : 1, sizeof(vantle_result), "sim_vantle", "gather_results",
          __LINE__));
      vantle_results(r->rows[i], n);
      f->fed = refs_fed;
    }
    const vantle_result *first = n ? r->rows[i] : nullptr;
    const char *name = family_name(first);
    // The legend names the policy, the first word of the family's name.
    int policy = first && first->organisation != VANTLE_DIRECT_MAPPED
                     ? static_cast<int>(strcspn(name, " "))
                     : 0;
    snprintf(r->label[i], sizeof r->label[i], "#%d%s%.*s%s%s", i + 1,
             policy ? " " : "", policy, name, f->kinds_given ? " " : "",
             f->kinds_given ? f->kinds : "");
    r->family[i] = {{name, several() ? f->spec : cache_opts, ld_name(),
                     f->kinds, static_cast<unsigned long long>(f->fed),
                     ended_early_by},
                    r->label[i], r->rows[i], n};
  }
}

// Writes one -out: file: one family as always, several with their names.
static int write_output(int kind, FILE *fd, void *context) {
  const run_results *r = static_cast<const run_results *>(context);
  const family_results &one = r->family[0];
  if (several())
    return kind == OUT_CSV    ? write_families_csv(fd, r->family, family_count)
           : kind == OUT_JSON ? write_families_json(fd, r->family, family_count)
                              : write_families_svg(fd, r->family, family_count);
  return kind == OUT_CSV    ? write_results_csv(fd, one.rows, one.count)
         : kind == OUT_JSON ? write_results_json(fd, &one.run, one.rows,
                                                 one.count)
                            : write_results_svg(fd, &one.run, one.rows,
                                                one.count);
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

// Writes the -out: files from the library's results, once, after the final
// report. A file that cannot be written ends the run with status 1 (after
// a malformed record, the fatal error that follows does).
static void write_outputs(void) {
  static run_results results;
  gather_results(&results);
  // The run has ended: an ending signal from here on gives up a FIFO.
  sim_exit_now = 0;
  bool written = out_write(write_output, &results, give_up_output);
  for (int i = 0; i < family_count; i++) free(results.rows[i]);
  if (!written && ld_state() != LD_MALFORMED) exit(1);
}

// ---- The library's notes, explained --------------------------------------
//
// A fully-associative family whose input touches more distinct lines than
// -M bytes hold says so on the error stream in the library's own words,
// which read as errors: "distinct entries limit exceeded" and, after it,
// "addresses processed N" (LRU: the one time a run shows that progress
// line, which otherwise needs P_INTERVAL, an interval no option sets), or
// "tot_addrs limit exceeded, t_entries=N" (OPT). The final report then has
// no "all bigger caches" line. A watch on the report's way to its stream
// sees that, and one sim: line says what it means, once per run.

struct report_watch {
  FILE *to;
  std::string tail;  // the last bytes written: a mark may come in two writes
  bool fully_associative, all_bigger;
};

static ssize_t pass_through(void *cookie, const char *data, size_t size) {
  auto *w = static_cast<report_watch *>(cookie);
  fwrite(data, 1, size, w->to);  // an error stays with the stream, as ever
  w->tail.append(data, size);
  w->fully_associative |=
      w->tail.find("Cache size (bytes)\tMiss Ratio\n") != std::string::npos;
  w->all_bigger |= w->tail.find(" for all bigger caches\n") !=
                   std::string::npos;
  if (w->tail.size() > 64) w->tail.erase(0, w->tail.size() - 64);
  return static_cast<ssize_t>(size);
}

// A stream that writes through to w->to at once (unbuffered, so that a
// fatal error in the report loses nothing), or w->to itself when none can
// be made.
static FILE *watched_stream(report_watch *w) {
  cookie_io_functions_t io = {nullptr, pass_through, nullptr, nullptr};
  FILE *stream = fopencookie(w, "w", io);
  if (!stream) return w->to;
  setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

// Closes the watched stream and says, once per run, what a report that
// passed its line limit means.
static void explain_report(FILE *stream, report_watch *w) {
  static bool explained;
  if (stream != w->to) fclose(stream);
  if (explained || !w->fully_associative || w->all_bigger) return;
  explained = true;
  fprintf(w->to, "sim: note: more distinct lines than -M bytes hold: "
                 "libvantle's \"limit exceeded\" line above (with the "
                 "references read by then) is information, not an error; "
                 "every miss ratio up to -M is exact, larger caches are not "
                 "reported, and the distinct count includes lines dropped "
                 "and seen again\n");
}

// Every family's report, in the order given, each after its own line. A
// family that failed is named; the -out: files are then not written, and
// the run ends with status 1.
static void report_families(FILE *stream) {
  if (report_kind != REPORT_FINAL) {
    for (int i = 0; i < family_count; i++) {
      fam_family *f = &families[i];
      introduce_family(stream, i, "");
      // The library heads every report "end of simulation".
      if (report_kind == REPORT_INTERIM)
        fprintf(stream, "sim: interim report after %lld references; the "
                        "run goes on\n", static_cast<long long>(f->fed));
      if (fam_interim(f))
        fam_copy_text(f, stream);
      else if (f->gone)
        family_failed = true;
      else  // stopped or wedged: the run goes on without its report
        fprintf(stream, "sim: family %d of %d (`%s') did not answer; its "
                        "interim report is left out\n", i + 1, family_count,
                f->spec);
    }
    return;
  }
  final_report_done = true;
  for (int i = 0; i < family_count; i++) fam_end_input(&families[i]);
  bool all_well = true;
  for (int i = 0; i < family_count; i++) {
    fam_family *f = &families[i];
    bool well = fam_wait(f);
    char what[64];
    snprintf(what, sizeof what, ": %lld references fed",
             static_cast<long long>(f->fed));
    introduce_family(stream, i, what);
    report_watch watch = {stream, "", false, false};
    FILE *watched = watched_stream(&watch);
    fam_copy_text(f, watched);
    explain_report(watched, &watch);
    if (!well) fam_say_failure(f, i, family_count, stream);
    all_well = all_well && well;
  }
  if (all_well) {
    write_outputs();
    return;
  }
  fprintf(stream, "error: a family failed; no -out: file is written\n");
  exit(1);
}

void sim_aux_stats(FILE *stream) {
  if (!library_ready || final_report_done) return;
  if (several()) {
    report_families(stream);
    return;
  }
  if (report_kind != REPORT_FINAL) {
    // The library heads every report "end of simulation".
    if (report_kind == REPORT_INTERIM)
      fprintf(stream, "sim: interim report after %lld references; the run "
                      "goes on\n", static_cast<long long>(refs_fed));
    vantle_stats(stream, 1);
    return;
  }
  final_report_done = true;
  report_watch watch = {stream, "", false, false};
  FILE *watched = watched_stream(&watch);
  vantle_stats(watched, 0);
  explain_report(watched, &watch);
  write_outputs();
}

void sim_uninit(void) { ld_close(); }

// The statistics and an interim report, while the run goes on.
static void interim_stats(void) {
  report_kind = REPORT_INTERIM;
  sim_print_stats(stderr);
  report_kind = REPORT_FINAL;
  fflush(stderr);
}

// -trace:max holds per family: with several, every one must have its fill.
static bool limit_reached(void) {
  if (!max_refs) return false;
  if (!several()) return refs_fed >= max_refs;
  for (int i = 0; i < family_count; i++)
    if (families[i].fed < max_refs) return false;
  return true;
}

// The batch being fed: while on, the library is being given record `at` of
// it. The statistics count a batch's records once it is fed; should the
// library end the run inside it (exhausted memory), the fatal hook counts
// the records before the one in flight, as the library was given them.
static struct {
  bool on;
  size_t at;
} in_flight;

// Counts the first n records of the batch by kind, unless they came
// counted. One pass per kind: each vectorises, where counting all kinds in
// one pass waits on the counter just incremented.
static void count_kinds(size_t n, counter_t *by_kind) {
  if (ld_counted(n, by_kind)) return;
  for (int kind = 0; kind <= MD_REF_MODIFY; kind++) {
    uint32_t c = 0;  // a batch's count fits, and 32-bit sums vectorise wider
    for (size_t i = 0; i < n; i++) c += batch_kinds[i] == kind;
    by_kind[kind] = c;
  }
}

// Adds n records, by_kind of each kind, to the statistics.
static void add_counts(size_t n, const counter_t *by_kind) {
  refs_read += static_cast<counter_t>(n);
  if (!ld_has_kinds()) {
    refs_fed += static_cast<counter_t>(n);
    return;
  }
  for (int kind = 0; kind <= MD_REF_MODIFY; kind++)
    if (wanted[kind]) refs_fed += by_kind[kind];
  sim_num_insn += by_kind[MD_REF_INST];
  loads += by_kind[MD_REF_LOAD];
  stores += by_kind[MD_REF_STORE];
  modifies += by_kind[MD_REF_MODIFY];
}

// Adds the first n records of the batch to the statistics.
static void count_records(size_t n) {
  counter_t by_kind[MD_REF_MODIFY + 1] = {0, 0, 0, 0, 0};
  if (ld_has_kinds()) count_kinds(n, by_kind);
  add_counts(n, by_kind);
}

// Whether wanted takes every record of the input, whatever its kind.
static bool takes_every_kind(const bool *wanted) {
  return !ld_has_kinds() || (wanted[MD_REF_INST] && wanted[MD_REF_LOAD] &&
                             wanted[MD_REF_STORE] && wanted[MD_REF_MODIFY]);
}

// Feeds the records of the batch, up to n, and counts them; stops at the
// -trace:max limit, and before the first reference past the library's
// limit. The limits are worked out once per batch. Returns the number of
// records used.
static size_t feed(size_t n) {
  size_t done = 0;
  in_flight.on = true;
  if (takes_every_kind(wanted)) {
    if (max_refs && refs_fed + static_cast<counter_t>(n) > max_refs)
      n = static_cast<size_t>(max_refs - refs_fed);
    if (refs_fed + static_cast<counter_t>(n) > reference_limit) {
      n = static_cast<size_t>(reference_limit - refs_fed);
      past_reference_limit = true;
    }
    for (; done < n; done++) {
      in_flight.at = done;
      vantle_access(batch_addrs[done]);
    }
  } else if (!limit_reached()) {
    // The reference count at which feeding stops: -trace:max when it comes
    // first (after that reference), else the library's limit (before the
    // reference past it).
    bool at_max = max_refs && max_refs <= reference_limit;
    counter_t stop = at_max ? max_refs : reference_limit;
    counter_t fed = refs_fed;
    for (; done < n; done++) {
      int kind = batch_kinds[done];
      if (!wanted[kind]) continue;
      if (fed == stop) {  // never with at_max: feeding stopped already
        past_reference_limit = true;
        break;
      }
      in_flight.at = done;
      vantle_access(batch_addrs[done]);
      if (++fed == stop && at_max) {
        done++;
        break;
      }
    }
  }
  in_flight.on = false;
  count_records(done);
  return done;
}

// Whether batch records from..n-1 hold a reference that would feed the
// cache.
static bool wanted_among(size_t from, size_t n) {
  if (!ld_has_kinds()) return from < n;
  for (size_t i = from; i < n; i++)
    if (wanted[batch_kinds[i]]) return true;
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

// The index just after the k-th record of the first n that wanted takes, or
// n when fewer take it; *taken says how many up to there do.
static size_t after_nth(const bool *wanted, size_t n, counter_t k,
                        counter_t *taken) {
  counter_t seen = 0;
  size_t i = 0;
  for (; i < n && seen < k; i++) seen += wanted[batch_kinds[i]];
  *taken = seen;
  return i;
}

// Puts the addresses of the first n records of the batch that family f
// takes into picked, which has room for n.
static void pick_for(const fam_family *f, size_t n, md_addr_t *picked) {
  if (takes_every_kind(f->wanted)) {
    memcpy(picked, batch_addrs, n * sizeof *picked);
    return;
  }
  size_t k = 0;
  for (size_t i = 0; i < n; i++) {
    picked[k] = batch_addrs[i];
    k += f->wanted[batch_kinds[i]];
  }
}

// Room for n references in family f's ring, answering SIGUSR1 while a
// full ring waits; null when the family is gone or the run is to end.
static md_addr_t *reserve(fam_family *f, size_t n) {
  for (;;) {
    md_addr_t *into = fam_reserve(f, n);
    if (into || f->gone || sim_exit_now) return into;
    if (sim_dump_stats) {
      sim_dump_stats = 0;
      interim_stats();
    }
  }
}

// Several families: each is handed the batch up to its own -trace:max; the
// first reference past any family's library limit ends the run for all,
// before it.
static size_t feed_families(size_t n) {
  counter_t by_kind[MD_REF_MODIFY + 1];
  count_kinds(n, by_kind);
  counter_t taking[kMostFamilies];  // what each would take of all n
  size_t end = n;
  for (int i = 0; i < family_count; i++) {
    fam_family *f = &families[i];
    taking[i] = 0;
    for (int kind = 0; kind <= MD_REF_MODIFY; kind++)
      if (f->wanted[kind]) taking[i] += by_kind[kind];
    if (f->fed + taking[i] <= reference_limit) continue;
    counter_t taken;
    size_t past = after_nth(f->wanted, n, reference_limit - f->fed + 1,
                            &taken);
    if (past - 1 < end) end = past - 1;
    past_reference_limit = true;
  }
  size_t used = 0;  // records before the last one any family took
  for (int i = 0; i < family_count; i++) {
    fam_family *f = &families[i];
    counter_t room = max_refs ? max_refs - f->fed : reference_limit - f->fed;
    if (room <= 0) continue;
    counter_t taken = taking[i];
    size_t take = end;
    if (end < n || taken > room) take = after_nth(f->wanted, end, room, &taken);
    md_addr_t *into = reserve(f, take);  // straight into its ring
    if (into) {
      pick_for(f, take, into);
      fam_commit(f, static_cast<size_t>(taken));
      f->fed += taken;
    } else if (f->gone) {
      family_failed = true;
    }
    if (take > used) used = take;
  }
  if (end == n)
    add_counts(n, by_kind);
  else
    count_records(end);
  return used;
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
  double rate = refs_read / (now - started);
  fprintf(stderr, "\rsim: %lld references read, %.2f M/s",
          static_cast<long long>(refs_read), rate / 1e6);
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
    switch (qlint_command(stdin, stderr, refs_read, &steps)) {
      case QLINT_STEP: return steps;
      case QLINT_REPORT: interim_stats(); break;
      case QLINT_QUIT: return -1;
      default: return 0;
    }
  }
}

// A fatal error during the run (exhausted memory): the statistics and an
// interim report, since draining an OPT look-ahead window needs memory.
static void stats_after_fatal(FILE *stream) {
  if (in_flight.on) {
    in_flight.on = false;
    count_records(in_flight.at);
  }
  report_kind = REPORT_AFTER_FATAL;
  sim_print_stats(stream);
  if (library_ready && repl == VANTLE_OPT &&
      trace_config != VANTLE_DIRECT_MAPPED)
    fprintf(stream, "sim: the run ended early: the report covers the "
                    "references that left the look-ahead window\n");
}

// Says on one line, before the statistics, why the run ended before its
// input did, if it did: ended_early by a signal or the debugger's q,
// cut_at_max by -trace:max.
static void note_early_end(bool ended_early, bool cut_at_max) {
  long long fed = static_cast<long long>(refs_fed);
  if (past_reference_limit) {
    ended_early_by = "reference limit";
    fprintf(stderr, "sim: reference limit of %lld reached; the rest of the "
            "input is not simulated\n", fed);
    return;
  }
  if (ended_early)
    ended_early_by = sim_end_signal == SIGINT    ? "SIGINT"
                     : sim_end_signal == SIGTERM ? "SIGTERM"
                     : sim_exit_now              ? "SIGUSR2"
                                                 : "debugger";
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
// input returns, whatever the input is doing.
// So is a family's child that ended while the input is silent.
static int signal_waiting() {
  if (several() && !family_failed && fam_any_gone(families, family_count))
    family_failed = true;
  return sim_dump_stats || sim_exit_now || family_failed;
}

void sim_main(void) {
  fatal_hook(stats_after_fatal);
  ld_on_wait(signal_waiting);
  ld_start();
  counter_t budget = qlint_active ? ask_debugger() : 0;
  bool ended_early = budget < 0, cut_at_max = false;
  while (!ended_early) {
    size_t cap = BATCH;
    if (budget > 0 && budget < BATCH) cap = static_cast<size_t>(budget);
    size_t n = ld_read(&batch_addrs, &batch_kinds, cap);
    // The signals are answered before the new batch is fed, so a report
    // covers exactly what was fed before the signal came.
    if (sim_exit_now) {
      ended_early = true;
      break;
    }
    if (sim_dump_stats) {
      sim_dump_stats = 0;
      interim_stats();
    }
    size_t used = several() ? feed_families(n) : feed(n);
    if (family_failed) break;
    // A record after either limit is never reached.
    if (ld_state() == LD_MALFORMED && !past_reference_limit &&
        !limit_reached())
      stop_at_malformed();
    bool over = n == 0 && ld_state() != LD_READING;  // not a signal's pause
    if (limit_reached()) {
      cut_at_max = input_left_at_max(used, n);
      break;
    }
    if (over || past_reference_limit) break;
    if (progress_on) show_progress(false);
    if (budget > 0 && (budget -= static_cast<counter_t>(n)) <= 0) {
      budget = ask_debugger();
      ended_early = budget < 0;
    }
  }
  if (progress_on) show_progress(true);
  note_early_end(ended_early, cut_at_max);
  bool stopped = ended_early || limit_reached() || past_reference_limit ||
                 family_failed;
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
