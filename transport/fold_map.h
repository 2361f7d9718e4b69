// The folding map: 64-bit addresses into the 32-bit space, by a first-touch
// map of aligned regions of 2^bits bytes. A region keeps its low-order bits
// and takes one of the 2^(32 - bits) places of the 32-bit space: its own
// place when it lies in the 32-bit space and that place is free (so 32-bit
// traces fold unchanged), else the highest free one. Equal regions fold
// equal, distinct ones never share a place, and up to 4 GiB of distinct
// memory fold, anywhere in the 64-bit space. Plain C, with one map per
// process: the loader folds the traces it reads with it, and vantle's QEMU
// plugin the references it records (under a lock of its own).
#ifndef VANTLE_TRANSPORT_FOLD_MAP_H_
#define VANTLE_TRANSPORT_FOLD_MAP_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The region size a caller that knows no better folds by.
enum { FM_DEFAULT_REGION_BITS = 24 };

// What fm_fold did.
enum fm_result {
  FM_NO_MEMORY = -1,  // the map could not grow
  FM_FULL = 0,        // every place is taken: the address does not fold
  FM_FOLDED = 1,
  FM_NEW_REGION = 2   // folded, into a place just given to its region
};

// Forgets every region and sets the region size to 2^bits bytes (bits
// clamped to 1..32).
void fm_reset(int bits);
// The region size in use, as a power of two.
int fm_region_bits(void);
// Folds address into *folded (set unless FM_FULL or FM_NO_MEMORY).
enum fm_result fm_fold(uint64_t address, uint32_t *folded);

#ifdef __cplusplus
}
#endif

#endif  // VANTLE_TRANSPORT_FOLD_MAP_H_
