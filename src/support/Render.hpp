#pragma once

#include <optional>
#include <string>
#include <vector>

#include <kelvor/Json.hpp>

namespace kelvor {

// Texts of values in log lines and query maps.
inline std::string render(bool value) {
  return value ? "true" : "false";
}

inline std::string render(const std::optional<bool>& value) {
  return value ? (*value ? "Optional(true)" : "Optional(false)") : "nil";
}

// "[1, 3]"; "[]" when empty.
inline std::string render(const std::vector<int>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i]);
  }
  return out + "]";
}

// Compact JSON; invalid UTF-8 is replaced rather than failing.
inline std::string render(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace kelvor
