#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kelvor/Json.hpp>

#include "identity/QuorvelUserDefaults.hpp"
#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// Everything the library knows about the user: ki, identities, user properties, advertising
// identifier and tracking status, merged into userPayload. The app's thread and the events
// manager's queue call it at the same time: one lock is held for each whole operation on the
// fields, and never while the preference store is read or written, so reading the payload for
// an event never waits for the store.
class IdentityProvider {
 public:
  explicit IdentityProvider(std::shared_ptr<QuorvelUserDefaults> userDefaults);

  static std::string attStatusWord(int status);

  std::string getOrCreateKI();
  void saveKI();
  void loadKI();
  void saveIdentity();
  void loadIdentity();
  void loadUserProperties();
  void mergeUserProperties(const Json& properties);
  void setAdvertisingId(const std::string& id);
  void setATTStatus(const std::string& word);
  void refreshATTStatusAndAdvertisingId();
  void clearIdentities();
  void buildUserIdentity();
  void buildUserPayload();
  Json getIdentityAndIDFA() const;

  // Field access for the facade and the events manager.
  std::string ki() const;             // "" when absent
  void setKI(const std::string& ki);  // and stores it
  void resetKI();                     // a new random ki, stored
  Json userPayload() const;
  // The payload as it is now; never changes afterwards (a change makes a new one), so an event
  // can hold the user data of its moment without copying it.
  std::shared_ptr<const Json> userPayloadSnapshot() const;
  std::optional<Json> identity() const;
  Json userProperty() const;
  Json userIDFA() const;
  std::optional<Json> userIdentity() const;
  // Replaces the identities with `transformed` unless they are equal; then rebuilds the user
  // identity and payload and stores the identities. Returns whether anything changed.
  bool replaceIdentity(const Json& transformed);

 private:
  std::string getOrCreateKILocked();
  void buildUserIdentityLocked();
  void buildUserPayloadLocked();

  mutable ForkSafeMutex mutex_{ProcessFork::identity};
  // Held from changing a stored field until the store has it, so stores happen in the order
  // the changes did (the last one written stays). The reporting path never takes it.
  ForkSafeMutex storeMutex_{ProcessFork::identityStore};
  std::shared_ptr<QuorvelUserDefaults> userDefaults_;
  std::optional<std::string> ki_ = std::string();
  std::optional<Json> identity_;
  std::optional<std::string> idfa_ = std::string();
  std::string idfaAuthStatus_;
  std::optional<Json> userIdentity_;
  Json userProperty_ = Json::object();
  Json userIDFA_ = Json::object();
  std::shared_ptr<const Json> userPayload_ = std::make_shared<const Json>(Json::object());
};

}  // namespace kelvor
