#include "consent/GDPRConsent.hpp"

#include <kelvor/Log.hpp>

#include "platform/DispatchQueue.hpp"
#include "support/Render.hpp"

namespace kelvor {

GDPRConsent::GDPRConsent(std::shared_ptr<Option> options)
    : options_(std::move(options)), userDefaults_(Preferences::standard()) {}

GDPRConsent::~GDPRConsent() {
  invalidateObserver();
}

bool GDPRConsent::gdprApplies() const {
  return userDefaults_.integer("IABTCF_PolicyVersion") != 0 &&
         userDefaults_.integer("IABTCF_gdprApplies") == 1;
}

bool GDPRConsent::hasTCString() const {
  auto text = userDefaults_.string("IABTCF_TCString");
  return text && !text->empty();
}

void GDPRConsent::resolveTCFV2Consent(const Callback& callback) {
  Log::info("resolveTCFV2Consent - to resolve consent with tcf v2 data");
  bool applies = gdprApplies();
  Log::info("GDPR Module: resolveTCFV2Consent - gdpr applies: " + render(applies));
  if (applies) {
    Json consent = translateTCDataToSDKConsent(getTCData());
    Log::info("GDPR Module: resolveTCFV2Consent - Consent resolved successfully.");
    Log::info("GDPR Module: resolveTCFV2Consent - SDKConsent: " + render(consent));
    callback(consent);
    return;
  }
  invalidateObserver();
  Json consent = {
      {"track", false}, {"identify", false}, {"vendorConsent", false}, {"gdprApplies", false}};
  Log::info("GDPR Module: resolveTCFV2Consent - No gdpr: " + render(consent));
  callback(consent);
}

TCData GDPRConsent::getTCData() const {
  Log::info("getTCData - to get required tcf consent data");
  auto text = [this](const char* key) { return userDefaults_.string(key).value_or(""); };
  TCData data;
  data.tcString = text("IABTCF_TCString");
  data.vendorConsents = text("IABTCF_VendorConsents");
  data.vendorLegitimateInterests = text("IABTCF_VendorLegitimateInterests");
  data.purposeConsents = text("IABTCF_PurposeConsents");
  data.purposeLegitimateInterests = text("IABTCF_PurposeLegitimateInterests");
  data.specialFeaturesOptIns = text("IABTCF_SpecialFeaturesOptIns");
  data.publisherRestrictions = text("IABTCF_PublisherRestrictions");
  data.publisherConsent = text("IABTCF_PublisherConsent");
  data.publisherLegitimateInterests = text("IABTCF_PublisherLegitimateInterests");
  data.publisherCustomPurposesConsents = text("IABTCF_PublisherCustomPurposesConsents");
  data.publisherCustomPurposesLegitimateInterests =
      text("IABTCF_PublisherCustomPurposesLegitimateInterests");
  return data;
}

Json GDPRConsent::translateTCDataToSDKConsent(const TCData& tcData) const {
  Json consent = {{"gdprApplies", true}, {"consentString", tcData.tcString}};
  bool vendor = hasVendorConsent(tcData);
  consent["track"] =
      hasConsentToTrack(vendor, tcData.purposeConsents, options_->purposesForTracking(),
                        options_->checkKelvorVendorConsent());
  consent["identify"] = hasConsentToIdentify(tcData);
  consent["vendorConsent"] = vendor;
  Log::info("GDPR Module: translateTCDataToSDKConsent - consentData: " + render(consent));
  return consent;
}

bool GDPRConsent::hasConsentToTrack(bool vendor, const std::string& purposeConsents,
                                    const std::vector<int>& purposes, bool checkVendor) {
  Log::info("GDPR Module: hasConsentToTrack - hasVendorConsentForKelvor: " + render(vendor));
  if (checkVendor && !vendor) return false;
  if (purposeConsents.empty()) return false;
  Log::info("GDPR Module: hasConsentToTrack - purposeConsents: " + purposeConsents);
  Log::info("GDPR Module: hasConsentToTrack - purposesForTracking: " + render(purposes));
  if (!purposes.empty()) return hasPurposeConsents(purposes, purposeConsents);
  return hasPurposeConsents({1, 3, 4}, purposeConsents) ||
         hasPurposeConsents({1, 5, 6}, purposeConsents);
}

bool GDPRConsent::hasConsentToIdentify(const TCData& tcData) const {
  bool vendor = hasVendorConsent(tcData);
  const std::string& bits = tcData.purposeConsents;
  std::vector<int> purposes = options_->purposesForIdentifying();
  Log::info("GDPR Module: hasConsentToIdentify - vendorPurposes: " + bits);
  Log::info("GDPR Module: hasConsentToIdentify - purposesForIdentifying: " + render(purposes));
  bool checkVendor = options_->checkKelvorVendorConsent();
  if ((vendor || !checkVendor) && !bits.empty()) {
    return hasPurposeConsents(purposes.empty() ? std::vector<int>{1, 9} : purposes, bits);
  }
  return false;
}

bool GDPRConsent::hasVendorConsent(const TCData& tcData) {
  const std::string& text = tcData.vendorConsents;
  if (text.size() < static_cast<size_t>(vendorId)) return false;
  return text[vendorId - 1] == '1';
}

bool GDPRConsent::hasPurposeConsents(const std::vector<int>& purposes, const std::string& bits) {
  for (int p : purposes) {
    // Positions are 1-based: an id below 1 names no purpose and cannot be consented.
    if (p < 1 || bits.size() < static_cast<size_t>(p)) return false;
    if (bits[static_cast<size_t>(p) - 1] == '0') return false;
  }
  return true;
}

const std::vector<std::string>& GDPRConsent::observedKeys() {
  static const auto* keys = new std::vector<std::string>{
      "IABTCF_TCString",
      "IABTCF_PolicyVersion",
      "IABTCF_gdprApplies",
      "IABTCF_VendorConsents",
      "IABTCF_VendorLegitimateInterests",
      "IABTCF_PurposeConsents",
      "IABTCF_PurposeLegitimateInterests",
      "IABTCF_SpecialFeaturesOptIns",
      "IABTCF_PublisherRestrictions",
      "IABTCF_PublisherConsent",
      "IABTCF_PublisherLegitimateInterests",
      "IABTCF_PublisherCustomPurposesConsents",
      "IABTCF_PublisherCustomPurposesLegitimateInterests",
  };
  return *keys;
}

void GDPRConsent::observeTCString(Callback callback) {
  std::weak_ptr<GDPRConsent> weak = weak_from_this();
  auto pending = pending_;
  auto changed = [weak, callback, pending] {
    // The first change of a burst schedules the resolution; it reads every key when it runs.
    if (pending->exchange(true)) return;
    DispatchQueue::globalBackground().asyncAfter(changeDelay, [weak, callback, pending] {
      pending->store(false);
      if (auto self = weak.lock()) self->resolveTCFV2Consent(callback);
    });
  };
  std::vector<ObservationToken> tokens;
  for (const auto& key : observedKeys()) tokens.push_back(userDefaults_.observe(key, changed));
  std::vector<ObservationToken> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(observers_);
    observers_ = std::move(tokens);
  }
  // `previous` ends its observations here, outside the lock.
}

bool GDPRConsent::isObserving() const {
  std::lock_guard lock(mutex_);
  return !observers_.empty() && observers_.front().isValid();
}

void GDPRConsent::invalidateObserver() {
  std::vector<ObservationToken> ended;
  {
    std::lock_guard lock(mutex_);
    ended = std::move(observers_);
  }
}

}  // namespace kelvor
