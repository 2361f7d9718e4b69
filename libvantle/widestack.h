// Fully-associative LRU simulator: calls of the front end and, for tests,
// the unit's internal operations.
#ifndef VANTLE_LIBVANTLE_WIDESTACK_H_
#define VANTLE_LIBVANTLE_WIDESTACK_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/util.h"

// Allocates the tables and plants the sentinel. Ends through _fatal when
// memory is out.
void init_widestack(void);
// Simulates one reference to the byte address addr.
void ptc(md_addr_t addr);
// Prints the miss ratio of every cache size to fd.
void outpr_widestack(FILE *fd);
// vantle_results for this family.
int results_widestack(vantle_result *rows, int capacity);

// Internal operations, for tests.

// Records the current reference number for line addr and returns the line's
// previous one, or 0 when the line was new and has been inserted.
uint32_t hash_lookup_add(md_addr_t addr);
// Removes line addr from the hash table; warns on stderr when it is absent.
void hash_del(md_addr_t addr);
// Counts the hit of line addr, last referenced as number i_inum, at its LRU
// depth and moves the line to the root as the current reference.
void ref_tree(uint32_t i_inum, md_addr_t addr);
// Unlinks and returns the record of the least recently used line (the
// sentinel record on the first call). Needs a tree of MAX_LINES + 2 records.
tree_node *delete_node(void);

#endif  // VANTLE_LIBVANTLE_WIDESTACK_H_
