/* The records that vantle's QEMU plugin writes and vantle-sim reads: one
 * 64-bit word per reference in the host's byte order (writer and reader
 * run on one machine), the guest address in the low 62 bits and the kind
 * in the top two. Shared by the plugin (C) and the loader (C++). Records
 * go out in batches of whole records; a record of kind 0 is never
 * written. */
#ifndef VANTLE_PLUGIN_TRACE_RECORD_H_
#define VANTLE_PLUGIN_TRACE_RECORD_H_

#include <stdint.h>

enum {
  TRACE_RECORD_BYTES = 8,
  TRACE_KIND_SHIFT = 62,
  /* The kinds; their values are those of the tool set's md_ref_kind. */
  TRACE_KIND_FETCH = 1,
  TRACE_KIND_LOAD = 2,
  TRACE_KIND_STORE = 3,
  /* The plugin's descriptor lives at or above this one, out of a guest's
   * way; vantle-sim passes one there already. */
  TRACE_HIGH_DESCRIPTOR = 512
};

/* The guest address bits a record keeps (a user-mode address never uses
 * the top two). */
#define TRACE_ADDRESS_MASK ((UINT64_C(1) << TRACE_KIND_SHIFT) - 1)

/* The record of a reference of kind to address. */
static inline uint64_t trace_record(uint64_t address, unsigned kind) {
  return (address & TRACE_ADDRESS_MASK) |
         ((uint64_t)kind << TRACE_KIND_SHIFT);
}

/* A record's kind (0: not a record) and address. */
static inline unsigned trace_record_kind(uint64_t record) {
  return (unsigned)(record >> TRACE_KIND_SHIFT);
}
static inline uint64_t trace_record_address(uint64_t record) {
  return record & TRACE_ADDRESS_MASK;
}

#endif /* VANTLE_PLUGIN_TRACE_RECORD_H_ */
