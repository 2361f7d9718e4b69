// The loader's side of the folding map: folds with the map of
// transport/fold_map.c, whose region size the caller sets, and tells the
// sites' numbering where each region went; keeps no state of its own.
#include "toolset/folding.h"

#include <stdio.h>

#include "loader.h"
#include "misc.h"
#include "toolset/site_numbers.h"
#include "transport/fold_map.h"

void note_region_placed(uint64_t region, uint64_t place) {
  sn_note_region(region, place);
  debug("region 0x%llx folded into slot %llu\n",
        static_cast<unsigned long long>(region),
        static_cast<unsigned long long>(place));
}

void say_fold_map_full(char *out, size_t size, const char *name,
                       const char *where, uint64_t address) {
  int bits = fm_region_bits();
  static const char *const units[] = {"bytes", "KiB", "MiB", "GiB"};
  snprintf(out, size,
           "`%s'%s: address 0x%llx: the map folding 64-bit addresses into "
           "32 bits is full: the input touched more than 4 GiB of distinct "
           "memory, counted in %llu regions of %llu %s",
           name, where, static_cast<unsigned long long>(address),
           1ull << (32 - bits), 1ull << (bits % 10), units[bits / 10]);
}

int ld_fold_address(uint64_t addr, md_addr_t *folded) {
  uint32_t f;
  switch (fm_fold(addr, &f)) {
    case FM_FULL:
      return 0;
    case FM_NO_MEMORY:
      _fatal("loader", "ld_fold_address", __LINE__, "out of virtual memory");
    case FM_NEW_REGION:
      note_region_placed(addr >> fm_region_bits(),
                         uint64_t{f} >> fm_region_bits());
      break;
    case FM_FOLDED:
      break;
  }
  *folded = f;
  return 1;
}
