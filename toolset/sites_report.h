// The outputs of a run's per-site results (-sites): sites grouped by
// function (or by source line), the report section of the functions that
// miss most, the -out:sites table (CSV or JSON) and the plot of the top
// functions' miss-ratio curves (plot_svg.cpp). A site is one instruction
// address; its rows are the family's rows counting only its references.
#ifndef VANTLE_TOOLSET_SITES_REPORT_H_
#define VANTLE_TOOLSET_SITES_REPORT_H_

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "libvantle/libvantle.h"
#include "toolset/export.h"
#include "toolset/site_names.h"

// The sites of one function (module and name), or of one source line.
struct function_rows {
  site_name name;  // file and line are kept only when grouped by line
  std::vector<vantle_result> rows;  // one per member of the family:
                                    // references and hits summed over
                                    // the sites, the miss ratio theirs
};

// Groups sites[0 .. count-1]: names[s] names site s, and rows[s * members
// .. s * members + members - 1] are its rows (the family's members, in
// report order). Sites of one module and function are one group; by_line,
// of one module, function, source file and line. Returns the groups in
// descending order of their misses at row member, ties by name.
std::vector<function_rows> group_sites(const site_name *names,
                                       const vantle_result *rows,
                                       size_t count, int members, int member,
                                       bool by_line);

// The member (a row index) that -sites:at names among the family's rows:
// "" or "largest", the largest cache (the last row of the largest size);
// "#N", row N counted from 1 (the order of -out:csv); "SETSxWAYS", e.g.
// "64x8", a set-associative member; a size, "32768", "32K", "32KiB",
// "1M" or "1MiB", the one member of that size. Returns -1, with a one-line
// reason in *error, for text that names no member or a size several share.
int sites_member(const char *at, const vantle_result *rows, int members,
                 std::string *error);

// How the report names a member: "64 sets x 8 ways (32 KiB, 64-byte
// lines)", "32 KiB (64-byte lines)" or "32 KiB, 64-byte lines".
std::string member_label(const vantle_result &row);

// The report section after the family's report: the 20 groups with the
// most misses at row member (groups sorted as group_sites returns them),
// each with its references, misses, share of all misses at member, and
// miss ratio at the smallest, the chosen and the largest member; aligned
// columns under a line that names the member.
void write_sites_report(FILE *out, const std::vector<function_rows> &groups,
                        int member, bool by_line);

// -out:sites: every group's rows. CSV: one line per group and member:
// function, module, source file and line (empty when not known), the
// member (sets, associativity, line size, cache size), references, hits
// and miss ratio. JSON: the run's description and an array of groups,
// each with its name's fields (null when not known) and its rows, as
// -out:json writes rows. Returns
// 0, or -1 when the stream reports an error.
int write_sites_csv(FILE *out, const std::vector<function_rows> &groups);
int write_sites_json(FILE *out, const run_description *run,
                     const std::vector<function_rows> &groups);

// -out:sites FILE: write_sites_json when name ends in ".json" (in any
// case), else write_sites_csv.
int write_sites_table(FILE *out, const char *name, const run_description *run,
                      const std::vector<function_rows> &groups);

// -out:plot with -sites: the family's plot over the same axis, with the
// family's own curve ("all code") and those of the 8 groups first in
// order; a set-associative family varying in sets and ways is drawn at
// the associativity of row member. Returns 0, or -1 on a stream error.
int write_sites_svg(FILE *out, const run_description *run,
                    const vantle_result *rows, int members,
                    const std::vector<function_rows> &groups, int member);

#endif  // VANTLE_TOOLSET_SITES_REPORT_H_
