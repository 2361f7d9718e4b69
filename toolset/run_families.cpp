// The families of a run (run_families.h): owns the families, their sink,
// the limits of feeding (-trace:max, the library's reference limit) and
// whether feeding stopped at one, whether a family failed, and in a run
// per thread the family given and each family's thread.
#include "toolset/run_families.h"

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "loader.h"
#include "misc.h"
#include "toolset/cache_words.h"
#include "toolset/explanation.h"
#include "toolset/report_note.h"
#include "toolset/run_stats.h"

namespace {

// What a companion of a family does (-explain): a family of its own, fed
// what that family is fed in a process of its own, never reported; its
// counts explain the family's misses.
enum role { kThreeCs = 1, kOpt = 2 };

struct {
  // The families of the command line, then the companions.
  fam_family list[RF_MOST_FAMILIES];
  int count;  // of the command line
  int total;  // with the companions
  int companion_of[RF_MOST_FAMILIES];  // for a companion: its family
  int role[RF_MOST_FAMILIES];          // for a companion: its role
  bool explaining;        // -explain
  bool stores_recorded;   // the input records which references write
  const family_sink *sink;
  counter_t max;              // -trace:max; 0: none
  counter_t reference_limit;  // the library simulates no more
  bool past_reference_limit;  // feeding stopped before one past it
  bool failed;                // a family's process ended before its time
  bool (*answer)(void);       // answers a signal while a sink waits
  const fam_hooks *hooks;
  // A run per thread: the family given, which each thread's copies, and
  // each family's thread (its number in the run), process and program.
  bool per_thread;
  fam_family pattern;
  struct {
    unsigned number;
    int pid;
    char program[64];
    char spec[300];  // its family's name: "thread 2: <the family given>"
  } thread[RF_MOST_FAMILIES];
} run;

// The family of the thread whose references the loader handed out last,
// started when these are its first.
int thread_family(void) {
  unsigned number = ld_thread();
  for (int i = 0; i < run.count; i++)
    if (run.thread[i].number == number) return i;
  if (run.count == RF_MOST_FAMILIES)
    _fatal("run_families", "rf_feed", __LINE__, "-trace:threads private "
           "simulates %d threads at most, and the program started more; "
           "-trace:threads shared takes any number", RF_MOST_FAMILIES);
  int i = run.count++;
  run.total = run.count;  // a run per thread has no companions
  fam_family *f = &run.list[i];
  *f = run.pattern;
  f->process = nullptr;
  run.thread[i].number = number;
  run.thread[i].pid = ld_thread_process();
  snprintf(run.thread[i].program, sizeof run.thread[i].program, "%s",
           ld_thread_program());
  snprintf(run.thread[i].spec, sizeof run.thread[i].spec, "thread %u: %s",
           number, run.pattern.spec);
  f->spec = run.thread[i].spec;
  if (!run.sink->add(run.list, i, run.hooks)) run.failed = true;
  return i;
}

// The families the batch the loader handed out last goes to: every one
// with the companions, or in a run per thread its thread's.
void feeding(int *from, int *to) {
  *from = run.per_thread ? thread_family() : 0;
  *to = run.per_thread ? *from + 1 : run.total;
}

// How many of the n records counted by kind in by_kind f takes.
counter_t taking(const fam_family *f, const counter_t *by_kind) {
  counter_t sum = 0;
  for (int kind = 0; kind <= MD_REF_MODIFY; kind++)
    if (f->wanted[kind]) sum += by_kind[kind];
  return sum;
}

// The index just after the k-th record of the first n that f takes, or n
// when it takes fewer; *taken says how many up to there it takes.
size_t after_nth(const fam_family *f, const unsigned char *kinds, size_t n,
                 counter_t k, counter_t *taken) {
  counter_t seen = 0;
  size_t i = 0;
  for (; i < n && seen < k; i++) seen += f->wanted[kinds[i]];
  *taken = seen;
  return i;
}

// Where the first reference past the reference limit of any family lies
// among the n records (n when none is): no family takes it or anything
// after it. A family stopped first by -trace:max never gets there.
size_t before_reference_limit(const unsigned char *kinds, size_t n,
                              const counter_t *by_kind, int from, int to) {
  size_t end = n;
  for (int i = from; i < to; i++) {
    const fam_family *f = &run.list[i];
    counter_t want = taking(f, by_kind);
    if (run.max) want = std::min(want, run.max - f->fed);
    counter_t room = run.reference_limit - f->fed;
    if (want <= room) continue;
    counter_t taken;
    end = std::min(end, after_nth(f, kinds, n, room + 1, &taken) - 1);
    run.past_reference_limit = true;
  }
  return end;
}

// Feeds f, answering the run's signals while its sink waits; marks the run
// failed when f has gone.
void feed_family(fam_family *f, const md_addr_t *addrs,
                 const unsigned char *kinds, size_t take, counter_t taken) {
  for (;;) {
    fam_fed fed = run.sink->feed(f, addrs, kinds, take,
                                 static_cast<size_t>(taken));
    if (fed == FAM_FED) f->fed += taken;
    if (fed == FAM_GONE) run.failed = true;
    if (fed != FAM_ASKED || !run.answer || !run.answer()) return;
  }
}

// The companions' text is theirs: a run shows none of it.
FILE *discarded() {
  static FILE *sink = fopen("/dev/null", "w");
  if (!sink) sink = tmpfile();
  return sink;
}

// Has the library check f, family i or a companion of it (`what'), with
// the explanation it will be asked for; what it refuses ends the run,
// before anything is simulated or written.
void check_explained(fam_family *f, int i, const char *what) {
  char *said = nullptr;
  vantle_explain(f->explain);
  bool runs = cw_configure(f, &said);
  vantle_explain(0);
  if (runs) return;
  fputs(said, stderr);
  fprintf(stderr, "error: -explain: family %d of %d (`%s') cannot be "
          "explained: %s cannot run; nothing was simulated\n", i + 1,
          run.count, run.list[i].spec, what);
  exit(1);
}

// Adds a companion of family i in the given role: family i's words (with
// -Ropt for OPT), its kinds; checked as check_explained does. More
// processes than RF_MOST_FAMILIES end the run too.
void add_companion(int i, int what) {
  const fam_family *f = &run.list[i];
  if (run.total == RF_MOST_FAMILIES) {
    fprintf(stderr, "error: -explain: the families and their companions "
                    "would take more than %d processes\n", RF_MOST_FAMILIES);
    exit(1);
  }
  static char opt_word[] = "-Ropt";
  fam_family *c = &run.list[run.total];
  *c = *f;
  c->fed = 0;
  c->stores = false;
  c->explain = 0;
  if (what == kOpt && c->count < static_cast<int>(sizeof c->words /
                                                  sizeof c->words[0]))
    c->words[c->count++] = opt_word;
  if (what == kThreeCs)
    c->explain = VANTLE_EXPLAIN_COMPULSORY | VANTLE_EXPLAIN_FULLY_ASSOCIATIVE |
                 VANTLE_EXPLAIN_APART;
  check_explained(c, i, what == kOpt ? "the same family under OPT"
                                      : "its fully-associative LRU stacks");
  run.companion_of[run.total] = i;
  run.role[run.total++] = what;
}

// The companion of family i in the given role, or null.
fam_family *companion(int i, int what) {
  for (int c = run.count; c < run.total; c++)
    if (run.companion_of[c] == i && run.role[c] == what) return &run.list[c];
  return nullptr;
}

// Family i's companions' final reports, kept from the run's output, then
// the explanation of its misses. False when a companion failed.
bool explain_misses(int i, FILE *stream) {
  bool well = true;
  for (int c = run.count; c < run.total; c++) {
    if (run.companion_of[c] != i) continue;
    if (run.sink->final_report(&run.list[c], discarded())) continue;
    fprintf(stream, "sim: -explain: %s, which explains family %d of %d "
            "(`%s'), failed\n",
            run.role[c] == kOpt ? "the same family under OPT"
                                : "the fully-associative LRU stacks",
            i + 1, run.count, run.list[i].spec);
    well = false;
  }
  if (!well) return false;
  explained_row *x = nullptr;
  vantle_result *rows = nullptr;
  int n = rf_explained(i, &rows, &x);
  ex_print(stream, rows, x, n);
  free(rows);
  free(x);
  return true;
}

}  // namespace

