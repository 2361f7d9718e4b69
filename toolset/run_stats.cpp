// The statistics of a run's references (run_stats.h): owns the counters
// and the selection that counts as fed; adds the instruction fetches to
// the shared sim_num_insn (sim.h). Reads the loader's facts (kinds,
// counted batches, processes traced) and sim_elapsed_time.
#include "toolset/run_stats.h"

#include <string.h>

#include "loader.h"
#include "sim.h"

namespace {

struct {
  counter_t read, fed, loads, stores, modifies;
  bool wanted[MD_REF_MODIFY + 1];  // by md_ref_kind
} counts;

double ref_rate(void) {
  int seconds = sim_elapsed_time > 0 ? sim_elapsed_time : 1;
  return static_cast<double>(counts.fed) / seconds;
}

double processes_traced(void) {
  return static_cast<double>(ld_processes_traced());
}

}  // namespace

void rs_select(const bool *wanted) {
  memcpy(counts.wanted, wanted, sizeof counts.wanted);
}

bool rs_wants(int kind) { return counts.wanted[kind]; }

void rs_reg_stats(stat_sdb_t *sdb, bool program) {
  stat_reg_counter(sdb, "sim_num_refs", "references read from the input",
                   &counts.read, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_fed", "references fed to the cache",
                   &counts.fed, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_insn", "instruction fetches read",
                   &sim_num_insn, 0, nullptr);
  stat_reg_counter(sdb, "sim_num_loads", "loads read", &counts.loads, 0,
                   nullptr);
  stat_reg_counter(sdb, "sim_num_stores", "stores read", &counts.stores, 0,
                   nullptr);
  stat_reg_counter(sdb, "sim_num_modifies",
                   "modifies read (each one data reference)",
                   &counts.modifies, 0, nullptr);
  if (program)
    stat_reg_formula(sdb, "sim_num_procs",
                     "processes traced (forked ones included; an exec keeps "
                     "its process)",
                     processes_traced, "%.0f");
  stat_reg_int(sdb, "sim_elapsed_time",
               "total simulation time in seconds", &sim_elapsed_time, 0,
               nullptr);
  stat_reg_formula(sdb, "sim_ref_rate",
                   "references fed per second", ref_rate, "%.0f");
}

// One pass per kind: each vectorises, where counting all kinds in one pass
// waits on the counter just incremented.
void rs_count_kinds(const unsigned char *kinds, size_t n,
                    counter_t *by_kind) {
  if (ld_counted(n, by_kind)) return;
  if (!ld_has_kinds()) {
    memset(by_kind, 0, (MD_REF_MODIFY + 1) * sizeof *by_kind);
    by_kind[MD_REF_NONE] = static_cast<counter_t>(n);
    return;
  }
  for (int kind = 0; kind <= MD_REF_MODIFY; kind++) {
    uint32_t c = 0;  // a batch's count fits, and 32-bit sums vectorise wider
    for (size_t i = 0; i < n; i++) c += kinds[i] == kind;
    by_kind[kind] = c;
  }
}

void rs_add(size_t n, const counter_t *by_kind) {
  counts.read += static_cast<counter_t>(n);
  if (!ld_has_kinds()) {
    counts.fed += static_cast<counter_t>(n);
    return;
  }
  for (int kind = 0; kind <= MD_REF_MODIFY; kind++)
    if (counts.wanted[kind]) counts.fed += by_kind[kind];
  sim_num_insn += by_kind[MD_REF_INST];
  counts.loads += by_kind[MD_REF_LOAD];
  counts.stores += by_kind[MD_REF_STORE];
  counts.modifies += by_kind[MD_REF_MODIFY];
}

void rs_add_records(const unsigned char *kinds, size_t n) {
  counter_t by_kind[MD_REF_MODIFY + 1];
  rs_count_kinds(kinds, n, by_kind);
  rs_add(n, by_kind);
}

counter_t rs_read(void) { return counts.read; }
counter_t rs_fed(void) { return counts.fed; }
