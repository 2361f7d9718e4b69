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
// Bytes init_widestack allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_widestack(void);
// Simulates one reference to the byte address addr.
void ptc(md_addr_t addr);
// ptc, which also counts the reference's depth for site (fa_site_hit).
void ptc_at(md_addr_t addr, uint32_t site);
// count calls of ptc(addr), count at least 1, with the same counts and
// messages: after the first the line is at depth 1, where the rest hit.
void ptc_repeat(md_addr_t addr, uint64_t count);
// ptc_repeat, whose references are also counted for site: the first as
// ptc_at, the rest as hits at the top of the stack.
void ptc_repeat_at(md_addr_t addr, uint32_t site, uint64_t count);
// Prints the miss ratio of every cache size to fd.
void outpr_widestack(FILE *fd);
// vantle_results for this family.
int results_widestack(vantle_result *rows, int capacity);

// Write-backs (vantle_explain), every cache write-back and
// write-allocate. Bytes init_writebacks_widestack allocates:
uint64_t footprint_writebacks_widestack(void);
// Readies the count of write-backs, after init_widestack. Ends through
// _fatal when memory is out.
void init_writebacks_widestack(void);
// ptc, which also counts write-backs: a reference that writes when
// store != 0. Once write-backs are counted, every reference comes here.
void ptc_store(md_addr_t addr, int store);
// Sets writebacks and dirty_at_end of rows[0 .. count-1], in the order of
// results_widestack.
void writebacks_widestack(vantle_explained *rows, int count);

// Internal operations, for tests.

// Gives line addr the next position of the time axis, inserting the line
// (one more distinct line) when it is new. Returns its previous position,
// or 0 when it was new.
uint32_t hash_lookup_add(md_addr_t addr);
// Removes line addr from the hash table; warns on stderr when it is absent.
void hash_del(md_addr_t addr);
// Positions of the time axis: it grows with the lines in the stack, not
// with MAX_LINES or the references.
uint64_t test_time_axis_size(void);
// For tests only: the run starts as though count references had gone by,
// each a hit at depth 1, and had left an empty stack. Called after
// init_widestack and before the first reference.
void test_start_widestack_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_WIDESTACK_H_
