#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace kelvor::collector {

// Reads fields of JSON that may hold anything (a request, a record line a user points the
// collector at): nothing assumes a type, a missing or mistyped field reads as null, "" or 0.
class JsonFields {
 public:
  static const nlohmann::json& at(const nlohmann::json& value, const char* key) {
    static const nlohmann::json missing;
    if (!value.is_object()) return missing;
    auto found = value.find(key);
    return found != value.end() ? *found : missing;
  }
  static std::string text(const nlohmann::json& value, const char* key,
                          const std::string& otherwise = "") {
    const nlohmann::json& field = at(value, key);
    return field.is_string() ? field.get<std::string>() : otherwise;
  }
  static int64_t number(const nlohmann::json& value, const char* key) {
    const nlohmann::json& field = at(value, key);
    return field.is_number_integer() ? field.get<int64_t>() : 0;
  }
};

}  // namespace kelvor::collector
