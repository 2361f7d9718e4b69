// Entries of the front end for tests and fuzzing, beyond the public calls.
#ifndef VANTLE_LIBVANTLE_FRONTEND_H_
#define VANTLE_LIBVANTLE_FRONTEND_H_

#include <stdint.h>

// Parses and validates option words into the configuration variables like
// vantle_init, but initialises no simulator and never ends the process:
// returns 0 when the words are valid, 1 after writing the refusal message.
// May be called any number of times.
int vantle_configure(int argc, char **argv);

// Lowers the reference limit so that tests reach it quickly.
void vantle_set_reference_limit(uint64_t limit);

// One option word, for help texts: the families that read it ("every
// family", "set-associative", ...), the word as written ("-a<n>"), its
// letter, what it sets, and the word its default amounts to ("-a7").
struct vantle_word_help_row {
  const char *group, *word, *meaning;
  char letter;
  char default_word[24];
};

// Fills rows[0 .. capacity-1] with the option words, grouped by family,
// and returns how many there are (call with capacity 0 to learn it).
int vantle_word_help(vantle_word_help_row *rows, int capacity);

// The display name of an organisation code ("Set-associative",
// "Fully-associative", "Direct-mapped": the parameter printout's), or null
// for a code no family has.
const char *vantle_organisation_name(int organisation);

// The display name of a family's policy: "LRU", "OPT", or "OPT-bypass"
// for set-associative OPT, which may leave a missing line out of the
// cache; "" for direct-mapped, which has none; null for codes no family
// has.
const char *vantle_policy_name(int organisation, int policy);

// For the family the last vantle_configure set: the base-2 logarithm of
// the span of addresses its sets cover before they repeat, the largest
// over its caches (2^(B+L) bytes set-associative, the cache direct-mapped,
// one line fully associative).
int vantle_set_span_bits(void);

// The letters of the option words that set the organisation, the
// fully-associative report's step and its largest cache, for a caller that
// checks the step against the largest cache before the library reads them.
enum {
  VANTLE_ORGANISATION_LETTER = 'C',
  VANTLE_REPORT_STEP_LETTER = 'i',
  VANTLE_LARGEST_CACHE_LETTER = 'M'
};

// For tests only: the run starts as though count references had been
// simulated before the first one fed, each a hit in every cache of the
// family, after which every cache was emptied: the family's clock, its
// reference count, the hits of every cache and the count that the
// reference limit applies to start at count, so that a short run crosses
// the edges of 32-bit counts, or the limit; an OPT family's priority clock
// (and group numbers) start where they are about to move.
// Called after vantle_init and before the first reference; returns 0, or 1
// (changing nothing) when a reference came already or count is past the
// reference limit.
int test_start_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_FRONTEND_H_
