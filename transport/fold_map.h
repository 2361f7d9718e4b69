// The folding map: 64-bit addresses into the 32-bit space, by a first-touch
// map of aligned regions of 2^bits bytes. A region keeps its low-order bits
// and takes one of the 2^(32 - bits) places of the 32-bit space: its own
// place when it lies in the 32-bit space and that place is free (so 32-bit
// traces fold unchanged), else the highest free one. Equal regions fold
// equal, distinct ones never share a place, and up to 4 GiB of distinct
// memory fold, anywhere in the 64-bit space. Plain C.
// A map is its state (struct fm_map) and a table. The process-wide map of
// the fm_reset/fm_fold calls keeps its table in an allocation of its own:
// the loader folds the traces it reads with it. A shared map lies whole in
// an area of memory that several processes map (vantle's QEMU plugins, one
// per process of a traced program, fold with one map, so that equal
// addresses of two processes fold equal and distinct ones never collide);
// its table grows inside the area, which is mostly never touched. Callers
// of a shared map hold a lock of their own around each call. Every step of
// a shared map leaves it whole should its process die there: at worst a
// place goes unused.
#ifndef VANTLE_TRANSPORT_FOLD_MAP_H_
#define VANTLE_TRANSPORT_FOLD_MAP_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The region size a caller that knows no better folds by.
enum { FM_DEFAULT_REGION_BITS = 24 };

// What a fold did.
enum fm_result {
  FM_NO_MEMORY = -1,  // the map could not grow
  FM_FULL = 0,        // every place is taken: the address does not fold
  FM_FOLDED = 1,
  FM_NEW_REGION = 2   // folded, into a place just given to its region
};

// The state of a map (its table lies elsewhere).
struct fm_map {
  int32_t region_bits;
  int32_t unused;
  uint64_t capacity;  // of the table, a power of two; 0 before the first
  uint64_t entries, places_taken;
  int64_t next_high_place;
};

// Forgets every region of the process-wide map and sets its region size
// to 2^bits bytes (bits clamped to 1..32).
void fm_reset(int bits);
// The region size of the process-wide map, as a power of two.
int fm_region_bits(void);
// Folds address with the process-wide map into *folded (set unless
// FM_FULL or FM_NO_MEMORY).
enum fm_result fm_fold(uint64_t address, uint32_t *folded);

// The bytes a shared map of regions of 2^bits bytes spans at most: its
// state and every table it may grow to.
size_t fm_shared_bytes(int bits);
// Readies a shared map in zero-filled memory of fm_shared_bytes(bits).
void fm_shared_init(void *area, int bits);
// The region size of the shared map at area.
int fm_shared_region_bits(const void *area);
// Folds address with the shared map at area, as fm_fold does.
enum fm_result fm_shared_fold(void *area, uint64_t address,
                              uint32_t *folded);
// Folds address with the shared map at area into *folded when its region
// has a place already; 0 when not (or when the map grew meanwhile). Takes
// no lock: it may run while another process folds under the lock.
int fm_shared_lookup(const void *area, uint64_t address, uint32_t *folded);

#ifdef __cplusplus
}
#endif

#endif  // VANTLE_TRANSPORT_FOLD_MAP_H_
