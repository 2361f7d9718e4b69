// The statistics of a run's references: how many were read from the input,
// how many fed the cache (of the run-wide selection of kinds, -trace:refs,
// or the one family's own), and how many of each kind were read. Counted
// by batch, once a batch's records are used.
#ifndef VANTLE_TOOLSET_RUN_STATS_H_
#define VANTLE_TOOLSET_RUN_STATS_H_

#include <stddef.h>

#include "machine.h"
#include "stats.h"

// Sets the kinds that count as fed (indexed by md_ref_kind).
void rs_select(const bool *wanted);
// Whether kind counts as fed.
bool rs_wants(int kind);

// Registers the statistics (sim_num_refs, ...; sim_num_procs for a
// traced program) in sdb.
void rs_reg_stats(stat_sdb_t *sdb, bool program);

// Fills by_kind (by md_ref_kind) with the counts of records 0..n-1 of the
// batch the loader handed out last (kinds), taking them from the loader
// when they came counted.
void rs_count_kinds(const unsigned char *kinds, size_t n, counter_t *by_kind);

// Adds n records, by_kind of each kind, to the statistics.
void rs_add(size_t n, const counter_t *by_kind);
// Adds records 0..n-1 of the batch.
void rs_add_records(const unsigned char *kinds, size_t n);

counter_t rs_read(void);  // references read
counter_t rs_fed(void);   // references fed

#endif  // VANTLE_TOOLSET_RUN_STATS_H_
