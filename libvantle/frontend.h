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
