#include <kelvor/Quorvel.hpp>

#include <cstdlib>
#include <type_traits>

#include "api/Components.hpp"
#include "api/QuorvelProcess.hpp"
#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "identity/Utility.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/HostCallback.hpp"
#include "support/InputLimits.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"
#include "support/Text.hpp"

namespace kelvor {
namespace {

// Every public entry point runs through here: nothing escapes to the app.
template <class Body>
void guarded(const char* operation, Body&& body) {
  try {
    QuorvelProcess::continueAfterFork();
    body();
  } catch (const std::exception& e) {
    Log::error(std::string("Quorvel: ") + operation + " - " + e.what());
  } catch (...) {
    Log::error(std::string("Quorvel: ") + operation + " failed");
  }
}

// A map given as another JSON value (an array, a text, a number) has no keys to use: true, with
// the error line, for such a value. A null stands for no map. `what` is a text or a function
// that makes it: a reporting call that passes a map builds no text.
template <class What>
bool notAnObject(const char* operation, const Json& value, What&& what, const char* outcome) {
  if (value.is_object() || value.is_null()) return false;
  std::string subject;
  if constexpr (std::is_invocable_v<What>) {
    subject = what();
  } else {
    subject = what;
  }
  Log::error(std::string("Quorvel: ") + operation + " - " + subject + " a JSON " +
             value.type_name() + ", not an object of keys and values; " + outcome);
  return true;
}

std::string statusWord(TrackingAuthorizationStatus status) {
  return IdentityProvider::attStatusWord(static_cast<int>(status));
}

}  // namespace

Quorvel& Quorvel::shared() {
  // Never destroyed: the library's queues may still run while the process exits.
  static Quorvel* instance = [] {
    auto* made = new Quorvel();
    made->components_ = std::make_shared<Components>();
    return made;
  }();
  return *instance;
}

void Quorvel::initialize(std::shared_ptr<Option> option) {
  (void)tryInitialize(std::move(option));
}

InitializeResult Quorvel::tryInitialize(std::shared_ptr<Option> option) {
  InitializeResult result{InitializeStatus::failed, "initialize failed"};
  guarded("initialize", [&] {
    Log::info("Quorvel: initialize");
    Quorvel& self = shared();
    // Two threads initialising at once build the components once.
    std::lock_guard lock(self.components_->initMutex);
    if (self.components_->isInitCalled.load()) {
      result = {InitializeStatus::alreadyInitialized,
                "Quorvel: already initialised in this process; the first options stay in force"};
      Log::info(result.message);
      return;
    }
    if (!option) {
      result = {
          InitializeStatus::noOptions,
          "Quorvel: initialize - no options given; pass QuorvelOption().writeKey(...).build()"};
      Log::error(result.message);
      return;
    }
    // A blank key leaves nothing initialised, so the host can try again with a good one.
    auto* given = dynamic_cast<QuorvelOption*>(option.get());
    if (given != nullptr ? given->isApiKeyBlank() : Text::isBlank(option->apiKey())) {
      result = {InitializeStatus::invalidWriteKey,
                "Quorvel:: configureConsent - Initialize SDK with valid API key"};
      Log::error(result.message);
      return;
    }
    self.components_->options = option;
    QuorvelOption::registerSecret(option->apiKey());
    // What the environment asks, unless the host decided otherwise.
    if (auto level = Platform::logLevel()) {
      Log::setLevel(*level);
    } else if (const char* named = std::getenv("KELVOR_LOG_LEVEL"); named && named[0] != '\0') {
      Log::warning(std::string("Quorvel: KELVOR_LOG_LEVEL=") + named +
                   " is not a level; use debug, info, warning or error");
    }
    if (const char* doNotTrack = std::getenv("DO_NOT_TRACK");
        doNotTrack != nullptr && doNotTrack[0] != '\0' && std::string(doNotTrack) != "0") {
      option->setUseConsent(false);
      option->setOptout(true);
      Log::info(
          "Quorvel: DO_NOT_TRACK is set, so nothing is tracked in this process (as with "
          "optout(true))");
    }
    self.components_->isSdkInitialized.store(true);
    result = self.components_->assemble(option);
    if (!result.ready()) {
      Log::error(result.message);
      return;
    }
    Log::setEnabled(option->logging());
    self.components_->isInitCalled.store(true);
    // A host may return from main right after reporting: what it handed over is stored before
    // the process goes, and uploaded at the next start.
    std::atexit([] {
      Quorvel& instance = shared();
      // A child of fork that never called the library has handed nothing over.
      if (instance.components_->orvaEventManager && QuorvelProcess::ownsComponents()) {
        instance.components_->orvaEventManager->storeBeforeExit();
      }
    });
    self.configureConsent();
  });
  return result;
}

Quorvel* Quorvel::getInstance() {
  Quorvel& self = shared();
  if (self.components_->isInitCalled.load()) return &self;
  Log::error(errorDescription(SDKException::SDKNotInitialized));
  return nullptr;
}

void Quorvel::checkSDKStatus(bool& paused) {
  if (!components_->isInitCalled.load()) throw SDKError(SDKException::SDKNotInitialized);
  // The library's own option object answers without copying the key.
  auto* own = dynamic_cast<QuorvelOption*>(components_->options.get());
  if (own != nullptr ? own->isApiKeyBlank() : Text::isBlank(components_->options->apiKey())) {
    throw SDKError(SDKException::NotValidWriteKey, "Initialize SDK with valid API key");
  }
  paused = !components_->isSdkInitialized.load();
}

bool Quorvel::readinessPrologue(const char* context) {
  if (components_->isShutdown.load()) {
    Log::error(
        "Quorvel has been shut down: nothing more is taken in this process; events "
        "stored so far go out at the next start");
    return false;
  }
  bool paused = false;
  try {
    checkSDKStatus(paused);
  } catch (const SDKError& error) {
    Log::error(std::string(context ? context : "") + error.errorDescription());
    return false;
  }
  return !paused;
}

void Quorvel::configureConsent() {
  if (!readinessPrologue("Quorvel:: configureConsent - ")) return;
  components_->start();
}

void Quorvel::refreshIdentity() {
  components_->refreshIdentity();
}

void Quorvel::pauseCollection() {
  components_->isSdkInitialized.store(false);
}

void Quorvel::resumeCollection() {
  components_->isSdkInitialized.store(true);
}

bool Quorvel::refuseDeep(const char* operation, const Json& value, bool countsAsEvent) {
  if (!InputLimits::nestsDeeperThan(value)) return false;
  Log::error(std::string("Quorvel: ") + operation + " - refused: the map nests deeper than " +
             std::to_string(InputLimits::maxNestingDepth) +
             " levels of arrays and objects; flatten it and report it again");
  if (countsAsEvent) components_->orvaEventManager->refuseInvalidInput();
  return true;
}

void Quorvel::setEventProperties(const std::string& name) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (components_->orvaEventManager->rateLimited(name)) return;
    Log::info("event Prop - ");  // no properties given: nothing follows the prefix
    components_->orvaEventManager->reportEvent(name, Json::object());
  });
}

