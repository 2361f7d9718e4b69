// Writers of a run's results for other programs and for people: CSV and
// JSON tables of the vantle_results rows (export.cpp), and an SVG
// miss-ratio plot (plot_svg.cpp).
#ifndef VANTLE_TOOLSET_EXPORT_H_
#define VANTLE_TOOLSET_EXPORT_H_

#include <stdio.h>

#include "libvantle/libvantle.h"

// What the run was, for the JSON header and the plot's title.
struct run_description {
  const char *family;   // e.g. "OPT-bypass Set-associative"
  const char *options;  // the library's option words
  const char *input;    // trace file or program name
  const char *kinds;    // the reference kinds fed (-trace:refs)
  unsigned long long references;  // references fed to the library
  const char *ended_early;  // what ended the run before its input did
                            // (e.g. "SIGUSR2", "-trace:max"), or null
};

// Why one configuration misses, and what its misses cost (-explain),
// beside its row. A count not known is VANTLE_NOT_COUNTED; conflict is
// known with the other two Cs.
struct explained_row {
  uint64_t compulsory;  // first references to a line
  uint64_t capacity;    // fully-associative LRU misses, less compulsory
  int64_t conflict;     // the rest; negative where the row misses less
  uint64_t opt_misses;  // the same configuration under OPT
  uint64_t writebacks, bytes_to_memory, dirty_at_end;
};

// One family of a run of several.
struct family_results {
  run_description run;   // its options are the -cache:opts value as given
  const char *label;     // names it in a plot's legend, e.g. "#2 OPT data"
  const vantle_result *rows;
  int count;
  const explained_row *explained = nullptr;  // beside rows (-explain)
};

// The family's display name: policy and organisation ("Direct-mapped"
// alone for the direct-mapped family), as the library names them.
// Set-associative OPT is "OPT-bypass": a missing line need not be loaded.
const char *family_name(const vantle_result *first_row);

// The library's name of an organisation ("Set-associative"); a code no
// family has reads as the default organisation.
const char *organisation_title(int organisation);

// A JSON string of text (null as ""): quotes, backslashes and control
// characters escaped, bytes that are not UTF-8 as U+FFFD.
void put_json_string(FILE *out, const char *text);

// A CSV field as RFC 4180 has it: quoted, its quotes doubled, when it
// holds a comma, a quote or a line end.
void put_csv_field(FILE *out, const char *text);

// A row as -out:json writes it, from its "{" to its miss ratio: the
// caller adds any more fields and the closing "}".
void put_json_row(FILE *out, const vantle_result &row);

// Writes a header line and one line per row; with explained (-explain,
// one beside each row) the explanation's fields follow the row's, empty
// where not counted. Returns 0, or -1 when the stream reports an error.
int write_results_csv(FILE *out, const vantle_result *rows, int count,
                      const explained_row *explained = nullptr);

// Writes one JSON object: the run's description and its rows; with
// explained, each row has the explanation's fields too, null where not
// counted. Returns 0, or -1 when the stream reports an error.
int write_results_json(FILE *out, const run_description *run,
                       const vantle_result *rows, int count,
                       const explained_row *explained = nullptr);

// Writes an SVG plot of the miss ratios against what varies in the family:
// cache size (fully associative; set associative with one set count or
// one associativity), number of sets with one curve per associativity
// (set associative), or line size (direct mapped); logarithmic x axis,
// sizes in KiB and MiB. With explained, a second panel below stacks each
// configuration's misses: compulsory, capacity and conflict. Returns 0,
// or -1 when the stream reports an error.
int write_results_svg(FILE *out, const run_description *run,
                      const vantle_result *rows, int count,
                      const explained_row *explained = nullptr);

// The same three for several families. CSV: a first column, family, holds
// each row's -cache:opts value. JSON: one object, the input and an array
// of families, each as write_results_json's object without the input.
// SVG: one panel per organisation, each with the curves of every family of
// that organisation, named by the family's label; the set-associative
// panel runs over cache size unless every family in it varies in both
// sets and ways. Every legend has one font size; the picture widens to
// hold the longest entry. With -explain (families' explained), the CSV and
// JSON rows carry the explanation's fields, and the SVG adds a panel per
// family that stacks its misses.
int write_families_csv(FILE *out, const family_results *families, int count);
int write_families_json(FILE *out, const family_results *families,
                        int count);
int write_families_svg(FILE *out, const family_results *families, int count);

#endif  // VANTLE_TOOLSET_EXPORT_H_
