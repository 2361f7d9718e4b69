// Support routines and shared records of the library units: the splay step
// of the LRU and OPT trees, zero-filled tables, the shared free list of hash
// records, formatted output with 32-bit "%p" addresses, and the fatal-error
// routine with its hook.
#ifndef VANTLE_LIBVANTLE_UTIL_H_
#define VANTLE_LIBVANTLE_UTIL_H_

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "libvantle/libvantle.h"

// One entry of a simulator's tree. Each unit says what the fields mean there.
struct tree_node {
  md_addr_t addr;
  uint32_t inum;
  int32_t grpno;
  int32_t prty;
  int32_t rtwt;  // number of nodes in the right subtree (LRU tree)
  tree_node *lft;
  tree_node *rt;
};

// One record of a unit's hash table (bucket heads live inside the table).
struct hash_table {
  md_addr_t addr;
  int32_t grptime;
  int32_t prty;
  int32_t inum;
  hash_table *nxt;
};

// Lifts p_stack[at] two levels by a splay double rotation (one level when at
// is 2), relinks it into p_stack[at-3] when at > 3 and stores it in
// p_stack[at-2] (p_stack[1] when at is 2). p_stack[1] is the root of the tree
// handed over and each p_stack[k+1] a child of p_stack[k]. Keeps the in-order
// sequence and every rtwt equal to the size of the node's right subtree.
void splay(int at, tree_node **p_stack);

// Returns a zero-filled rows x cols table of unsigned 32-bit counters,
// indexed [row][col]. Ends the process through _fatal when memory is out.
uint32_t **idim2(int rows, int cols);
// Bytes idim2(rows, cols) allocates.
uint64_t idim2_bytes(int rows, int cols);
// idim2 for 64-bit counters, which no run can wrap.
uint64_t **idim2_wide(int rows, int cols);
// Bytes idim2_wide(rows, cols) allocates.
uint64_t idim2_wide_bytes(int rows, int cols);

// Bytes the process may still allocate: the smaller of physical memory and
// the room RLIMIT_AS leaves above what is mapped now; *limit names which.
uint64_t memory_available(const char **limit);

// The one free list of hash_table records that every unit shares: returns a
// recycled record, or null when the list is empty.
hash_table *UHT_Get_from_free_list(void);
// Pushes a record that the caller has unlinked.
void UHT_Add_to_free_list(hash_table *record);

// fprintf, except that each "%p" takes a 32-bit address (md_addr_t) and
// prints it in hexadecimal.
int myfprintf(FILE *stream, const char *format, ...);

// Hook called by _fatal with stderr before the process ends.
typedef void (*fatal_hook_fn)(FILE *stream);
// Takes the source unit, function and line of a fatal error.
typedef void (*fatal_where_fn)(const char *unit, const char *func, int line);

extern "C" {
// Writes "fatal: <message>" with the unit, function and line to stderr,
// calls the installed hook, and ends the process with status 1.
[[noreturn]] void _fatal(const char *file, const char *func, int line,
                         const char *fmt, ...);
// Installs the hook that _fatal calls.
void fatal_hook(fatal_hook_fn fn);
// Makes _fatal end its line after the message and hand the unit, function
// and line to fn instead; null (the default) writes them after the message.
void fatal_where(fatal_where_fn fn);
}

// calloc(count, size) for a unit's tables and records; on failure (or a size
// that does not fit the address space) ends the process through _fatal with
// the unit, the function, the line and "out of virtual memory".
void *checked_calloc(size_t count, size_t size, const char *unit,
                     const char *func, int line);

#endif  // VANTLE_LIBVANTLE_UTIL_H_
