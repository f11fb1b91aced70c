#pragma once

#include <cstddef>
#include <string>

namespace kelvor {

// Unicode white space in UTF-8 text, as the platform's character sets define it.
class Text {
 public:
  // Length of the white-space character that starts at `at` (0 when none): space separators
  // (Unicode Zs) and tab; with `lineBreaks` also line feed, carriage return, vertical tab, form
  // feed, U+0085, U+2028 and U+2029.
  static size_t whitespaceAt(const std::string& text, size_t at, bool lineBreaks);
  // `text` without white space at either end.
  static std::string trim(const std::string& text, bool lineBreaks);
  // Nothing but white space and line breaks (or nothing at all).
  static bool isBlank(const std::string& text);
};

}  // namespace kelvor
