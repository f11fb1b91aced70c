#include <atomic>
#include <mutex>

#include <kelvor/Log.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "platform/Base64.hpp"
#include "support/ForkSafeMutex.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"
#include "support/Text.hpp"

namespace kelvor {

struct QuorvelOption::Fields {
  ForkSafeMutex mutex{ProcessFork::options};
  std::atomic<bool> loggingSet{false};
  struct Values {
    std::string apiKey;
    bool logging = false;
    std::optional<bool> optout;
    bool useConsent = false;
    bool checkForCMP = false;
    bool areIdentitiesHashed = false;
    bool hashIdentities = false;
    std::string userCountry;
    int64_t batchSize = 30;
    int64_t maxCacheSize = 100;
    int64_t eventUploadInterval = 90;
    std::vector<int> purposesForTracking;
    std::vector<int> purposesForIdentifying;
    bool checkKelvorVendorConsent = false;
  } values;
};

QuorvelOption::QuorvelOption() : fields_(std::make_unique<Fields>()) {}

QuorvelOption::~QuorvelOption() = default;

#define KELVOR_OPTION_ACCESSORS(Type, getter, setter, field) \
  Type QuorvelOption::getter() const {                       \
    std::lock_guard lock(fields_->mutex);                    \
    return field;                                            \
  }                                                          \
  void QuorvelOption::setter(Type value) {                   \
    std::lock_guard lock(fields_->mutex);                    \
    field = std::move(value);                                \
  }

bool QuorvelOption::logging() const {
  std::lock_guard lock(fields_->mutex);
  return fields_->values.logging;
}

void QuorvelOption::setLogging(bool value) {
  fields_->loggingSet.store(true);
  std::lock_guard lock(fields_->mutex);
  fields_->values.logging = value;
}
KELVOR_OPTION_ACCESSORS(std::optional<bool>, optout, setOptout, fields_->values.optout)
KELVOR_OPTION_ACCESSORS(bool, useConsent, setUseConsent, fields_->values.useConsent)
KELVOR_OPTION_ACCESSORS(bool, checkForCMP, setCheckForCMP, fields_->values.checkForCMP)
KELVOR_OPTION_ACCESSORS(bool, areIdentitiesHashed, setAreIdentitiesHashed,
                        fields_->values.areIdentitiesHashed)
KELVOR_OPTION_ACCESSORS(bool, hashIdentities, setHashIdentities, fields_->values.hashIdentities)
KELVOR_OPTION_ACCESSORS(int64_t, batchSize, setBatchSize, fields_->values.batchSize)
KELVOR_OPTION_ACCESSORS(int64_t, maxCacheSize, setMaxCacheSize, fields_->values.maxCacheSize)
KELVOR_OPTION_ACCESSORS(int64_t, eventUploadInterval, setEventUploadInterval,
                        fields_->values.eventUploadInterval)
KELVOR_OPTION_ACCESSORS(bool, checkKelvorVendorConsent, setCheckKelvorVendorConsent,
                        fields_->values.checkKelvorVendorConsent)
#undef KELVOR_OPTION_ACCESSORS

#define KELVOR_OPTION_REF_ACCESSORS(Type, getter, setter, field) \
  Type QuorvelOption::getter() const {                           \
    std::lock_guard lock(fields_->mutex);                        \
    return field;                                                \
  }                                                              \
  void QuorvelOption::setter(const Type& value) {                \
    std::lock_guard lock(fields_->mutex);                        \
    field = value;                                               \
  }

KELVOR_OPTION_REF_ACCESSORS(std::string, userCountry, setUserCountry, fields_->values.userCountry)
KELVOR_OPTION_REF_ACCESSORS(std::vector<int>, purposesForTracking, setPurposesForTracking,
                            fields_->values.purposesForTracking)
KELVOR_OPTION_REF_ACCESSORS(std::vector<int>, purposesForIdentifying, setPurposesForIdentifying,
                            fields_->values.purposesForIdentifying)
#undef KELVOR_OPTION_REF_ACCESSORS

std::string QuorvelOption::apiKey() const {
  std::lock_guard lock(fields_->mutex);
  return fields_->values.apiKey;
}

void QuorvelOption::setApiKey(const std::string& value) {
  registerSecret(value);
  std::lock_guard lock(fields_->mutex);
  fields_->values.apiKey = value;
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
  std::lock_guard lock(fields_->mutex);
  return Text::isBlank(fields_->values.apiKey);
}

std::shared_ptr<Option> QuorvelOption::build() {
  if (fields_->loggingSet.load() && !logging()) Log::setEnabled(false);
  int64_t batch, cache, interval;
  bool contradictoryHashing = false;
  {
    std::lock_guard lock(fields_->mutex);
    Fields::Values& v = fields_->values;
    if (!v.optout) v.optout = false;
    if (v.areIdentitiesHashed && v.hashIdentities) {
      v.hashIdentities = false;
      contradictoryHashing = true;
    }
    if (v.batchSize < 10) v.batchSize = 10;
    if (v.batchSize > 50) v.batchSize = 50;
    if (v.maxCacheSize > 200) {
      v.maxCacheSize = 200;
    } else if (v.maxCacheSize < 1 || v.maxCacheSize <= v.batchSize) {
      v.maxCacheSize = 100;
    }
    if (v.eventUploadInterval <= 0) v.eventUploadInterval = 90;
    batch = v.batchSize;
    cache = v.maxCacheSize;
    interval = v.eventUploadInterval;
  }
  if (contradictoryHashing) Log::error("Cannot transform hashed identities.");
  Log::info("Batch Size - " + std::to_string(batch));
  Log::info("Max Cache Size - " + std::to_string(cache));
  Log::info("Event Upload Interval - " + std::to_string(interval));
  if (auto self = weak_from_this().lock()) return self;
  // Not owned by a shared_ptr (made on the stack, say): the library gets a copy it owns, so it
  // never reads an object that is gone.
  auto copy = std::make_shared<QuorvelOption>();
  std::lock_guard lock(fields_->mutex);
  copy->fields_->values = fields_->values;
  return copy;
}

}  // namespace kelvor
