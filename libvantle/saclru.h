// Set-associative LRU simulator: every set count 2^A..2^B and associativity
// 1..2^N with lines of 2^L bytes, in one pass.
#ifndef VANTLE_LIBVANTLE_SACLRU_H_
#define VANTLE_LIBVANTLE_SACLRU_H_

#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"
#include "libvantle/site_table.h"
#include "libvantle/util.h"

// Allocates the lists of every set count and the hit tables. Ends through
// _fatal when memory is out.
void init_saclru(void);
// Bytes init_saclru allocates for the configured options (what the
// trace adds later is not counted).
uint64_t footprint_saclru(void);
// Simulates one reference to the byte address addr in every configuration,
// counting a hit at list position j of the lists of 2^(A+r) sets in 64 bits.
void sacnmul_woarr(md_addr_t addr);
// sacnmul_woarr, which also counts the reference's hits for site.
void sacnmul_at(md_addr_t addr, uint32_t site);
// The counts of a site's row, and the hits of rows[0 .. count-1] (in the
// order of results_saclru) from a site's counts.
uint32_t site_width_saclru(void);
// The references counted in a site's row: they are not counted apart.
uint64_t site_references_saclru(const uint64_t *counts);
void site_hits_saclru(const uint64_t *counts, vantle_result *rows,
                      int count);
// count calls of sacnmul_woarr(addr), count at least 1, with the same
// counts, progress lines and interim reports: after the first, the line is
// at the head of every list, and the rest are counted as head hits at once.
void sacnmul_repeat(md_addr_t addr, uint64_t count);
// sacnmul_woarr for addrs[0 .. count-1] in turn, with the same counts,
// progress lines and interim reports; allocates nothing.
void sacnmul_batch(const md_addr_t *addrs, size_t count);
// sacnmul_at(addrs[i], sites[i]) for each in turn, each site's row found
// in rows (site_batch_rows), where its reference is counted; allocates
// nothing.
void sacnmul_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                      size_t count, site_rows rows);
// Copies the hit counts into sac_hits[r][j], each saturated at 2^32 - 1,
// and prints the miss-ratio table (one row per set count, one column per
// associativity) to fd.
void outpr_saclru(FILE *fd);
// vantle_results for this family, from the exact counts.
int results_saclru(vantle_result *rows, int capacity);

// Write-backs (vantle_explain), every cache write-back and
// write-allocate. Bytes init_writebacks_saclru allocates:
uint64_t footprint_writebacks_saclru(void);
// Readies the depths of dirty lines, after init_saclru. Ends through
// _fatal when memory is out.
void init_writebacks_saclru(void);
// sacnmul_woarr, which also counts write-backs: a reference that writes
// when store != 0. Once write-backs are counted, every reference comes
// here.
void sacnmul_store(md_addr_t addr, int store);
// Sets writebacks and dirty_at_end of rows[0 .. count-1], in the order of
// results_saclru.
void writebacks_saclru(vantle_explained *rows, int count);

// For tests only: the run starts as though count references had gone by,
// each a hit at the head of every list, and had left the lists empty.
// Called after init_saclru and before the first reference.
void test_start_saclru_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_SACLRU_H_
