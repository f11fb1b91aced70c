#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kelvor {

// Standard alphabet with padding and no line breaks.
class Base64 {
 public:
  static std::string encode(std::string_view bytes);
  static std::optional<std::string> decode(std::string_view text);
};

}  // namespace kelvor
