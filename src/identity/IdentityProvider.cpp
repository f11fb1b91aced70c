#include "identity/IdentityProvider.hpp"

#include <array>
#include <utility>

#include <kelvor/Platform.hpp>

#include "platform/Uuid.hpp"
#include "support/HostCallback.hpp"

namespace kelvor {
namespace {

constexpr std::array<std::pair<const char*, const char*>, 7> identityKeyAliases{{
    {"email", "email"},
    {"loginid", "loginid"},
    {"cellno", "cellno_without_country_code"},
    {"cellno_without_country_code", "cellno_without_country_code"},
    {"cellno_cc", "cellno_with_country_code"},
    {"cellno_with_country_code", "cellno_with_country_code"},
    {"cellno_e164", "cellno_e164"},
}};

void mergeInto(Json& target, const Json& source) {
  if (!source.is_object()) return;
  for (const auto& [key, value] : source.items()) target[key] = value;
}

}  // namespace

IdentityProvider::IdentityProvider(std::shared_ptr<QuorvelUserDefaults> userDefaults)
    : userDefaults_(std::move(userDefaults)) {}

std::string IdentityProvider::attStatusWord(int status) {
  switch (status) {
    case 0:
      return "notDetermined";
    case 1:
      return "restricted";
    case 2:
      return "denied";
    case 3:
      return "authorized";
    default:
      return "";
  }
}

std::string IdentityProvider::getOrCreateKILocked() {
  if (!ki_ || ki_->empty()) ki_ = Uuid::random();
  return *ki_;
}

std::string IdentityProvider::getOrCreateKI() {
  std::lock_guard storing(storeMutex_);
  std::string ki;
  bool made = false;
  {
    std::lock_guard lock(mutex_);
    made = !ki_ || ki_->empty();
    ki = getOrCreateKILocked();
  }
  // Kept as resetKI keeps one: an identifier made anew at every start would make every launch
  // a new user to the endpoint.
  if (made) userDefaults_->setValue("ki", ki);
  return ki;
}

void IdentityProvider::saveKI() {
  std::lock_guard storing(storeMutex_);
  std::optional<std::string> ki;
  {
    std::lock_guard lock(mutex_);
    ki = ki_;
  }
  if (ki) userDefaults_->setValue("ki", *ki);
}

void IdentityProvider::loadKI() {
  std::lock_guard storing(storeMutex_);
  auto stored = userDefaults_->value("ki");
  std::lock_guard lock(mutex_);
  ki_ = (stored && stored->is_string()) ? stored->get<std::string>() : std::string();
}

void IdentityProvider::saveIdentity() {
  std::lock_guard storing(storeMutex_);
  std::optional<Json> identity;
  {
    std::lock_guard lock(mutex_);
    identity = identity_;
  }
  if (identity) userDefaults_->setValue("identity", *identity);
}

void IdentityProvider::loadIdentity() {
  std::lock_guard storing(storeMutex_);
  auto stored = userDefaults_->value("identity");
  std::lock_guard lock(mutex_);
  identity_ = (stored && stored->is_object()) ? *stored : Json::object();
}

void IdentityProvider::loadUserProperties() {
  std::lock_guard storing(storeMutex_);
  auto stored = userDefaults_->value("user_properties");
  std::lock_guard lock(mutex_);
  userProperty_ = (stored && stored->is_object()) ? *stored : Json::object();
}

void IdentityProvider::mergeUserProperties(const Json& properties) {
  std::lock_guard storing(storeMutex_);
  Json merged;
  {
    std::lock_guard lock(mutex_);
    mergeInto(userProperty_, properties);
    buildUserPayloadLocked();
    merged = userProperty_;
  }
  userDefaults_->setValue("user_properties", merged);
}

void IdentityProvider::setAdvertisingId(const std::string& id) {
  std::lock_guard lock(mutex_);
  userIDFA_["advertising_id"] = id;
  buildUserPayloadLocked();
  idfa_ = id;
}

void IdentityProvider::setATTStatus(const std::string& word) {
  std::lock_guard lock(mutex_);
  userIDFA_["att_authorization_status"] = word;
  buildUserPayloadLocked();
  idfaAuthStatus_ = word;
}

void IdentityProvider::refreshATTStatusAndAdvertisingId() {
  auto provider = Platform::trackingProvider();
  if (!provider) return;  // no tracking facility on this host: nothing is recorded
  int status = 0;
  std::optional<std::string> permitted;
  const bool answered = HostCallback::run("the TrackingProvider", [&] {
    status = provider->trackingAuthorizationStatus();
    if (status == 3) permitted = provider->advertisingIdentifier();
  });
  if (!answered) return;  // what was recorded before stays
  std::lock_guard lock(mutex_);
  idfaAuthStatus_ = attStatusWord(status);
  userIDFA_["att_authorization_status"] = idfaAuthStatus_;
  idfa_ = permitted;
  if (idfa_ && !idfa_->empty()) userIDFA_["advertising_id"] = *idfa_;
}

void IdentityProvider::clearIdentities() {
  std::lock_guard storing(storeMutex_);
  {
    std::lock_guard lock(mutex_);
    ki_ = std::string();
    identity_ = Json::object();
    userProperty_ = Json::object();
    buildUserIdentityLocked();  // makes a fresh ki, held in memory only
    buildUserPayloadLocked();
  }
  userDefaults_->removeValue("ki");
  userDefaults_->removeValue("identity");
  userDefaults_->removeValue("user_properties");
}

void IdentityProvider::buildUserIdentityLocked() {
  Json result = Json::object();
  Json source = identity_ ? *identity_ : Json::object();
  for (const auto& [accepted, canonical] : identityKeyAliases) {
    auto found = source.find(accepted);
    if (found == source.end()) continue;
    result[canonical] = *found;
    source.erase(found);
  }
  mergeInto(result, source);
  std::string k = getOrCreateKILocked();
  if (!k.empty()) result["ki"] = k;
  userIdentity_ = std::move(result);
}

void IdentityProvider::buildUserIdentity() {
  std::lock_guard lock(mutex_);
  buildUserIdentityLocked();
}

void IdentityProvider::buildUserPayloadLocked() {
  Json payload = Json::object();
  if (userIdentity_) mergeInto(payload, *userIdentity_);
  mergeInto(payload, userProperty_);
  mergeInto(payload, userIDFA_);
  userPayload_ = std::make_shared<const Json>(std::move(payload));
}

void IdentityProvider::buildUserPayload() {
  std::lock_guard lock(mutex_);
  buildUserPayloadLocked();
}

Json IdentityProvider::getIdentityAndIDFA() const {
  std::lock_guard lock(mutex_);
  Json result = userIdentity_ ? *userIdentity_ : Json::object();
  mergeInto(result, userIDFA_);
  return result;
}

std::string IdentityProvider::ki() const {
  std::lock_guard lock(mutex_);
  return ki_ ? *ki_ : std::string();
}

void IdentityProvider::setKI(const std::string& ki) {
  std::lock_guard storing(storeMutex_);
  {
    std::lock_guard lock(mutex_);
    ki_ = ki;
  }
  userDefaults_->setValue("ki", ki);
}

void IdentityProvider::resetKI() {
  std::lock_guard storing(storeMutex_);
  std::string made = Uuid::random();
  {
    std::lock_guard lock(mutex_);
    ki_ = made;
  }
  userDefaults_->setValue("ki", made);
}

Json IdentityProvider::userPayload() const {
  std::lock_guard lock(mutex_);
  return *userPayload_;
}

std::shared_ptr<const Json> IdentityProvider::userPayloadSnapshot() const {
  std::lock_guard lock(mutex_);
  return userPayload_;
}

std::optional<Json> IdentityProvider::identity() const {
  std::lock_guard lock(mutex_);
  return identity_;
}

Json IdentityProvider::userProperty() const {
  std::lock_guard lock(mutex_);
  return userProperty_;
}

Json IdentityProvider::userIDFA() const {
  std::lock_guard lock(mutex_);
  return userIDFA_;
}

std::optional<Json> IdentityProvider::userIdentity() const {
  std::lock_guard lock(mutex_);
  return userIdentity_;
}

bool IdentityProvider::replaceIdentity(const Json& transformed) {
  std::lock_guard storing(storeMutex_);
  {
    std::lock_guard lock(mutex_);
    if (identity_ && *identity_ == transformed) return false;
    identity_ = transformed;
    buildUserIdentityLocked();
    buildUserPayloadLocked();
  }
  userDefaults_->setValue("identity", transformed);
  return true;
}

}  // namespace kelvor
