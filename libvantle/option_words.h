// The option words of the library ("-Cfa", "-l5", ...): read into the
// configuration variables of libvantle.h over their defaults, checked for
// the configured organisation, and described for help texts
// (vantle_word_help, frontend.h). Every refusal is one "libvantle: "
// message on stderr; nothing here ends the process.
#ifndef VANTLE_LIBVANTLE_OPTION_WORDS_H_
#define VANTLE_LIBVANTLE_OPTION_WORDS_H_

#include <stdint.h>

// Sets every configuration variable to its default, then reads the argc
// words of argv into them and checks the result: values in range, sizes
// that agree, a report of readable size. Returns false after writing the
// refusal of the first fault; may warn or adjust the report step and
// still return true.
bool read_option_words(int argc, char **argv);

// Whether tables of need bytes fit in what the machine allows; false after
// writing the refusal, which names the limit.
bool fits_in_memory(uint64_t need);

#endif  // VANTLE_LIBVANTLE_OPTION_WORDS_H_
