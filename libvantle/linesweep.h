// Direct-mapped simulator of one cache size for every line size 2^A..2^B:
// the calls of the front end.
#ifndef VANTLE_LIBVANTLE_LINESWEEP_H_
#define VANTLE_LIBVANTLE_LINESWEEP_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/site_table.h"
#include "libvantle/util.h"

// Derives the sizes from A, B, C and allocates and fills the tables. Ends
// through _fatal when memory is out.
void init_linesweep(void);
// Bytes init_linesweep allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_linesweep(void);
// Simulates one reference to the byte address addr.
void linesweep(md_addr_t addr);
// linesweep, which also counts the reference's hits for site.
void linesweep_at(md_addr_t addr, uint32_t site);
// The counts of a site's row, and the hits of rows[0 .. count-1] (in the
// order of results_linesweep) from a site's counts.
uint32_t site_width_linesweep(void);
void site_hits_linesweep(const uint64_t *counts, vantle_result *rows,
                         int count);
// count calls of linesweep(addr), count at least 1, with the same counts
// and messages: after the first, every line size's set holds the line.
void linesweep_repeat(md_addr_t addr, uint64_t count);
// linesweep for addrs[0 .. count-1] in turn, with the same counts and
// messages; allocates nothing.
void linesweep_batch(const md_addr_t *addrs, size_t count);
// linesweep_at(addrs[i], sites[i]) for each in turn, each site's row found
// in rows (site_batch_rows), where its reference is counted; allocates
// nothing.
void linesweep_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                        size_t count, site_rows rows);
// Prints the miss ratio of every line size to fd.
void outpr_linesweep(FILE *fd);
// vantle_results for this family: one row per line size, smallest first.
int results_linesweep(vantle_result *rows, int capacity);

// Write-backs (vantle_explain), every cache write-back and
// write-allocate. Bytes init_writebacks_linesweep allocates:
uint64_t footprint_writebacks_linesweep(void);
// Readies a dirty mark beside every set's tag, after init_linesweep. Ends
// through _fatal when memory is out.
void init_writebacks_linesweep(void);
// linesweep, which also counts write-backs: a reference that writes when
// store != 0. Once write-backs are counted, every reference comes here.
void linesweep_store(md_addr_t addr, int store);
// Sets writebacks and dirty_at_end of rows[0 .. count-1], in the order of
// results_linesweep.
void writebacks_linesweep(vantle_explained *rows, int count);

// For tests only: the run starts as though count references had gone by,
// each a hit under every line size, and had left the cache empty. Called
// after init_linesweep and before the first reference.
void test_start_linesweep_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_LINESWEEP_H_
