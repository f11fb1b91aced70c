#pragma once

#include <string>

namespace kelvor {

// Full Unicode case mapping of UTF-8 text (ß upper-cases to SS), through ICU's root locale.
// Text that is not valid UTF-8 comes back unchanged.
class CaseMapping {
 public:
  static std::string upper(const std::string& text);
  static std::string lower(const std::string& text);
};

}  // namespace kelvor
