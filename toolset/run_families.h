// The families of a run, one per -cache:opts value, and their sink: the
// library in this process for one family, a child process each for
// several (family_sink.h). Feeds them each batch of the input, -trace:max
// holding per family and the library's reference limit ending the run
// before the first reference past any family's; asks them for their
// reports, and for their rows.
#ifndef VANTLE_TOOLSET_RUN_FAMILIES_H_
#define VANTLE_TOOLSET_RUN_FAMILIES_H_

#include <stddef.h>
#include <stdio.h>

#include "toolset/export.h"
#include "toolset/family_sink.h"

enum { RF_MOST_FAMILIES = 64 };

// Adds the family of one -cache:opts value (kinds: the run-wide selection,
// used when the value names none). False, with why (of size n) saying
// what is wrong, when the value is refused (cache_words.h) or would be one
// more than RF_MOST_FAMILIES.
bool rf_add(const char *spec, const char *kinds, char *why, size_t n);

int rf_count(void);
const fam_family *rf_family(int i);

// Has the library check every family's words. The first family it refuses
// ends the process with status 1, after what the library said (and, with
// several families, a line naming the family).
void rf_check(void);

// The largest set span of the families (vantle_set_span_bits).
int rf_set_span_bits(void);

// Sets -trace:max (0: none) and the library's reference limit.
void rf_limits(counter_t max, counter_t reference_limit);

// Has answer() called while a sink waits and a signal wants an answer: it
// answers, and returns false when the run is to end.
void rf_on_asked(bool (*answer)(void));

// Makes the run one per thread (before rf_start; one family given): each
// thread of the traced program feeds a family of its own, a copy of the
// one given, started as the thread's first references come (in a child
// process each, RF_MOST_FAMILIES threads at most); the final reports are
// each thread's, then their sum.
void rf_per_thread(void);
bool rf_is_per_thread(void);

// Starts the families in their sink.
void rf_start(const fam_hooks *hooks);

// Says how the threads of a traced program feed the cache: shared (under
// QEMU, in turns of interleave references) or one family each.
void rf_threads_note(FILE *stream, bool under_qemu, unsigned interleave);

// Writes family i's parameters (and the note after them).
void rf_config(int i, FILE *stream);

// Writes, with several families, the line that introduces family i's part
// of a report ("\nsim: family 2 of 3: `-Cfa'" and what, or in a run per
// thread "\nsim: thread 2 (process 812, `xz'): `-Cfa'"); nothing for one.
void rf_introduce(FILE *stream, int i, const char *what);

// Feeds the families records 0..n-1 of the batch the loader handed out
// (addrs, kinds, and with -sites each record's site, else null) and
// counts the records used in the statistics (run_stats.h); returns how
// many records precede the last one any family took.
size_t rf_feed(const md_addr_t *addrs, const unsigned char *kinds,
               const uint32_t *sites, size_t n);

// The record of the batch being fed when a fatal error ends the run inside
// the library, counted in the statistics; false when none is.
bool rf_count_in_flight(const unsigned char *kinds);

// Whether the run stopped before the first reference past a family's
// reference limit.
bool rf_past_reference_limit(void);
// Whether every family has its fill of -trace:max.
bool rf_at_max(void);
// Whether a family's process ended before its time, as feeding or a report
// found; rf_any_gone asks the sink too (without waiting).
bool rf_failed(void);
bool rf_any_gone(void);

// Every family's interim report, each after its introduction; with
// say_interim, a line saying the run goes on first. A family that does not
// answer is left out, said in a line.
void rf_interim_reports(FILE *stream, bool say_interim);

// Every family's final report, each after its introduction and followed
// by the note on a report past its line limit; a family that failed is
// said in a line. True when every family ended well.
bool rf_final_reports(FILE *stream);

// Family i's result rows, which the caller frees; returns how many.
int rf_rows(int i, vantle_result **rows);

// -explain, after rf_check and before rf_start: every family counts its
// write-backs (LRU and direct-mapped; its references then come with their
// store marks), and gets its companions, each a family of its own fed what
// it is fed, never reported: the fully-associative LRU stacks and the
// compulsory misses of its three Cs (a fully-associative LRU family counts
// these itself), and with_opt, for an LRU family with ways, the same
// family under OPT. A companion the library refuses, or more than RF_MOST_FAMILIES
// processes in all, end the process with status 1. Each final report is
// then followed by its explanation (explanation.h).
void rf_explain(bool with_opt);
bool rf_explaining(void);
// Whether the input records which references write; without, no
// write-back is shown.
void rf_stores_recorded(bool recorded);
// Family i's result rows and their explanation, which the caller frees
// (after its final report); returns how many.
int rf_explained(int i, vantle_result **rows, explained_row **explained);

#endif  // VANTLE_TOOLSET_RUN_FAMILIES_H_
