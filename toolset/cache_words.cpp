// The -cache:opts values of a run (cache_words.h): parsing, the strict
// check of each word, and the library's own check. Keeps the library's
// table of option words once read; nothing else.
#include "toolset/cache_words.h"

#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "libvantle/frontend.h"
#include "libvantle/libvantle.h"

namespace {

// The library's row of the help table for letter, or null when no word
// of the library has it.
const vantle_word_help_row *word_row(char letter) {
  static vantle_word_help_row rows[32];
  static int count = -1;
  if (count < 0) count = std::min(vantle_word_help(rows, 32), 32);
  for (int i = 0; i < count; i++)
    if (rows[i].letter == letter) return &rows[i];
  return nullptr;
}

// Whether the library reads a number after the letter: its default word
// holds one ("-a7", not "-Csa").
bool takes_number(const vantle_word_help_row *row) {
  char first = row->default_word[2];
  return first >= '0' && first <= '9';
}

// An optional sign, then decimal digits, and nothing else.
bool is_decimal(const char *text) {
  if (*text == '+' || *text == '-') text++;
  if (*text < '0' || *text > '9') return false;
  while (*text >= '0' && *text <= '9') text++;
  return !*text;
}

// Refuses a word that the library would skip with a warning or read in
// part. The values of words that take no number, and the ranges of the
// numbers, are left to the library to judge.
bool check_word(const char *word, char *why, size_t n) {
  char letter = word[0] == '-' ? word[1] : '\0';
  const vantle_word_help_row *row = letter ? word_row(letter) : nullptr;
  if (!row) {
    snprintf(why, n, "-cache:opts: `%s' is not a cache option word", word);
    return false;
  }
  if (!takes_number(row)) return true;
  if (!word[2]) {
    snprintf(why, n, "-cache:opts: `%s' needs a number glued to its letter",
             word);
    return false;
  }
  if (is_decimal(word + 2)) return true;
  snprintf(why, n, "-cache:opts: `%s' needs a decimal number after its "
           "letter", word);
  return false;
}

// Runs vantle_configure on words, with what the library writes to the
// error stream caught into *said; returns whether it accepted them.
bool configure_caught(int count, char **words, std::string *said) {
  fflush(stderr);
  int saved = dup(2);
  int caught = memfd_create("vantle-words", MFD_CLOEXEC);
  if (saved < 0 || caught < 0 || dup2(caught, 2) < 0) {
    // Nothing can catch them: the library speaks to the stream itself.
    if (saved >= 0) close(saved);
    if (caught >= 0) close(caught);
    return vantle_configure(count, words) == 0;
  }
  bool accepted = vantle_configure(count, words) == 0;
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  char chunk[4096];
  off_t at = 0;
  for (ssize_t got; (got = pread(caught, chunk, sizeof chunk, at)) > 0;
       at += got)
    said->append(chunk, static_cast<size_t>(got));
  close(caught);
  return accepted;
}

// The organisation that word names, as the library reads it (the default
// one when word is null or names none).
int organisation_named(char *word) {
  std::string ignored;
  configure_caught(word ? 1 : 0, &word, &ignored);
  return trace_config;
}

// The last of f's words with letter, or null.
const char *last_word(const fam_family *f, char letter) {
  const char *last = nullptr;
  for (int i = 0; i < f->count; i++)
    if (f->words[i][1] == letter) last = f->words[i];
  return last;
}

// The fully associative report lists the sizes that are multiples of its
// step up to its largest cache: with a larger step it would list none.
bool report_lists_sizes(const fam_family *f, char *why, size_t n) {
  char *organisation =
      const_cast<char *>(last_word(f, VANTLE_ORGANISATION_LETTER));
  if (organisation_named(organisation) != VANTLE_FULLY_ASSOCIATIVE)
    return true;
  const char *step = last_word(f, VANTLE_REPORT_STEP_LETTER);
  const char *largest = last_word(f, VANTLE_LARGEST_CACHE_LETTER);
  const char *step_word =
      step ? step : word_row(VANTLE_REPORT_STEP_LETTER)->default_word;
  const char *largest_word =
      largest ? largest : word_row(VANTLE_LARGEST_CACHE_LETTER)->default_word;
  long long step_bytes = strtoll(step_word + 2, nullptr, 10);
  long long largest_bytes = strtoll(largest_word + 2, nullptr, 10);
  // A negative largest cache is the library's to refuse, by its range.
  if (step_bytes <= largest_bytes || largest_bytes < 0) return true;
  snprintf(why, n, "-cache:opts: %s%s is larger than %s%s: the report would "
           "list no cache size", step_word, step ? "" : " (the default)",
           largest_word, largest ? "" : " (the default)");
  return false;
}

// Splits the value's kinds from its words: the kinds are one word, blanks
// around it aside, so that "all junk:" is no kind and does not pass as
// "all". Returns the words.
char *take_kinds(fam_family *f) {
  char *words = f->text;
  char *colon = strchr(words, ':');
  if (!colon) return words;
  *colon = '\0';
  char *name = words + strspn(words, " \t");
  size_t length = strlen(name);
  while (length > 0 && strchr(" \t", name[length - 1])) name[--length] = '\0';
  f->kinds = name;
  f->kinds_given = true;
  return colon + 1;
}

}  // namespace

bool cw_is_library_word(const char *word) {
  return word[0] == '-' && word[1] && word[2] && word_row(word[1]);
}

bool cw_select_kinds(const char *name, bool *wanted) {
  bool all = !strcmp(name, "all"), data = !strcmp(name, "data");
  bool load = !strcmp(name, "load"), store = !strcmp(name, "store");
  wanted[MD_REF_NONE] = all;
  wanted[MD_REF_INST] = all || !strcmp(name, "inst");
  wanted[MD_REF_LOAD] = all || data || load;
  wanted[MD_REF_STORE] = all || data || store;
  // A modify reads and writes one location: one data reference.
  wanted[MD_REF_MODIFY] = all || data || load || store;
  return wanted[MD_REF_INST] || wanted[MD_REF_LOAD] || wanted[MD_REF_STORE];
}

bool cw_parse(fam_family *f, const char *spec, const char *kinds, char *why,
              size_t n) {
  memset(f, 0, sizeof *f);
  f->spec = spec;
  f->kinds = kinds;
  f->text = strdup(spec);
  char *words = take_kinds(f);
  if (!cw_select_kinds(f->kinds, f->wanted)) {
    snprintf(why, n, "-cache:opts `%s': its reference kinds must be all, "
             "inst, data, load or store", spec);
    return false;
  }
  int most = static_cast<int>(sizeof f->words / sizeof f->words[0]);
  for (char *w = strtok(words, " \t"); w; w = strtok(nullptr, " \t")) {
    if (f->count == most) {
      snprintf(why, n, "-cache:opts `%s': it holds too many words", spec);
      return false;
    }
    f->words[f->count++] = w;
  }
  for (int i = 0; i < f->count; i++)
    if (!check_word(f->words[i], why, n)) return false;
  return report_lists_sizes(f, why, n);
}

bool cw_configure(fam_family *f, char **messages) {
  std::string said;
  if (!configure_caught(f->count, f->words, &said)) {
    *messages = strdup(said.c_str());
    return false;
  }
  f->set_span_bits = vantle_set_span_bits();
  f->has_window = repl == VANTLE_OPT && trace_config != VANTLE_DIRECT_MAPPED;
  f->organisation = trace_config;
  f->policy = trace_config == VANTLE_DIRECT_MAPPED ? int{VANTLE_LRU} : repl;
  return true;
}
