/* What vantle's QEMU plugins write and vantle-sim reads: batches of one
 * thread's references, in the host's byte order (writers and reader run on
 * one machine). The plugin folds each guest address into 32 bits itself
 * (fold_map.h), so that vantle-sim can hand the addresses to the cache as
 * they come. A batch is its head, then its newly folded regions, then its
 * folded addresses, then one kind byte per address, then text, padded to
 * a multiple of 8 bytes. Text comes only in a batch of no references: the
 * code mappings of the process at its end (its /proc/self/maps), written
 * when the run wants sites.
 * Shared by the plugin (C) and the loader's QEMU reader (C++), which hands
 * the kinds on as the tool set's md_ref_kind and checks, as it compiles,
 * that their values are equal. */
#ifndef VANTLE_TRANSPORT_TRACE_RECORD_H_
#define VANTLE_TRANSPORT_TRACE_RECORD_H_

#include <stddef.h>
#include <stdint.h>

enum {
  /* The kinds. */
  TRACE_KIND_FETCH = 1,
  TRACE_KIND_LOAD = 2,
  TRACE_KIND_STORE = 3,
  /* The most references and regions one batch holds. */
  TRACE_BATCH_REFERENCES = 1 << 16,
  TRACE_BATCH_REGIONS = 1 << 12,
  TRACE_BATCH_TEXT = 1 << 16,
  /* References of a thread in a row while other threads of its process
   * run, unless the run says otherwise. */
  TRACE_DEFAULT_INTERLEAVE = 256,
  /* vantle-sim hands QEMU the shared file at or above this descriptor,
   * which QEMU's table then already holds (growing it while QEMU runs
   * threads waits some 15 ms); the plugin moves a descriptor given with
   * fd=N there, out of a guest's usual way. */
  TRACE_HIGH_DESCRIPTOR = 512
};

struct trace_batch {
  uint32_t references;
  uint32_t regions;
  /* How many of the references are loads and stores (the rest fetches). */
  uint32_t loads, stores;
  /* 1: the batch ends the trace, since address (64-bit, unfolded) found
   * every place of the folding map taken. */
  uint32_t map_full;
  /* The thread whose references these are: its number in the run (from
   * 1), and its process. */
  uint32_t thread;
  int32_t pid;
  uint32_t text; /* bytes of text */
  uint64_t address;
};

/* A region (guest address >> region bits) that took a place of the folding
 * map: its addresses fold to place << region bits | their low bits. Every
 * region comes in the batch of its first address, or before. */
struct trace_region {
  uint64_t region;
  uint64_t place;
};

/* Where a batch's parts lie, in bytes from its head, and its whole size. */
static inline size_t trace_batch_addresses(const struct trace_batch *b) {
  return sizeof *b + b->regions * sizeof(struct trace_region);
}
static inline size_t trace_batch_kinds(const struct trace_batch *b) {
  return trace_batch_addresses(b) + b->references * sizeof(uint32_t);
}
static inline size_t trace_batch_bytes(const struct trace_batch *b) {
  return (trace_batch_kinds(b) + b->references + b->text + 7) & ~(size_t)7;
}

#endif /* VANTLE_TRANSPORT_TRACE_RECORD_H_ */
