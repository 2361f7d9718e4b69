// -sites (run_sites.h). Owns the options' values, whether sites are being
// numbered, and the groups of the final sites' rows.
#include "toolset/run_sites.h"

#include <stdio.h>

#include <string>

#include "libvantle/libvantle.h"
#include "loader.h"
#include "toolset/site_numbers.h"

namespace {

struct {
  int sites;           // -sites
  char *at;            // -sites:at, null when not given
  int lines;           // -sites:lines
  bool numbering;      // on, with an input that records fetches
  bool no_sites_said;
  int member;
  std::vector<function_rows> groups;
} run;

void say_no_sites(void) {
  if (run.no_sites_said) return;
  run.no_sites_said = true;
  fprintf(stderr, "sim: -sites: `%s' records no instruction fetches, so "
                  "its references have no sites; no site output\n",
          ld_name());
}

}  // namespace

void rsite_reg_options(opt_odb_t *odb) {
  opt_reg_flag(odb, "-sites",
               "after the report, the functions whose references miss "
               "most, with their miss ratios (also -out:sites, -out:plot)",
               &run.sites, 0, 0, nullptr);
  opt_reg_string(odb, "-sites:at",
                 "with -sites, the cache the functions are ranked at: "
                 "largest, #N (a row of -out:csv), SETSxWAYS or a size "
                 "(32K)", &run.at, nullptr, 1, nullptr);
  opt_reg_flag(odb, "-sites:lines",
               "with -sites, by source line (from debug information) "
               "rather than by function", &run.lines, 0, 0, nullptr);
}

const char *rsite_refusal(int families, bool explain, bool private_threads,
                          bool sites_output) {
  if (!run.sites)
    return run.at || run.lines || sites_output
               ? "-sites:at, -sites:lines and -out:sites need -sites"
               : nullptr;
  if (families > 1)
    return "-sites takes one -cache:opts family; run each family apart";
  if (explain) return "-sites takes no -explain; run them apart";
  if (private_threads)
    return "-sites takes -trace:threads shared, not private";
  return nullptr;
}

bool rsite_on(void) { return run.sites; }

void rsite_start(void) {
  if (!run.sites) return;
  run.numbering = true;
  sn_start();
}

int rsite_check_member(std::string *error) {
  int n = vantle_results(nullptr, 0);
  std::vector<vantle_result> rows(n > 0 ? n : 1);
  vantle_results(rows.data(), n);
  run.member = sites_member(run.at ? run.at : "", rows.data(), n, error);
  return run.member;
}

void rsite_input_opened(bool has_kinds) {
  if (!run.numbering || has_kinds) return;
  run.numbering = false;
  say_no_sites();
}

const uint32_t *rsite_number(const md_addr_t *addrs,
                             const unsigned char *kinds, size_t n) {
  if (!run.numbering) return nullptr;
  return sn_number(addrs, kinds, n, ld_thread(), ld_thread_process(),
                   ld_is_program() && ld_tracer() == LD_TRACER_VALGRIND);
}

void rsite_final(FILE *out) {
  if (!run.numbering) return;
  if (!sn_any_fetch()) {
    say_no_sites();
    return;
  }
  uint32_t count = vantle_site_count();
  int members = vantle_results(nullptr, 0);
  std::vector<vantle_result> rows(size_t{count} * members + 1);
  for (uint32_t s = 0; s < count; s++)
    vantle_site_results(s, &rows[size_t{s} * members], members);
  std::vector<site_name> names = sn_names(count, run.lines);
  run.groups = group_sites(names.data(), rows.data(), count, members,
                           run.member, run.lines);
  write_sites_report(out, run.groups, run.member, run.lines);
}

const std::vector<function_rows> &rsite_groups(void) { return run.groups; }
int rsite_member(void) { return run.member; }
