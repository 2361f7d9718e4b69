/*
 * libvantle: one-pass simulation of whole families of caches.
 *
 * Conventions:
 *   - Call vantle_init exactly once, before anything else; vantle_config
 *     optionally; vantle_access once per reference, in stream order;
 *     vantle_stats with mid != 0 for interim reports and with mid == 0 once,
 *     after the last reference.
 *   - All state is process-wide: one configuration per process. The calls are
 *     neither reentrant nor thread-safe.
 *   - There are no error returns. A bad configuration, a second vantle_init,
 *     or a call before vantle_init writes one "libvantle: " line to stderr and
 *     ends the process with status 1; exhausted memory ends it through the
 *     fatal routine.
 *
 * This header compiles as C and as C++.
 */
#ifndef VANTLE_LIBVANTLE_LIBVANTLE_H_
#define VANTLE_LIBVANTLE_LIBVANTLE_H_

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A 32-bit target byte address. */
typedef uint32_t md_addr_t;

/* The values of trace_config (organisation) and repl (policy). */
enum {
  VANTLE_SET_ASSOCIATIVE = 2,
  VANTLE_FULLY_ASSOCIATIVE = 3,
  VANTLE_DIRECT_MAPPED = 4
};
enum { VANTLE_LRU = 0, VANTLE_OPT = 1 };

/* Configuration, set by vantle_init and read by every simulator unit. */
extern int A;                      /* log2 smallest set count / line size */
extern int B;                      /* log2 largest set count / line size */
extern int C;                      /* direct-mapped: log2 cache size in bytes */
extern int L;                      /* log2 line size in bytes */
extern int N;                      /* log2 largest associativity */
extern int T;                      /* OPT: stop after this many references */
extern int P_INTERVAL;             /* progress line every this many refs */
extern int SAVE_INTERVAL;          /* interim report every this many refs */
extern unsigned int MAX_CACHE_SIZE; /* fully-assoc.: largest cache, bytes */
extern unsigned int MAX_LINES;     /* fully-assoc.: largest cache, lines */
extern int MISS_RATIO_INTERVAL;    /* fully-assoc.: report step, in lines */
extern int trace_config;           /* organisation: VANTLE_... */
extern short repl;                 /* policy: VANTLE_LRU or VANTLE_OPT */

/* Display names, indexed by the policy and organisation codes. */
extern const char *outstrings[15];

/* Hit table of the set-associative LRU unit: [set count][list position]. */
extern unsigned int **sac_hits;

/* Parses the option words (no program name in argv[0]), validates them and
 * initialises the chosen simulator. Ends the process on any error. */
void vantle_init(int argc, char **argv);

/* Prints the simulation parameters to fd. */
void vantle_config(FILE *fd);

/* Simulates one reference to the byte address addr. After the final report
 * a reference is ignored, with one message to stderr for the first. */
void vantle_access(md_addr_t addr);

/* Prints the miss-ratio report to fd. mid != 0: an interim report, which
 * leaves the OPT look-ahead window alone; mid == 0: the final report, which
 * first drains the window so that every reference fed is counted. */
void vantle_stats(FILE *fd, int mid);

/* The most references one run simulates; the simulators count in 32 bits.
 * vantle_access ignores every later reference, after writing one message
 * to stderr, so every report stays exact for the references simulated. */
#define VANTLE_REFERENCE_LIMIT 2147483647u

/* The reference limit in force (VANTLE_REFERENCE_LIMIT outside tests). */
uint64_t vantle_reference_limit(void);

/* One configuration of the family and its result. */
typedef struct vantle_result {
  int organisation;        /* VANTLE_SET_ASSOCIATIVE, ... (trace_config) */
  int policy;              /* VANTLE_LRU or VANTLE_OPT; LRU for direct-mapped */
  uint32_t line_size;      /* bytes */
  uint32_t sets;           /* number of sets; 0 for fully associative */
  uint32_t associativity;  /* lines per set; 0 for fully associative */
  uint64_t cache_size;     /* bytes */
  uint64_t references;     /* references counted by the simulator */
  uint64_t hits;           /* references that hit in this configuration */
  double miss_ratio;       /* 1 - hits / references; NaN with no reference */
} vantle_result;

/* Fills rows[0 .. capacity-1] with the results of the family being
 * simulated, in report order, and returns the number of configurations of
 * the family (call with capacity 0 to learn it). The caller owns rows; the
 * library keeps no pointer to it. May be called at any time after
 * vantle_init; it changes no state. The counts are those of the references
 * the simulator has processed: for the OPT families, references leave the
 * look-ahead window in blocks, so call it after the final vantle_stats
 * (mid == 0) to have every reference counted. Before any reference every
 * row has 0 references, 0 hits and a NaN miss ratio.
 * Fully associative: one row per report row, that is per multiple of the
 * report interval up to the largest cache (sizes beyond the distinct lines
 * seen share the "all bigger caches" ratio). Set associative: one row per
 * (set count, associativity), set counts ascending, associativity fastest.
 * Direct mapped: one row per line size, smallest first. */
int vantle_results(vantle_result *rows, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* VANTLE_LIBVANTLE_LIBVANTLE_H_ */
