// Letter case for what the controller reads whatever its case: option
// letters, age units and job status names. ASCII letters alone, the same
// under every locale: the text is bytes from other users, in no known
// encoding.
#ifndef PRCONTROLLER_LETTER_CASE_H_
#define PRCONTROLLER_LETTER_CASE_H_

#include <string>
#include <string_view>

namespace prcontroller {

inline char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = Lower(c);
  return lower;
}

}  // namespace prcontroller

#endif  // PRCONTROLLER_LETTER_CASE_H_