void Quorvel::setEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (components_->orvaEventManager->rateLimited(name)) return;  // before any other work
    if (notAnObject(
            "setEventProperties", properties,
            [&] { return "the properties of \"" + name + "\" are"; },
            "they were refused and the event goes without them")) {
      components_->orvaEventManager->reportEvent(name, Json::object());
      return;
    }
    if (refuseDeep("setEventProperties", properties, true)) return;
    Log::infoLazy([&] { return "event Prop - " + render(Redaction::identities(properties)); });
    components_->orvaEventManager->reportEvent(name, properties);
  });
}

void Quorvel::setInstantEventProperties(const std::string& name) {
  setInstantEventProperties(name, Json::object());
}

void Quorvel::setInstantEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setInstantEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (components_->orvaEventManager->rateLimited(name)) return;
    if (notAnObject(
            "setInstantEventProperties", properties,
            [&] { return "the properties of \"" + name + "\" are"; },
            "they were refused and the event goes without them")) {
      components_->orvaEventManager->logInstantEvent(name, Json::object());
      return;
    }
    if (refuseDeep("setInstantEventProperties", properties, true)) return;
    components_->orvaEventManager->logInstantEvent(name, properties);
  });
}

void Quorvel::setUserProperties(const StringMap& properties) {
  guarded("setUserProperties", [&] {
    if (!readinessPrologue()) return;
    if (notAnObject("setUserProperties", properties, "the user properties are",
                    "they were refused and nothing was done")) {
      components_->orvaEventManager->refuseInvalidInput();
      return;
    }
    if (properties.empty()) Log::error("Empty user properties");
    if (refuseDeep("setUserProperties", properties, true)) return;
    components_->identityProvider->mergeUserProperties(properties);
    components_->orvaEventManager->setUserProperties(properties);
  });
}

void Quorvel::setUserIdentities(const StringMap& identities) {
  guarded("setUserIdentities", [&] {
    if (!readinessPrologue()) return;
    if (notAnObject("setUserIdentities", identities, "the identities are",
                    "they were refused and nothing was done")) {
      return;
    }
    if (identities.empty()) Log::error("Empty user identities");
    if (refuseDeep("setUserIdentities", identities, false)) return;
    Log::infoLazy([&] { return "userIdentities - " + render(Redaction::identities(identities)); });
    components_->orvaEventManager->setUserIdentities(identities);
  });
}

void Quorvel::setPageProperties(const StringMap& properties) {
  guarded("setPageProperties", [&] {
    if (!readinessPrologue()) return;
    if (notAnObject("setPageProperties", properties, "the page properties are",
                    "they were refused and nothing was done")) {
      components_->orvaEventManager->refuseInvalidInput();
      return;
    }
    if (properties.empty()) Log::error("Empty page properties");
    if (refuseDeep("setPageProperties", properties, true)) return;
    components_->orvaEventManager->setPageProperties(components_->pageProvider->merge(properties));
  });
}

