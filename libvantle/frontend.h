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

#endif  // VANTLE_LIBVANTLE_FRONTEND_H_
