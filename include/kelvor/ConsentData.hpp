#pragma once

#include <optional>
#include <string>

#include <kelvor/export.hpp>

namespace kelvor {

// The library's consent record. A record made from a consent dictionary has all six fields;
// the initial record has none (unresolved).
struct KELVOR_EXPORT ConsentData {
  std::optional<bool> resolved;
  std::optional<bool> track;
  std::optional<bool> identity;
  std::optional<bool> gdprApplies;
  std::optional<std::string> consentString;
  std::optional<bool> vendorConsent;

  bool operator==(const ConsentData&) const = default;
  std::string description() const;
};

}  // namespace kelvor
