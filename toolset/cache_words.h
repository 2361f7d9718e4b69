// The -cache:opts values of a run, each one family: "[<kinds>:] <library
// words>". The library is lenient with the programs that call it (it skips
// an unknown word with a warning and reads "-a5x" as 5); vantle-sim takes
// its words strictly, and has the library itself check them
// (vantle_configure) before anything runs or is written: a mistyped or
// refused word stops the run before it starts. What the checks know of the
// words (their letters, defaults and meaning) they ask of the library.
#ifndef VANTLE_TOOLSET_CACHE_WORDS_H_
#define VANTLE_TOOLSET_CACHE_WORDS_H_

#include <stddef.h>

#include "toolset/family_sink.h"

// Whether word reads as one of the library's words: a letter the library
// has, glued to something ("-M65536").
bool cw_is_library_word(const char *word);

// Sets the reference kinds a selection name feeds into wanted (indexed by
// md_ref_kind); false for an unknown name.
bool cw_select_kinds(const char *name, bool *wanted);

// Parses one -cache:opts value into f (which it clears); kinds is the
// run-wide selection used when the value names none. False, with why
// (of size n) saying what is wrong, when the value is not "[<kinds>:]
// words" or a word is not one the library reads whole, or when the
// family's report would list no cache size.
bool cw_parse(fam_family *f, const char *spec, const char *kinds, char *why,
              size_t n);

// Has the library check f's words, its messages caught. True when it
// accepts them: f then knows what the library says of it (set_span_bits,
// has_window, organisation, policy). False when it refuses them: *messages (malloc'd, the
// caller's to free) holds what it said.
bool cw_configure(fam_family *f, char **messages);

#endif  // VANTLE_TOOLSET_CACHE_WORDS_H_
