// The explanation of a family's misses that does not depend on its
// replacement: the compulsory misses of every configuration, and the
// misses of the fully-associative LRU cache of its size and line size.
// The write-backs are each family's own (its access_store entry).
#ifndef VANTLE_LIBVANTLE_EXPLAIN_H_
#define VANTLE_LIBVANTLE_EXPLAIN_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

// The family's results call, from which the explanation learns the line
// size and size of every configuration.
typedef int (*explain_results_fn)(vantle_result *rows, int capacity);

// Bytes init_explain allocates for the parts and the configured family
// (what the trace adds later, the lines in the stacks, is not counted).
// Reads the configuration variables.
uint64_t footprint_explain(unsigned parts);
// Readies the parts asked for (VANTLE_EXPLAIN_COMPULSORY,
// VANTLE_EXPLAIN_FULLY_ASSOCIATIVE; the others are ignored) after the
// family's own initialiser. Ends through _fatal when memory is out.
void init_explain(unsigned parts, explain_results_fn results);
// Counts one reference to the byte address addr.
void explain_reference(md_addr_t addr);
// Sets compulsory and fully_associative_misses of rows[0 .. count-1], one
// per configuration in the order of results, VANTLE_NOT_COUNTED where a
// part was not asked for.
void explain_fill(vantle_explained *rows, int count);

#endif  // VANTLE_LIBVANTLE_EXPLAIN_H_