bool rf_add(const char *spec, const char *kinds, char *why, size_t n) {
  if (run.count == RF_MOST_FAMILIES) {
    snprintf(why, n, "-cache:opts is given more than %d times",
             RF_MOST_FAMILIES);
    return false;
  }
  if (!cw_parse(&run.list[run.count], spec, kinds, why, n)) return false;
  run.total = ++run.count;
  return true;
}

int rf_count(void) { return run.count; }
const fam_family *rf_family(int i) { return &run.list[i]; }

void rf_check(void) {
  for (int i = 0; i < run.count; i++) {
    char *said = nullptr;
    if (cw_configure(&run.list[i], &said)) continue;
    fputs(said, stderr);
    if (run.count > 1)
      fprintf(stderr, "error: -cache:opts family %d of %d (`%s') cannot run; "
                      "nothing was simulated\n", i + 1, run.count,
              run.list[i].spec);
    exit(1);
  }
}

int rf_set_span_bits(void) {
  int bits = 0;
  for (int i = 0; i < run.count; i++)
    bits = std::max(bits, run.list[i].set_span_bits);
  return bits;
}

void rf_limits(counter_t max, counter_t reference_limit) {
  run.max = max;
  run.reference_limit = reference_limit;
}

void rf_on_asked(bool (*answer)(void)) { run.answer = answer; }

