#include "support/Text.hpp"

namespace kelvor {

size_t Text::whitespaceAt(const std::string& s, size_t at, bool lineBreaks) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  if (at >= s.size()) return 0;
  const unsigned char c = byte(at);
  if (c == ' ' || c == '\t') return 1;
  if (lineBreaks && (c == '\n' || c == '\r' || c == '\v' || c == '\f')) return 1;
  if (c == 0xC2 && at + 1 < s.size()) {
    if (byte(at + 1) == 0xA0) return 2;                // U+00A0
    if (lineBreaks && byte(at + 1) == 0x85) return 2;  // U+0085
  }
  if (at + 2 >= s.size()) return 0;
  const unsigned b1 = byte(at + 1), b2 = byte(at + 2);
  if (c == 0xE1 && b1 == 0x9A && b2 == 0x80) return 3;                  // U+1680
  if (c == 0xE2 && b1 == 0x80 && (b2 <= 0x8A || b2 == 0xAF)) return 3;  // U+2000-200A, 202F
  if (lineBreaks && c == 0xE2 && b1 == 0x80 && (b2 == 0xA8 || b2 == 0xA9)) return 3;  // 2028/9
  if (c == 0xE2 && b1 == 0x81 && b2 == 0x9F) return 3;                                // U+205F
  if (c == 0xE3 && b1 == 0x80 && b2 == 0x80) return 3;                                // U+3000
  return 0;
}

std::string Text::trim(const std::string& s, bool lineBreaks) {
  size_t begin = 0;
  while (size_t n = whitespaceAt(s, begin, lineBreaks)) begin += n;
  size_t end = s.size();
  for (bool trimmed = true; trimmed && end > begin;) {
    trimmed = false;
    for (size_t width : {1u, 2u, 3u}) {
      if (end >= begin + width && whitespaceAt(s, end - width, lineBreaks) == width) {
        end -= width;
        trimmed = true;
        break;
      }
    }
  }
  return s.substr(begin, end - begin);
}

bool Text::isBlank(const std::string& text) {
  size_t at = 0;
  while (size_t n = whitespaceAt(text, at, true)) at += n;
  return at >= text.size();
}

}  // namespace kelvor
