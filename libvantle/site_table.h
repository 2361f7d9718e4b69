// The counts of each site (the code that issued a reference, numbered by
// the caller of vantle_access_at): per site, the references its family has
// processed and a row of counts whose meaning is the family's (a stack
// depth bucket, a list position per set count, a hit per line size). The
// family turns a row into hits per configuration only when results are
// asked for.
#ifndef VANTLE_LIBVANTLE_SITE_TABLE_H_
#define VANTLE_LIBVANTLE_SITE_TABLE_H_

#include <stddef.h>
#include <stdint.h>

// Readies an empty table of rows of width counts. Allocates nothing.
void site_table_init(uint32_t width);
// Counts one reference processed for site and returns its row of counts,
// width of them, growing the table (zero-filled) to reach it. Ends the
// process through _fatal when memory is out.
uint64_t *site_counts(uint32_t site);
// site_counts for a family whose row counts its references itself: the
// row, with no count apart.
uint64_t *site_row_of(uint32_t site);
// site_counts for a reference whose one count is slot of the row, or none
// when slot is kNoSlot, counted a little later: a few hundred such
// references go to the table at once, so that their cache misses overlap
// (a family of wide rows over thousands of sites misses the cache at
// nearly every reference). Every row is brought up to date before it is
// read. Ends the process through _fatal when memory is out.
constexpr uint32_t kNoSlot = UINT32_MAX;
void site_note(uint32_t site, uint32_t slot);
// For a batch of references whose sites are none above largest: reaches
// largest, growing the table (which may end the process through _fatal,
// before any of the batch is counted), and returns the table, in which
// count(site) is site_counts(site) with no check, until the table next
// grows (which nothing but site_counts, site_note and site_batch_rows
// does).
struct site_rows {
  uint64_t *references;
  uint64_t *first;
  uint32_t width;
  uint64_t *count(uint32_t site) const {
    references[site]++;
    return row(site);
  }
  uint64_t *row(uint32_t site) const {
    return first + static_cast<size_t>(site) * width;
  }
};
site_rows site_batch_rows(uint32_t largest);
// Counts n more references of site with n in its row's slot, as n calls of
// site_note(site, slot) would.
void site_note_many(uint32_t site, uint32_t slot, uint64_t n);
// The references counted for site, and its row; null (and 0) for a site
// that no reference reached.
const uint64_t *site_row(uint32_t site);
uint64_t site_references(uint32_t site);
// Adds every site's row to sum, of width counts.
void site_rows_add(uint64_t *sum, uint32_t width);

#endif  // VANTLE_LIBVANTLE_SITE_TABLE_H_
