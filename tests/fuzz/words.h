// Turns a fuzzer's input into command-line words, split at blanks,
// newlines and NULs.
#ifndef VANTLE_TESTS_FUZZ_WORDS_H_
#define VANTLE_TESTS_FUZZ_WORDS_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

inline std::vector<std::string> split_words(const uint8_t *data, size_t size) {
  std::vector<std::string> words;
  std::string word;
  for (size_t i = 0; i <= size; i++) {
    char ch = i < size ? static_cast<char>(data[i]) : '\0';
    if (ch == ' ' || ch == '\n' || ch == '\0') {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += ch;
    }
  }
  return words;
}

#endif  // VANTLE_TESTS_FUZZ_WORDS_H_
