#include <kelvor/ConsentData.hpp>

namespace kelvor {
namespace {

std::string text(const std::optional<bool>& value) {
  return value ? (*value ? "true" : "false") : "nil";
}

}  // namespace

std::string ConsentData::description() const {
  return "ConsentData(resolved: " + text(resolved) + ", track: " + text(track) +
         ", identity: " + text(identity) + ", gdprApplies: " + text(gdprApplies) +
         ", consentString: " + (consentString ? "\"" + *consentString + "\"" : "nil") +
         ", vendorConsent: " + text(vendorConsent) + ")";
}

}  // namespace kelvor
