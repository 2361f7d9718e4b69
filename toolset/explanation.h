// -explain: why each configuration of a family misses and what its misses
// cost the memory bus, from the family's own counts and its companions'
// (run_families.h): the rows of the -out: files and the sim: section after
// the family's report.
#ifndef VANTLE_TOOLSET_EXPLANATION_H_
#define VANTLE_TOOLSET_EXPLANATION_H_

#include <stdio.h>

#include "toolset/export.h"

// What a family and its companions counted, each null (count 0) when it
// has none: the family's rows and explanation (its write-backs; a
// fully-associative LRU family's compulsory and own misses), the
// three-Cs companion's explanation (compulsory and fully-associative
// misses), the OPT companion's rows.
struct ex_sources {
  const vantle_result *rows;
  int count;
  const vantle_explained *own;
  int own_count;
  const vantle_explained *three_cs;
  int three_cs_count;
  const vantle_result *opt;
  int opt_count;
};

// Fills out[0 .. s->count - 1], one per row.
void ex_combine(const ex_sources *s, explained_row *out);

// Writes the sim: section of a family: a heading, what its columns mean,
// and a row per configuration (count rows and their explanation).
void ex_print(FILE *to, const vantle_result *rows, const explained_row *x,
              int count);

#endif  // VANTLE_TOOLSET_EXPLANATION_H_
