#include <kelvor/Log.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "platform/Base64.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"
#include "support/Text.hpp"

namespace kelvor {

#define KELVOR_OPTION_ACCESSORS(Type, getter, setter, field) \
  Type QuorvelOption::getter() const {                       \
    std::lock_guard lock(mutex_);                            \
    return field;                                            \
  }                                                          \
  void QuorvelOption::setter(Type value) {                   \
    std::lock_guard lock(mutex_);                            \
    field = std::move(value);                                \
  }

bool QuorvelOption::logging() const {
  std::lock_guard lock(mutex_);
  return logging_;
}

void QuorvelOption::setLogging(bool value) {
  loggingSet_.store(true);
  std::lock_guard lock(mutex_);
  logging_ = value;
}
KELVOR_OPTION_ACCESSORS(std::optional<bool>, optout, setOptout, optout_)
KELVOR_OPTION_ACCESSORS(bool, useConsent, setUseConsent, useConsent_)
KELVOR_OPTION_ACCESSORS(bool, checkForCMP, setCheckForCMP, checkForCMP_)
KELVOR_OPTION_ACCESSORS(bool, areIdentitiesHashed, setAreIdentitiesHashed, areIdentitiesHashed_)
KELVOR_OPTION_ACCESSORS(bool, hashIdentities, setHashIdentities, hashIdentities_)
KELVOR_OPTION_ACCESSORS(int64_t, batchSize, setBatchSize, batchSize_)
KELVOR_OPTION_ACCESSORS(int64_t, maxCacheSize, setMaxCacheSize, maxCacheSize_)
KELVOR_OPTION_ACCESSORS(int64_t, eventUploadInterval, setEventUploadInterval, eventUploadInterval_)
KELVOR_OPTION_ACCESSORS(bool, checkKelvorVendorConsent, setCheckKelvorVendorConsent,
                        checkKelvorVendorConsent_)
#undef KELVOR_OPTION_ACCESSORS

#define KELVOR_OPTION_REF_ACCESSORS(Type, getter, setter, field) \
  Type QuorvelOption::getter() const {                           \
    std::lock_guard lock(mutex_);                                \
    return field;                                                \
  }                                                              \
  void QuorvelOption::setter(const Type& value) {                \
    std::lock_guard lock(mutex_);                                \
    field = value;                                               \
  }

KELVOR_OPTION_REF_ACCESSORS(std::string, userCountry, setUserCountry, userCountry_)
KELVOR_OPTION_REF_ACCESSORS(std::vector<int>, purposesForTracking, setPurposesForTracking,
                            purposesForTracking_)
KELVOR_OPTION_REF_ACCESSORS(std::vector<int>, purposesForIdentifying, setPurposesForIdentifying,
                            purposesForIdentifying_)
#undef KELVOR_OPTION_REF_ACCESSORS

std::string QuorvelOption::apiKey() const {
  std::lock_guard lock(mutex_);
  return apiKey_;
}

void QuorvelOption::setApiKey(const std::string& value) {
  registerSecret(value);
  std::lock_guard lock(mutex_);
  apiKey_ = value;
}

void QuorvelOption::registerSecret(const std::string& key) {
  // The key, and the forms it travels in, never reach a log line.
  Redaction::addSecret(key);
  Redaction::addSecret(Base64::encode(key));
  Redaction::addSecret(Base64::encode("w_k:" + key));
}

QuorvelOption& QuorvelOption::writeKey(const std::string& value) {
  setApiKey(value);
  Log::info("API Key value was set to " + maskedKey(value));
  return *this;
}

std::string QuorvelOption::maskedKey(const std::string& key) {
  // A log is no place for the key: its first 4 characters (only when it is long enough that
  // they say little) and its length.
  size_t characters = 0;
  size_t prefixBytes = 0;
  for (size_t i = 0; i < key.size(); ++i) {
    if ((static_cast<unsigned char>(key[i]) & 0xC0) == 0x80) continue;
    if (++characters == 5) prefixBytes = i;
  }
  if (characters < 5) prefixBytes = key.size();
  std::string shown = characters >= 12 ? key.substr(0, prefixBytes) : std::string();
  return shown + "*** (" + std::to_string(characters) + " characters)";
}

QuorvelOption& QuorvelOption::logging(bool value) {
  setLogging(value);
  // A host that asks for no logging gets none from here on, not only after initialize.
  if (!value) Log::setEnabled(false);
  Log::info("Logging value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::optout(bool value) {
  setOptout(value);
  Log::info("Optout value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::useConsent(bool value) {
  setUseConsent(value);
  Log::info("useConsent value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::checkForCMP(bool value) {
  setCheckForCMP(value);
  Log::info("checkForCMP value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::areIdentitiesHashed(bool value) {
  setAreIdentitiesHashed(value);
  Log::info("areIdentitiesHashed value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::hashIdentities(bool value) {
  setHashIdentities(value);
  Log::info("hashIdentities value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::userCountry(const std::string& code) {
  setUserCountry(code);
  Log::info("userCountry value was set to " + code);
  return *this;
}

QuorvelOption& QuorvelOption::batchSize(int64_t value) {
  setBatchSize(value);
  Log::info("batchSize value was set to " + std::to_string(value));
  return *this;
}

QuorvelOption& QuorvelOption::maxCacheSize(int64_t value) {
  setMaxCacheSize(value);
  Log::info("maxCacheSize value was set to " + std::to_string(value));
  return *this;
}

QuorvelOption& QuorvelOption::eventUploadInterval(int64_t value) {
  setEventUploadInterval(value);
  Log::info("eventUploadInterval value was set to " + std::to_string(value));
  return *this;
}

QuorvelOption& QuorvelOption::purposesForTracking(const std::vector<int>& value) {
  setPurposesForTracking(value);
  Log::info("purposesForTracking value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::purposesForIdentifying(const std::vector<int>& value) {
  setPurposesForIdentifying(value);
  Log::info("purposesForIdentifying value was set to " + render(value));
  return *this;
}

QuorvelOption& QuorvelOption::checkKelvorVendorConsent(bool value) {
  setCheckKelvorVendorConsent(value);
  Log::info("checkKelvorVendorConsent value was set to " + render(value));
  return *this;
}

bool QuorvelOption::isApiKeyBlank() const {
  std::lock_guard lock(mutex_);
  return Text::isBlank(apiKey_);
}

std::shared_ptr<Option> QuorvelOption::build() {
  if (loggingSet_.load() && !logging()) Log::setEnabled(false);
  int64_t batch, cache, interval;
  bool contradictoryHashing = false;
  {
    std::lock_guard lock(mutex_);
    if (!optout_) optout_ = false;
    if (areIdentitiesHashed_ && hashIdentities_) {
      hashIdentities_ = false;
      contradictoryHashing = true;
    }
    if (batchSize_ < 10) batchSize_ = 10;
    if (batchSize_ > 50) batchSize_ = 50;
    if (maxCacheSize_ > 200) {
      maxCacheSize_ = 200;
    } else if (maxCacheSize_ < 1 || maxCacheSize_ <= batchSize_) {
      maxCacheSize_ = 100;
    }
    if (eventUploadInterval_ <= 0) eventUploadInterval_ = 90;
    batch = batchSize_;
    cache = maxCacheSize_;
    interval = eventUploadInterval_;
  }
  if (contradictoryHashing) Log::error("Cannot transform hashed identities.");
  Log::info("Batch Size - " + std::to_string(batch));
  Log::info("Max Cache Size - " + std::to_string(cache));
  Log::info("Event Upload Interval - " + std::to_string(interval));
  if (auto self = weak_from_this().lock()) return self;
  // Not owned by a shared_ptr (made on the stack, say): the library gets a copy it owns, so it
  // never reads an object that is gone.
  auto copy = std::make_shared<QuorvelOption>();
  std::lock_guard lock(mutex_);
  copy->apiKey_ = apiKey_;
  copy->logging_ = logging_;
  copy->optout_ = optout_;
  copy->useConsent_ = useConsent_;
  copy->checkForCMP_ = checkForCMP_;
  copy->areIdentitiesHashed_ = areIdentitiesHashed_;
  copy->hashIdentities_ = hashIdentities_;
  copy->userCountry_ = userCountry_;
  copy->batchSize_ = batchSize_;
  copy->maxCacheSize_ = maxCacheSize_;
  copy->eventUploadInterval_ = eventUploadInterval_;
  copy->purposesForTracking_ = purposesForTracking_;
  copy->purposesForIdentifying_ = purposesForIdentifying_;
  copy->checkKelvorVendorConsent_ = checkKelvorVendorConsent_;
  return copy;
}

}  // namespace kelvor
