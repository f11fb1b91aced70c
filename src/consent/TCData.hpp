#pragma once

#include <string>

namespace kelvor {

// The TCF v2 texts a consent-management platform stored, each empty when absent. Only
// tcString, vendorConsents and purposeConsents take part in a decision.
struct TCData {
  std::string tcString;
  std::string vendorConsents;
  std::string vendorLegitimateInterests;
  std::string purposeConsents;
  std::string purposeLegitimateInterests;
  std::string specialFeaturesOptIns;
  std::string publisherRestrictions;
  std::string publisherConsent;
  std::string publisherLegitimateInterests;
  std::string publisherCustomPurposesConsents;
  std::string publisherCustomPurposesLegitimateInterests;
};

}  // namespace kelvor
