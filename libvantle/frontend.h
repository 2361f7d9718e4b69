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

// For tests only: the run starts as though count references had been
// simulated before the first one fed (none of them in any cache): the
// family's clock and reference count, and the count that the reference
// limit applies to, start at count, so that a short run crosses the limit.
// Called after vantle_init and before the first reference; returns 0, or 1
// (changing nothing) when the family has no such start, a reference came
// already, or count is past the reference limit.
int test_start_at(uint64_t count);

#endif  // VANTLE_LIBVANTLE_FRONTEND_H_
