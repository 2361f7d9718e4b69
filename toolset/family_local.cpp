// The family of a run of one, fed to the library in this process
// (kLocalFamily, family_sink.h). Owns the record of the batch being fed,
// which a fatal error inside the library needs to count what it was given.
#include <stdlib.h>

#include "libvantle/util.h"
#include "toolset/family_sink.h"

namespace {

// How the library takes references, asked once after vantle_init:
// vantle_line_bits and vantle_takes_batches.
struct fam_intake {
  int line_bits;
  bool whole_batches;
};
fam_intake fam_intake_of_library(void);

// Feeds the library of this process the references addrs[i], i from 0 to
// count - 1, that it wants: those with wanted[kinds[i]], or every one when
// kinds is null. Every one goes in one call where the library takes
// batches whole; otherwise each run of one line does where it counts
// repeats at once. *at follows the record being fed, the first of its run
// (nothing can end the process inside a whole batch).
void fam_feed_runs(const md_addr_t *addrs, const unsigned char *kinds,
                   const bool *wanted, size_t count, fam_intake intake,
                   size_t *at);

// -sites: the references of a batch that the family wants, with their
// sites and the records they came from, side by side for
// vantle_access_batch_at.
struct sited_batch {
  md_addr_t *addrs;
  uint32_t *sites;
  size_t *records;
  size_t count, capacity;
};
sited_batch sited;

void fam_feed_sites(const md_addr_t *addrs, const unsigned char *kinds,
                    const uint32_t *sites, const bool *wanted, size_t count,
                    fam_intake intake, size_t *at);

// While on, the library is being given record `at` of the batch.
struct {
  bool on;
  size_t at;
} feeding;

// How this process's library takes references.
fam_intake intake = {-1, false};

const fam_hooks *hooks;

void start(fam_family *families, int, const fam_hooks *given) {
  hooks = given;
  vantle_explain(families[0].explain);
  vantle_init(families[0].count, families[0].words);
  intake = fam_intake_of_library();
}

void config(fam_family *, FILE *to) {
  vantle_config(to);
  if (hooks->after_config) hooks->after_config(to);
}

fam_fed feed(fam_family *f, const md_addr_t *addrs,
             const unsigned char *kinds, size_t take, size_t) {
  feeding.on = true;
  if (f->sites) {
    fam_feed_sites(addrs, kinds, f->sites, f->wanted, take, intake,
                   &feeding.at);
  } else if (f->stores) {
    for (size_t i = 0; i < take; i++) {
      if (!f->wanted[kinds[i]]) continue;
      feeding.at = i;
      vantle_access_store(addrs[i], fam_stores(kinds[i]));
    }
  } else {
    fam_feed_runs(addrs, f->wanted[MD_REF_NONE] ? nullptr : kinds, f->wanted,
                  take, intake, &feeding.at);
  }
  feeding.on = false;
  return FAM_FED;
}

bool interim(fam_family *, FILE *to) {
  vantle_stats(to, 1);
  return true;
}

void end_input(fam_family *, int) {}

bool final_report(fam_family *, FILE *to) {
  vantle_stats(to, 0);
  return true;
}

void say_failure(const fam_family *, int, int, FILE *) {}

int rows(fam_family *, vantle_result **out) {
  int n = vantle_results(nullptr, 0);
  *out = static_cast<vantle_result *>(checked_calloc(
      n ? n : 1, sizeof(vantle_result), "sim_vantle", "gather_results",
      __LINE__));
  vantle_results(*out, n);
  return n;
}

bool any_gone(fam_family *, int) { return false; }

int explanation(fam_family *f, vantle_explained **out) {
  *out = nullptr;
  if (!f->explain) return 0;
  int n = vantle_explanation(nullptr, 0);
  *out = static_cast<vantle_explained *>(checked_calloc(
      n ? n : 1, sizeof(vantle_explained), "family_local", "explanation",
      __LINE__));
  vantle_explanation(*out, n);
  return n;
}

bool in_flight(size_t *record) {
  if (!feeding.on) return false;
  feeding.on = false;
  *record = feeding.at;
  return true;
}

fam_intake fam_intake_of_library(void) {
  return {vantle_line_bits(), vantle_takes_batches() != 0};
}

void fam_feed_runs(const md_addr_t *addrs, const unsigned char *kinds,
                   const bool *wanted, size_t count, fam_intake intake,
                   size_t *at) {
  if (!kinds && intake.whole_batches) {
    *at = 0;
    vantle_access_batch(addrs, count);
    return;
  }
  auto wants = [&](size_t i) { return !kinds || wanted[kinds[i]]; };
  int line_bits = intake.line_bits;
  if (line_bits < 0) {
    for (size_t i = 0; i < count; i++) {
      if (!wants(i)) continue;
      *at = i;
      vantle_access(addrs[i]);
    }
    return;
  }
  for (size_t i = 0; i < count;) {
    if (!wants(i)) {
      i++;
      continue;
    }
    // The run goes on over references the family does not take.
    md_addr_t line = addrs[i] >> line_bits;
    size_t next = i + 1;
    uint64_t run = 1;
    for (; next < count; next++) {
      if (!wants(next)) continue;
      if (addrs[next] >> line_bits != line) break;
      run++;
    }
    *at = i;
    if (run == 1)
      vantle_access(addrs[i]);
    else
      vantle_access_repeat(addrs[i], run);
    i = next;
  }
}

// Room in sited for count references.
void make_room(size_t count) {
  if (count <= sited.capacity) return;
  free(sited.addrs);
  free(sited.sites);
  free(sited.records);
  const char *unit = "family_local", *routine = "make_room";
  sited.addrs = static_cast<md_addr_t *>(
      checked_calloc(count, sizeof(md_addr_t), unit, routine, __LINE__));
  sited.sites = static_cast<uint32_t *>(
      checked_calloc(count, sizeof(uint32_t), unit, routine, __LINE__));
  sited.records = static_cast<size_t *>(
      checked_calloc(count, sizeof(size_t), unit, routine, __LINE__));
  sited.capacity = count;
}

// The references with kinds the family wants go, with their sites, to
// vantle_access_batch_at: in one call where the library takes batches
// whole (it can end the process only before the first is counted), else
// each run of one line by one site apart, *at at its first record.
void fam_feed_sites(const md_addr_t *addrs, const unsigned char *kinds,
                    const uint32_t *sites, const bool *wanted, size_t count,
                    fam_intake intake, size_t *at) {
  if (wanted[MD_REF_NONE] && intake.whole_batches) {  // every one wanted
    *at = 0;
    vantle_access_batch_at(addrs, sites, count);
    return;
  }
  make_room(count);
  size_t n = 0;
  for (size_t i = 0; i < count; i++) {
    if (!wanted[kinds[i]]) continue;
    sited.addrs[n] = addrs[i];
    sited.sites[n] = sites[i];
    sited.records[n++] = i;
  }
  if (intake.whole_batches) {
    *at = 0;
    vantle_access_batch_at(sited.addrs, sited.sites, n);
    return;
  }
  int bits = intake.line_bits;
  for (size_t j = 0, next; j < n; j = next) {
    for (next = j + 1; bits >= 0 && next < n &&
                       sited.sites[next] == sited.sites[j] &&
                       sited.addrs[next] >> bits == sited.addrs[j] >> bits;
         next++) {
    }
    *at = sited.records[j];
    vantle_access_batch_at(sited.addrs + j, sited.sites + j, next - j);
  }
}

}  // namespace

const family_sink kLocalFamily = {start,       config,    feed,
                                  interim,     end_input, final_report,
                                  say_failure, rows,      any_gone,
                                  in_flight,   explanation, nullptr};
