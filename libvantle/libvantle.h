/*
 * libvantle: one-pass simulation of whole families of caches.
 *
 * Conventions:
 *   - Call vantle_init exactly once, before anything else but
 *     vantle_explain; vantle_config optionally; vantle_access (or
 *     vantle_access_store, or vantle_access_at with the issuing code's
 *     site) once per reference, in stream order;
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
 *
 * Names: besides the vantle_ calls and types, the library defines, with C
 * linkage, the configuration variables A, B, C, L, N, T, P_INTERVAL,
 * SAVE_INTERVAL, MAX_CACHE_SIZE, MAX_LINES, MISS_RATIO_INTERVAL,
 * trace_config and repl, and outstrings and sac_hits; the header adds the
 * type md_addr_t. Short as they are, they are fixed for existing callers.
 * New code should use their aliases below, vantle_A ... vantle_sac_hits,
 * the same objects under names of their own: a macro of the program's
 * that takes a short name (#define N 1024) then leaves them alone, and the
 * header declares no short name that is a macro where it is included. A
 * program must not define a variable of one of these names itself (int T):
 * the link then fails with "multiple definition of `T'".
 */
#ifndef VANTLE_LIBVANTLE_LIBVANTLE_H_
#define VANTLE_LIBVANTLE_LIBVANTLE_H_

#include <stddef.h>
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

/* Configuration, set by vantle_init and read by every simulator unit.
 * Each short name is declared unless it is a macro where this header is
 * included. */
#ifndef A
extern int A; /* log2 smallest set count / line size */
#endif
#ifndef B
extern int B; /* log2 largest set count / line size */
#endif
#ifndef C
extern int C; /* direct-mapped: log2 cache size in bytes */
#endif
#ifndef L
extern int L; /* log2 line size in bytes */
#endif
#ifndef N
extern int N; /* log2 largest associativity */
#endif
#ifndef T
/* OPT: stack processing stops once more than T references are processed.
 * The default, 2147483647, means no limit: it once was the most that 32-bit
 * counts held, and a run that stopped there reported a prefix of the
 * program as the program. A lower value still stops there. */
extern int T;
#endif
#ifndef P_INTERVAL
extern int P_INTERVAL; /* progress line every this many refs */
#endif
#ifndef SAVE_INTERVAL
extern int SAVE_INTERVAL; /* interim report every this many refs */
#endif
#ifndef MAX_CACHE_SIZE
extern unsigned int MAX_CACHE_SIZE; /* fully-assoc.: largest cache, bytes */
#endif
#ifndef MAX_LINES
extern unsigned int MAX_LINES; /* fully-assoc.: largest cache, lines */
#endif
#ifndef MISS_RATIO_INTERVAL
extern int MISS_RATIO_INTERVAL; /* fully-assoc.: report step, in lines */
#endif
#ifndef trace_config
extern int trace_config; /* organisation: VANTLE_... */
#endif
#ifndef repl
extern short repl; /* policy: VANTLE_LRU or VANTLE_OPT */
#endif

/* Display names, indexed by the policy and organisation codes. */
#ifndef outstrings
extern const char *outstrings[15];
#endif

/* Hit table of the set-associative LRU unit: [set count][list position].
 * After each vantle_stats it holds the counts, each saturated at 2^32 - 1
 * rather than wrapped; vantle_results gives them exact, in 64 bits. */
#ifndef sac_hits
extern unsigned int **sac_hits;
#endif

/* The aliases for new code: vantle_<name> is the object <name>. With GCC
 * and Clang it is a name of its own bound to that symbol (# keeps the
 * short name from macro expansion); elsewhere a macro for the short name. */
