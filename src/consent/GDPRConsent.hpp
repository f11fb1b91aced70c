#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kelvor/Json.hpp>
#include <kelvor/ObservationToken.hpp>
#include <kelvor/Option.hpp>
#include <kelvor/Preferences.hpp>

#include "consent/TCData.hpp"
#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// Turns the IAB TCF v2 values in the app's standard preferences into the library's consent
// dictionary, and watches the TC string for later decisions of the consent-management platform.
class GDPRConsent : public std::enable_shared_from_this<GDPRConsent> {
 public:
  using Callback = std::function<void(const Json& consent)>;
  static constexpr int vendorId = 742;
  static constexpr std::chrono::milliseconds changeDelay{1000};

  explicit GDPRConsent(std::shared_ptr<Option> options);
  ~GDPRConsent();

  void resolveTCFV2Consent(const Callback& callback);
  TCData getTCData() const;
  Json translateTCDataToSDKConsent(const TCData& tcData) const;
  static bool hasConsentToTrack(bool hasVendorConsentForKelvor, const std::string& purposeConsents,
                                const std::vector<int>& purposesForTracking,
                                bool checkVendorConsent);
  bool hasConsentToIdentify(const TCData& tcData) const;
  static bool hasVendorConsent(const TCData& tcData);
  static bool hasPurposeConsents(const std::vector<int>& purposes, const std::string& consentBits);
  bool hasTCString() const;
  bool gdprApplies() const;

  // Every change of an IABTCF_* key the reader uses resolves again, changeDelay later, on the
  // global background queue; a CMP writes its keys one by one, so changes within the delay are
  // resolved once. Replaces an earlier observation.
  void observeTCString(Callback callback);
  // The keys a consent-management platform writes and the reader uses.
  static const std::vector<std::string>& observedKeys();
  bool isObserving() const;
  void invalidateObserver();

  Preferences& userDefaults() const { return userDefaults_; }

 private:
  std::shared_ptr<Option> options_;
  Preferences& userDefaults_;
  mutable ForkSafeMutex mutex_{ProcessFork::consentStrings};
  std::vector<ObservationToken> observers_;
  // A resolution is scheduled and has not read the keys yet.
  std::shared_ptr<std::atomic<bool>> pending_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace kelvor