void rf_per_thread(void) { run.per_thread = true; }

bool rf_is_per_thread(void) { return run.per_thread; }

void rf_start(const fam_hooks *hooks) {
  run.hooks = hooks;
  if (run.per_thread) {  // the threads' families start as threads come
    run.pattern = run.list[0];
    run.count = run.total = 0;
  }
  run.sink = run.total > 1 || run.per_thread ? &kChildFamilies
             : fam_splits(&run.list[0])       ? &kWorkerFamily
                                              : &kLocalFamily;
  run.sink->start(run.list, run.total, hooks);
}

void rf_config(int i, FILE *stream) { run.sink->config(&run.list[i], stream); }

void rf_threads_note(FILE *stream, bool under_qemu, unsigned interleave) {
  if (run.per_thread)
    fprintf(stream, "sim: threads: private: each thread of the program "
            "feeds a family of its own (`%s'), reported after the run, then "
            "summed\n", run.pattern.spec);
  else if (under_qemu)
    fprintf(stream, "sim: threads: shared: every thread of every process "
            "feeds the one cache, the threads of a process in turns of at "
            "most %u references while several run\n", interleave);
  else
    fprintf(stream, "sim: threads: shared: every thread of every process "
            "feeds the one cache, as valgrind runs them\n");
}

void rf_introduce(FILE *stream, int i, const char *what) {
  if (run.per_thread)
    fprintf(stream, "\nsim: thread %u (process %d, `%s'): `%s'%s\n",
            run.thread[i].number, run.thread[i].pid, run.thread[i].program,
            run.pattern.spec, what);
  else if (run.count > 1)
    fprintf(stream, "\nsim: family %d of %d: `%s'%s\n", i + 1, run.count,
            run.list[i].spec, what);
}

size_t rf_feed(const md_addr_t *addrs, const unsigned char *kinds,
               const uint32_t *sites, size_t n) {
  counter_t by_kind[MD_REF_MODIFY + 1];
  rs_count_kinds(kinds, n, by_kind);
  int from, to;
  feeding(&from, &to);
  size_t end = before_reference_limit(kinds, n, by_kind, from, to);
  size_t used = 0;  // records before the last one any family took
  for (int i = from; i < to; i++) {
    fam_family *f = &run.list[i];
    counter_t room = (run.max ? run.max : run.reference_limit) - f->fed;
    if (room <= 0) continue;
    counter_t taken = taking(f, by_kind);
    size_t take = end;
    if (end < n || taken > room) take = after_nth(f, kinds, end, room, &taken);
    f->sites = sites;
    feed_family(f, addrs, kinds, take, taken);
    used = std::max(used, take);
  }
  // The statistics count the records up to the first one past the limit,
  // else up to the last one used.
  size_t counted = end < n ? end : used;
  if (counted == n)
    rs_add(n, by_kind);
  else
    rs_add_records(kinds, counted);
  return used;
}

bool rf_count_in_flight(const unsigned char *kinds) {
  size_t record;
  if (!run.sink || !run.sink->in_flight(&record)) return false;
  rs_add_records(kinds, record);
  return true;
}

bool rf_past_reference_limit(void) { return run.past_reference_limit; }

bool rf_at_max(void) {
  if (!run.max || run.total == 0) return false;
  for (int i = 0; i < run.total; i++)
    if (run.list[i].fed < run.max) return false;
  return true;
}

bool rf_failed(void) { return run.failed; }

bool rf_any_gone(void) {
  if (run.sink && !run.failed && run.sink->any_gone(run.list, run.total))
    run.failed = true;
  return run.failed;
}

void rf_interim_reports(FILE *stream, bool say_interim) {
  for (int i = 0; i < run.count; i++) {
    fam_family *f = &run.list[i];
    rf_introduce(stream, i, "");
    // The library heads every report "end of simulation".
    if (say_interim)
      fprintf(stream, "sim: interim report after %lld references; the run "
                      "goes on\n", static_cast<long long>(f->fed));
    if (run.sink->interim(f, stream)) continue;
    if (f->gone)
      run.failed = true;
    else  // stopped or wedged: the run goes on without its report
      fprintf(stream, "sim: family %d of %d (`%s') did not answer; its "
                      "interim report is left out\n", i + 1, run.count,
              f->spec);
  }
}