#if defined(__GNUC__)
#define VANTLE_STRING_(x) #x
#define VANTLE_STRING(x) VANTLE_STRING_(x)
#define VANTLE_SYMBOL(name) \
  __asm__(VANTLE_STRING(__USER_LABEL_PREFIX__) #name)
extern int vantle_A VANTLE_SYMBOL(A);
extern int vantle_B VANTLE_SYMBOL(B);
extern int vantle_C VANTLE_SYMBOL(C);
extern int vantle_L VANTLE_SYMBOL(L);
extern int vantle_N VANTLE_SYMBOL(N);
extern int vantle_T VANTLE_SYMBOL(T);
extern int vantle_P_INTERVAL VANTLE_SYMBOL(P_INTERVAL);
extern int vantle_SAVE_INTERVAL VANTLE_SYMBOL(SAVE_INTERVAL);
extern unsigned int vantle_MAX_CACHE_SIZE VANTLE_SYMBOL(MAX_CACHE_SIZE);
extern unsigned int vantle_MAX_LINES VANTLE_SYMBOL(MAX_LINES);
extern int vantle_MISS_RATIO_INTERVAL VANTLE_SYMBOL(MISS_RATIO_INTERVAL);
extern int vantle_trace_config VANTLE_SYMBOL(trace_config);
extern short vantle_repl VANTLE_SYMBOL(repl);
extern const char *vantle_outstrings[15] VANTLE_SYMBOL(outstrings);
extern unsigned int **vantle_sac_hits VANTLE_SYMBOL(sac_hits);
#else
#define vantle_A A
#define vantle_B B
#define vantle_C C
#define vantle_L L
#define vantle_N N
#define vantle_T T
#define vantle_P_INTERVAL P_INTERVAL
#define vantle_SAVE_INTERVAL SAVE_INTERVAL
#define vantle_MAX_CACHE_SIZE MAX_CACHE_SIZE
#define vantle_MAX_LINES MAX_LINES
#define vantle_MISS_RATIO_INTERVAL MISS_RATIO_INTERVAL
#define vantle_trace_config trace_config
#define vantle_repl repl
#define vantle_outstrings outstrings
#define vantle_sac_hits sac_hits
#endif

/* Parses the option words (no program name in argv[0]), validates them and
 * initialises the chosen simulator. Ends the process on any error. */
void vantle_init(int argc, char **argv);

/* Prints the simulation parameters to fd. */
void vantle_config(FILE *fd);

/* Simulates one reference to the byte address addr. After the final report
 * a reference is ignored, with one message to stderr for the first. */
void vantle_access(md_addr_t addr);

/* count references to the byte address addr, one after the other: in
 * every count, report and message the same as count calls of
 * vantle_access(addr), and cheaper where the family counts the repeats of
 * a line at once (the LRU and direct-mapped families, unless misses are
 * explained). */
void vantle_access_repeat(md_addr_t addr, uint64_t count);

/* The base-2 logarithm of the configured family's smallest line size:
 * addresses that agree above these low bits are the same reference to
 * every cache of the family, so a run of them may go to
 * vantle_access_repeat under the first one's address. -1 where that gains
 * nothing, for a family that takes repeats one by one. */
int vantle_line_bits(void);

/* count references, addrs[0] first: in every count, report and message
 * the same as vantle_access for each in turn, and cheaper where the family
 * takes the batch whole (vantle_takes_batches) or its runs of repeats at
 * once. */
void vantle_access_batch(const md_addr_t *addrs, size_t count);

/* 1 when vantle_access_batch takes a batch whole, allocating nothing on
 * the way, so that running out of memory cannot end the process inside
 * it (the set-associative LRU and direct-mapped families, unless misses
 * are explained); 0 when it feeds the family run by run. */
int vantle_takes_batches(void);

/* Prints the miss-ratio report to fd. mid != 0: an interim report, which
 * leaves the OPT look-ahead window alone; mid == 0: the final report, which
 * first drains the window so that every reference fed is counted. */
void vantle_stats(FILE *fd, int mid);

/* The most references one run simulates: 2^63 - 1, centuries of a tracer
 * delivering a billion references a second; counts, times and the OPT
 * families' priority clocks are 64-bit and exact up to it. vantle_access
 * ignores every later reference, after writing one message to stderr, so
 * every report stays exact for the references simulated. */
#define VANTLE_REFERENCE_LIMIT 9223372036854775807ull

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

/* Results by site: which code issues the references that hit or miss.
 * A site is a small dense number chosen by the caller (0, 1, 2, ... as
 * the code issuing references is first seen); the library keeps a row of
 * counts per site up to the largest fed, so its memory grows with sites x
 * configurations. Sites above VANTLE_MOST_SITES - 1 end the process with
 * one "libvantle: " line, as a bad configuration does. */
#define VANTLE_MOST_SITES 16777216u

/* vantle_access, for a reference issued by the code numbered site. The
 * family's counts, reports and messages are those of vantle_access(addr);
 * besides, the reference's hit or miss in every configuration is counted
 * for its site, when the family processes it (for the OPT families, as it
 * leaves the look-ahead window). References fed by vantle_access and the
 * others belong to no site. With vantle_explain it is a load for the
 * explanation; combined with VANTLE_EXPLAIN_WRITEBACKS it ends the
 * process with one "libvantle: " line (write-backs are not counted by
 * site). */
void vantle_access_at(md_addr_t addr, uint32_t site);

/* vantle_access_at(addrs[i], sites[i]) for i from 0 to count - 1, in
 * every count, report and message the same, and cheaper: the
 * set-associative LRU and direct-mapped families take the batch whole
 * where vantle_takes_batches says so, growing the sites' table once before
 * the first reference (the one allocation, so that running out of memory
 * ends the process before any of the batch is counted); the
 * fully-associative LRU family counts a run of one line by one site at
 * once; the others take the references one by one. */
void vantle_access_batch_at(const md_addr_t *addrs, const uint32_t *sites,
                            size_t count);

/* One more than the largest site fed so far (0: no vantle_access_at yet). */
uint32_t vantle_site_count(void);

/* Fills rows[0 .. capacity-1] like vantle_results, counting only the
 * references fed with vantle_access_at(..., site): same order, same
 * configuration fields, references and hits of that site alone. A site
 * never fed gives rows of 0 references, 0 hits and a NaN miss ratio.
 * Returns the number of configurations. Over all sites the references and
 * hits of a row add up to the family's when every reference was fed with
 * a site. For the OPT families call it after the final vantle_stats, as
 * vantle_results. Changes no state. */
int vantle_site_results(uint32_t site, vantle_result *rows, int capacity);

/* Misses explained: why each configuration misses, and what its misses
 * cost the memory bus. Off unless vantle_explain asks for it, before
 * vantle_init; a run that does not ask does no work for it.
 *
 * The parts, to combine: */
enum {
  /* Write-backs of every configuration, each a write-back,
   * write-allocate cache: the dirty lines it evicted, and the lines still
   * dirty after the last reference. Stores are the references given to
   * vantle_access_store with store != 0. LRU and direct-mapped families
   * only: an OPT family counts none. */
  VANTLE_EXPLAIN_WRITEBACKS = 1,
  /* Compulsory misses: references to a line (of the configuration's line
   * size) never referenced before. */
  VANTLE_EXPLAIN_COMPULSORY = 2,
  /* Misses of a fully-associative LRU cache of the configuration's size
   * and line size; with the compulsory ones they split the misses into
   * compulsory, capacity and conflict (Hill's three Cs). */
  VANTLE_EXPLAIN_FULLY_ASSOCIATIVE = 4,
  /* The family itself is simulated elsewhere (another process, on another
   * core): references feed only the parts asked for, and the family's
   * report and rows count no reference. */
  VANTLE_EXPLAIN_APART = 8
};

/* Asks for the parts of the explanation (an or of the values above) of
 * the family that vantle_init then configures. Returns 0, or 1 (changing
 * nothing) when called after vantle_init or with a value not above. */
int vantle_explain(unsigned parts);

/* vantle_access, for a reference that writes when store != 0: the line
 * becomes dirty in every configuration. Without VANTLE_EXPLAIN_WRITEBACKS
 * it is vantle_access(addr). */
void vantle_access_store(md_addr_t addr, int store);

/* A count that the parts asked for do not give. */
#define VANTLE_NOT_COUNTED 18446744073709551615ull

/* The explanation of one configuration, beside its vantle_result row. */
typedef struct vantle_explained {
  uint64_t compulsory;   /* first references to a line */
  uint64_t fully_associative_misses;  /* of the fully-associative LRU
                                          cache of the same size */
  uint64_t writebacks;   /* dirty lines evicted */
  uint64_t dirty_at_end; /* lines dirty now (after the final report: at
                            the end of the run) */
} vantle_explained;

/* Fills rows[0 .. capacity-1] with the explanation of every
 * configuration, in the order of vantle_results, and returns their number
 * (call with capacity 0 to learn it). A count the parts asked for do not
 * give is VANTLE_NOT_COUNTED. May be called at any time after vantle_init;
 * it changes no state. Three Cs of a configuration with m misses:
 * compulsory; capacity = fully_associative_misses - compulsory; conflict =
 * m - fully_associative_misses, negative where the configuration misses
 * less than the fully-associative LRU cache. */
int vantle_explanation(vantle_explained *rows, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* VANTLE_LIBVANTLE_LIBVANTLE_H_ */
