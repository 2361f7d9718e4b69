// The explanation of a family's misses (vantle_explain): what does not
// depend on its replacement, the compulsory misses of every configuration
// and the misses of the fully-associative LRU cache of its size and line
// size; and the route of every reference to it and to the family's own
// count of write-backs.
#ifndef VANTLE_LIBVANTLE_EXPLAIN_H_
#define VANTLE_LIBVANTLE_EXPLAIN_H_

#include <stdint.h>

#include "libvantle/libvantle.h"

// A family's count of write-backs, when it has one (its unit's).
struct writeback_ops {
  void (*init)(void);  // after the family's own
  // The family's access, which also counts write-backs; once they are
  // counted, every reference comes here.
  void (*access_store)(md_addr_t addr, int store);
  // Sets writebacks and dirty_at_end of rows[0 .. count-1].
  void (*fill)(vantle_explained *rows, int count);
  uint64_t (*footprint)(void);  // bytes init allocates
};

// What the explanation needs of the family chosen.
struct explained_family {
  int organisation, policy;
  void (*access)(md_addr_t addr);
  // Its vantle_results, from which the explanation learns the line size
  // and size of every configuration.
  int (*results)(vantle_result *rows, int capacity);
  const writeback_ops *writebacks;  // null: it counts none
};

// Bytes that explaining family f with parts (vantle_explain's) allocates
// at init (what the trace adds later, the lines in the stacks, is not
// counted). Reads the configuration variables.
uint64_t footprint_explain(unsigned parts, const explained_family &f);
// Readies the parts for family f, after its own init, and returns the
// entry that vantle_access then calls instead of f.access. Ends through
// _fatal when memory is out.
void (*explain_start(unsigned parts,
                     const explained_family &f))(md_addr_t addr);
// A reference with its store mark, once explain_start has run.
void explain_access_store(md_addr_t addr, int store);
// The entry that vantle_access_store calls once explain_start has run:
// explain_access_store, or the family's own when it is all there is.
void (*explain_store_entry(void))(md_addr_t addr, int store);
// A reference of a site (vantle_access_at), once explain_start has run: a
// load for the parts, then the family's access_at unless the family is
// simulated apart. Returns false, doing nothing, when write-backs are
// counted: they are not counted by site.
bool explain_access_at(md_addr_t addr, uint32_t site,
                       void (*access_at)(md_addr_t addr, uint32_t site));
// Fills rows[0 .. count-1], one per configuration in the order of the
// family's results, VANTLE_NOT_COUNTED where a part was not asked for or
// does not apply.
void explain_rows(vantle_explained *rows, int count);

#endif  // VANTLE_LIBVANTLE_EXPLAIN_H_
