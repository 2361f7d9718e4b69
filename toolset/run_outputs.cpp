// The content of a run's -out: files (run_outputs.h): owns the families'
// rows and descriptions while the files are written.
#include "toolset/run_outputs.h"

#include <stdlib.h>
#include <string.h>

#include "loader.h"
#include "toolset/export.h"
#include "toolset/out_files.h"
#include "toolset/run_families.h"
#include "toolset/run_sites.h"

namespace {

// The rows and description of every family.
struct run_results {
  family_results family[RF_MOST_FAMILIES];
  vantle_result *rows[RF_MOST_FAMILIES];
  explained_row *explained[RF_MOST_FAMILIES];  // -explain, or null
  char label[RF_MOST_FAMILIES][64];
  int count;
};

run_results results;

void gather_results(run_results *r, const char *ended_early) {
  r->count = rf_count();
  for (int i = 0; i < r->count; i++) {
    const fam_family *f = rf_family(i);
    r->explained[i] = nullptr;
    int n = rf_explaining() ? rf_explained(i, &r->rows[i], &r->explained[i])
                            : rf_rows(i, &r->rows[i]);
    const vantle_result *first = n ? r->rows[i] : nullptr;
    const char *name = family_name(first);
    // The legend names the policy, the first word of the family's name.
    int policy = first && first->organisation != VANTLE_DIRECT_MAPPED
                     ? static_cast<int>(strcspn(name, " "))
                     : 0;
    snprintf(r->label[i], sizeof r->label[i], "#%d%s%.*s%s%s", i + 1,
             policy ? " " : "", policy, name, f->kinds_given ? " " : "",
             f->kinds_given ? f->kinds : "");
    r->family[i] = {{name, f->spec, ld_name(), f->kinds,
                     static_cast<unsigned long long>(f->fed), ended_early},
                    r->label[i], r->rows[i], n, r->explained[i]};
  }
}

// Writes one -out: file: one family as always, several with their names;
// with -sites, the plot has the curves of the functions too.
int write_output(int kind, FILE *fd, void *context) {
  const run_results *r = static_cast<const run_results *>(context);
  const family_results &one = r->family[0];
  if (kind == OUT_SITES)
    return write_sites_table(fd, out_name(OUT_SITES), &one.run,
                             rsite_groups());
  if (kind == OUT_PLOT && !rsite_groups().empty())
    return write_sites_svg(fd, &one.run, one.rows, one.count, rsite_groups(),
                           rsite_member());
  if (r->count > 1)
    return kind == OUT_CSV    ? write_families_csv(fd, r->family, r->count)
           : kind == OUT_JSON ? write_families_json(fd, r->family, r->count)
                              : write_families_svg(fd, r->family, r->count);
  return kind == OUT_CSV ? write_results_csv(fd, one.rows, one.count,
                                             one.explained)
         : kind == OUT_JSON
             ? write_results_json(fd, &one.run, one.rows, one.count,
                                  one.explained)
             : write_results_svg(fd, &one.run, one.rows, one.count,
                                 one.explained);
}

}  // namespace

bool ro_write(const char *ended_early,
              bool (*give_up)(const char *option, const char *name)) {
  gather_results(&results, ended_early);
  bool written = out_write(write_output, &results, give_up);
  for (int i = 0; i < results.count; i++) {
    free(results.rows[i]);
    free(results.explained[i]);
  }
  return written;
}
