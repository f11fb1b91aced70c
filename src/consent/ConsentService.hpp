#pragma once

#include <any>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <kelvor/ActionListener.hpp>
#include <kelvor/ConsentData.hpp>
#include <kelvor/Json.hpp>
#include <kelvor/Option.hpp>

#include "consent/GDPRConsent.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// Owns the current consent and decides where it comes from: the options, the consent the app
// set (kept in the library's preferences), or the TCF v2 values of a consent-management
// platform. Announces every change as "consent_set".
class ConsentService : public std::enable_shared_from_this<ConsentService> {
 public:
  static constexpr const char* consentSet = "consent_set";
  static constexpr const char* askConsent = "ask_consent";
  static constexpr const char* onConsentPersist = "on_consent_persist";
  static constexpr const char* storageKey = "CONSENT_DATA";

  // Use make(): the handlers it registers hold the service weakly.
  static std::shared_ptr<ConsentService> make(std::shared_ptr<Option> options,
                                              std::shared_ptr<QuorvelUserDefaults> storage);

  void resolveConsent();
  bool isConsentGiven(const std::string& key) const;
  static ConsentData makeConsentData(const Json& dictionary);
  Json getConsentFromStorage() const;
  void listenToAskForConsent(ActionListener::Action action);
  void updateConsentData(const ConsentData& data);
  void persistSelectedConsent();
  void handleResolvedConsent(const Json& value);
  static Json consentDictionary(bool granted);

  ConsentData consentData() const;
  void setSelectedConsent(const Json& consent);
  Json selectedConsent() const;
  ActionListener& actionListener() { return actionListener_; }
  GDPRConsent& gdprConsent() { return *gdprConsent_; }
  bool askForConsentDispatched() const { return askForConsentDispatched_.load(); }

 private:
  ConsentService(std::shared_ptr<Option> options, std::shared_ptr<QuorvelUserDefaults> storage);
  void onConsentPersistHandler(const std::any& value);
  void registerConsentListener();

  mutable ForkSafeMutex mutex_{ProcessFork::consent};
  ConsentData consentData_;
  std::shared_ptr<Option> options_;
  std::shared_ptr<QuorvelUserDefaults> storageDefault_;
  std::shared_ptr<GDPRConsent> gdprConsent_;
  // Its lock reachable for the fork handlers.
  struct Listeners : ActionListener {
    std::mutex& registryMutex() { return mutex_; }
  };
  Listeners actionListener_;
  std::atomic<bool> askForConsentDispatched_{false};
  Json selectedConsent_ = Json::object();
};

}  // namespace kelvor
