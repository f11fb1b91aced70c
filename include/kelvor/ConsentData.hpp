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

  // Written out: hosts may compile the public headers as C++17, which has no defaulted ==.
  bool operator==(const ConsentData& other) const {
    return resolved == other.resolved && track == other.track && identity == other.identity &&
           gdprApplies == other.gdprApplies && consentString == other.consentString &&
           vendorConsent == other.vendorConsent;
  }
  std::string description() const;
};

}  // namespace kelvor
