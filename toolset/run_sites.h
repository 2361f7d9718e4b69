// -sites: the run's results by the code that issued each reference. Owns
// the options (-sites, -sites:at, -sites:lines; -out:sites is out_files'),
// their checks, the sites of each batch (site_numbers.h) and, once the
// final report is written, the sites' rows grouped by function or line
// (sites_report.h) for the report section, -out:sites and the plot.
// Sites need the one family of a run fed in this process.
#ifndef VANTLE_TOOLSET_RUN_SITES_H_
#define VANTLE_TOOLSET_RUN_SITES_H_

#include <stddef.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "machine.h"
#include "options.h"
#include "toolset/sites_report.h"

// Registers -sites, -sites:at and -sites:lines.
void rsite_reg_options(opt_odb_t *odb);

// Null when the options go together, else why not (one line): -sites
// with several families, with -explain or with -trace:threads private,
// and -sites:at, -sites:lines or -out:sites without -sites.
const char *rsite_refusal(int families, bool explain, bool private_threads,
                          bool sites_output);

// Whether -sites is on; sites are numbered from rsite_start on.
bool rsite_on(void);
void rsite_start(void);

// The member -sites:at names among the family's rows (whose
// configuration the library gives before any reference); -1 with the
// reason in *error.
int rsite_check_member(std::string *error);

// The input is open: an input whose format records no instruction
// fetches has no sites, said once on stderr; the run then goes on
// without them.
void rsite_input_opened(bool has_kinds);

// The sites of the n records of the batch ld_read handed out last, or
// null when there are none.
const uint32_t *rsite_number(const md_addr_t *addrs,
                             const unsigned char *kinds, size_t n);

// After the final report: gathers every site's rows, names them, and
// writes the section of the functions that miss most to out. A trace
// that had no fetch gets the one line on stderr and no section.
void rsite_final(FILE *out);

// The groups rsite_final made (empty without sites), and the member.
const std::vector<function_rows> &rsite_groups(void);
int rsite_member(void);

#endif  // VANTLE_TOOLSET_RUN_SITES_H_