void Quorvel::unsetUserIdentities() {
  guarded("unsetUserIdentities", [&] {
    if (!readinessPrologue()) return;
    components_->identityProvider->clearIdentities();
  });
}

std::string Quorvel::getKI() {
  std::string ki;
  guarded("getKI", [&] {
    if (components_->identityProvider) ki = components_->identityProvider->ki();
  });
  return ki;
}

void Quorvel::resetKI() {
  guarded("resetKI", [&] {
    if (components_->identityProvider) components_->identityProvider->resetKI();
  });
}

void Quorvel::setKI(const std::string& ki) {
  guarded("setKI", [&] {
    if (components_->identityProvider) components_->identityProvider->setKI(ki);
  });
}

void Quorvel::setConsent(const StringMap& consent) {
  guarded("setConsent", [&] {
    if (notAnObject("setConsent", consent, "the consent decision is",
                    "it was refused and nothing was done")) {
      return;
    }
    if (refuseDeep("setConsent", consent, false)) return;
    Log::infoLazy([&] { return "SDK: setConsent " + render(consent); });
    if (!components_->consentService) return;
    components_->consentService->setSelectedConsent(consent);
    ConsentData data = ConsentService::makeConsentData(consent);
    components_->consentService->actionListener().dispatchActionListener(
        ConsentService::onConsentPersist, std::any(data));
  });
}

void Quorvel::listenToAskForConsent(std::function<void(const std::any&)> action) {
  guarded("listenToAskForConsent", [&] {
    Log::info("listenToAskForConsent");
    if (components_->consentService)
      components_->consentService->listenToAskForConsent(std::move(action));
  });
}

void Quorvel::clearConsentFromStorage() {
  guarded("clearConsentFromStorage", [&] {
    if (components_->userDefault) components_->userDefault->removeValue(ConsentService::storageKey);
  });
}

void Quorvel::setAdvertisingIdByATTStatus(TrackingAuthorizationStatus status) {
  guarded("setAdvertisingIdByATTStatus", [&] {
    if (!components_->identityProvider) return;
    if (status == TrackingAuthorizationStatus::authorized) {
      components_->identityProvider->setATTStatus("authorized");
      // Without a tracking provider only the status word is recorded.
      if (auto provider = Platform::trackingProvider()) {
        std::string id;
        if (HostCallback::run("the TrackingProvider",
                              [&] { id = provider->advertisingIdentifier(); }))
          components_->identityProvider->setAdvertisingId(id);
      }
    } else {
      components_->identityProvider->setATTStatus(statusWord(status));
    }
  });
}

void Quorvel::setATTStatusAndAdvertisingId(TrackingAuthorizationStatus status,
                                           const std::string& advertisingId) {
  guarded("setATTStatusAndAdvertisingId", [&] {
    if (!components_->identityProvider) return;
    components_->identityProvider->setATTStatus(statusWord(status));
    components_->identityProvider->setAdvertisingId(advertisingId);
  });
}

bool Quorvel::flush(std::chrono::milliseconds limit) {
  bool done = false;
  guarded("flush", [&] {
    if (!components_->isInitCalled.load() || !components_->orvaEventManager) {
      Log::error("Quorvel: flush - " + errorDescription(SDKException::SDKNotInitialized));
      return;
    }
    if (components_->isShutdown.load()) {
      Log::error("Quorvel: flush - the library has been shut down; nothing is sent");
      return;
    }
    // The key may have been blanked on the components_->options since: nothing handed over is
    // accepted then.
    bool paused = false;
    try {
      checkSDKStatus(paused);
    } catch (const SDKError& error) {
      Log::error("Quorvel: flush - " + error.errorDescription());
      return;
    }
    done = components_->orvaEventManager->flush(DispatchQueue::deadlineAfter(limit));
    Preferences::synchronizeAll();
  });
  return done;
}

bool Quorvel::shutdown(std::chrono::milliseconds limit) {
  bool done = false;
  guarded("shutdown", [&] {
    if (!components_->isInitCalled.load() || !components_->orvaEventManager) {
      Log::error("Quorvel: shutdown - " + errorDescription(SDKException::SDKNotInitialized));
      return;
    }
    if (components_->isShutdown.exchange(true)) {
      Log::error("Quorvel: shutdown - the library has been shut down already");
      return;
    }
    done = components_->orvaEventManager->flush(DispatchQueue::deadlineAfter(limit));
    components_->stop();
    Preferences::synchronizeAll();
  });
  return done;
}

DeliveryStats Quorvel::deliveryStats() {
  DeliveryStats stats;
  guarded("deliveryStats", [&] {
    if (components_->orvaEventManager) stats = components_->orvaEventManager->deliveryStats();
  });
  return stats;
}

}  // namespace kelvor