// Writes, for a run per thread, each cache's references and hits added up
// over the threads' families.
static void summed_report(FILE *stream) {
  vantle_result *sum = nullptr;
  int n = 0;
  for (int i = 0; i < run.count; i++) {
    vantle_result *rows = nullptr;
    int k = run.sink->rows(&run.list[i], &rows);
    if (!sum) {
      sum = rows;
      n = k;
      continue;
    }
    for (int j = 0; j < std::min(n, k); j++) {
      sum[j].references += rows[j].references;
      sum[j].hits += rows[j].hits;
    }
    free(rows);
  }
  fprintf(stream, "\nsim: the %d threads summed: each cache's references and "
          "hits added up over the threads' private caches\n", run.count);
  fprintf(stream, "%10s %8s %6s %12s %14s %14s %10s\n", "line bytes", "sets",
          "ways", "cache bytes", "references", "hits", "miss ratio");
  for (int j = 0; j < n; j++) {
    const vantle_result &r = sum[j];
    double ratio = r.references ? 1.0 - static_cast<double>(r.hits) /
                                            static_cast<double>(r.references)
                                : NAN;
    fprintf(stream, "%10u %8u %6u %12llu %14llu %14llu %10.6f\n", r.line_size,
            r.sets, r.associativity,
            static_cast<unsigned long long>(r.cache_size),
            static_cast<unsigned long long>(r.references),
            static_cast<unsigned long long>(r.hits), ratio);
  }
  free(sum);
}

bool rf_final_reports(FILE *stream) {
  run.sink->end_input(run.list, run.total);
  bool all_well = true;
  for (int i = 0; i < run.count; i++) {
    fam_family *f = &run.list[i];
    char what[64];
    snprintf(what, sizeof what, ": %lld references fed",
             static_cast<long long>(f->fed));
    rf_introduce(stream, i, what);
    report_watch watch;
    FILE *watched = watch_report(&watch, stream);
    bool well = run.sink->final_report(f, watched);
    explain_report(watched, &watch);
    if (!well) run.sink->say_failure(f, i, run.count, stream);
    if (well && run.explaining) well = explain_misses(i, stream);
    all_well = all_well && well;
  }
  // One thread's family is its own sum.
  if (run.per_thread && all_well && run.count > 1) summed_report(stream);
  return all_well;
}

int rf_rows(int i, vantle_result **rows) {
  return run.sink->rows(&run.list[i], rows);
}

void rf_explain(bool with_opt) {
  run.explaining = true;
  for (int i = 0; i < run.count; i++) {
    fam_family *f = &run.list[i];
    bool lru = f->policy == VANTLE_LRU;
    bool fa_lru = lru && f->organisation == VANTLE_FULLY_ASSOCIATIVE;
    // OPT families count no write-backs; a fully-associative LRU family's
    // misses are those of fully-associative LRU caches: it counts its
    // compulsory ones itself.
    f->stores = lru;
    f->explain = (lru ? VANTLE_EXPLAIN_WRITEBACKS : 0) |
                 (fa_lru ? VANTLE_EXPLAIN_COMPULSORY |
                               VANTLE_EXPLAIN_FULLY_ASSOCIATIVE
                         : 0);
    if (f->explain) check_explained(f, i, "the family with its write-backs");
    if (!fa_lru) add_companion(i, kThreeCs);
    if (with_opt && lru && f->organisation != VANTLE_DIRECT_MAPPED)
      add_companion(i, kOpt);
  }
}

bool rf_explaining(void) { return run.explaining; }

void rf_stores_recorded(bool recorded) { run.stores_recorded = recorded; }

int rf_explained(int i, vantle_result **rows, explained_row **explained) {
  fam_family *f = &run.list[i];
  ex_sources s = {};
  vantle_explained *own = nullptr, *three_cs = nullptr;
  vantle_result *opt = nullptr;
  s.count = run.sink->rows(f, rows);
  s.rows = *rows;
  s.own_count = run.sink->explanation(f, &own);
  // Without stores in the input, the write-backs say nothing.
  if (!run.stores_recorded)
    for (int k = 0; k < s.own_count; k++)
      own[k].writebacks = own[k].dirty_at_end = VANTLE_NOT_COUNTED;
  s.own = own;
  if (fam_family *c = companion(i, kThreeCs))
    s.three_cs_count = run.sink->explanation(c, &three_cs);
  s.three_cs = three_cs;
  if (fam_family *c = companion(i, kOpt)) s.opt_count = run.sink->rows(c, &opt);
  s.opt = opt;
  *explained = static_cast<explained_row *>(
      calloc(s.count > 0 ? s.count : 1, sizeof(explained_row)));
  if (!*explained) {
    s.count = 0;
  } else {
    ex_combine(&s, *explained);
  }
  free(own);
  free(three_cs);
  free(opt);
  return s.count;
}
