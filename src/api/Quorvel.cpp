#include <kelvor/Quorvel.hpp>

#include <openssl/ssl.h>

#include <cstdlib>
#include <type_traits>

#include "api/QuorvelProcess.hpp"
#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "identity/Utility.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/SQLiteError.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/PrivateDirectory.hpp"
#include "reachability/StaticReachabilitySource.hpp"
#include "support/HostCallback.hpp"
#include "support/InputLimits.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"
#include "support/Text.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

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
  static Quorvel* instance = new Quorvel();
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
    std::lock_guard lock(self.initMutex_);
    if (self.isInitCalled.load()) {
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
    self.options = option;
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
    self.isSdkInitialized.store(true);
    result = self.buildComponents();
    if (!result.ready()) {
      Log::error(result.message);
      return;
    }
    Log::setEnabled(option->logging());
    self.isInitCalled.store(true);
    // A host may return from main right after reporting: what it handed over is stored before
    // the process goes, and uploaded at the next start.
    std::atexit([] {
      Quorvel& instance = shared();
      // A child of fork that never called the library has handed nothing over.
      if (instance.orvaEventManager && QuorvelProcess::ownsComponents()) {
        instance.orvaEventManager->storeBeforeExit();
      }
    });
    self.configureConsent();
  });
  return result;
}

Quorvel* Quorvel::getInstance() {
  Quorvel& self = shared();
  if (self.isInitCalled.load()) return &self;
  Log::error(errorDescription(SDKException::SDKNotInitialized));
  return nullptr;
}

InitializeResult Quorvel::buildComponents() {
  // The store and the preferences live in folders only this user can change.
  struct Folder {
    const char* what;
    std::filesystem::path path;
    const char* setter;
    const char* variable;
  };
  for (const Folder& folder : {Folder{"documents", Platform::documentsDirectory(),
                                      "Platform::setDocumentsDirectory", "KELVOR_DATA_DIR"},
                               Folder{"preferences", Platform::preferencesDirectory(),
                                      "Platform::setPreferencesDirectory", "KELVOR_CONFIG_DIR"}}) {
    if (folder.path.is_relative() && !folder.path.empty()) {
      // It would move with the working directory, and so would the events.
      return {InitializeStatus::unusableDirectory,
              std::string("Quorvel: initialize - refused the ") + folder.what + " directory \"" +
                  folder.path.string() + "\": it is a relative path; give an absolute one with " +
                  folder.setter + " or " + folder.variable};
    }
    if (auto problem = PrivateDirectory::prepare(folder.path)) {
      return {InitializeStatus::unusableDirectory,
              std::string("Quorvel: initialize - refused the ") + folder.what + " directory: " +
                  *problem + "; use a directory only this user can write (chmod 700), or set " +
                  "another with " + folder.setter + " or " + folder.variable};
    }
  }
  const std::string baseUrl = Platform::ingestionBaseUrl();
  if (auto problem = HttpService::refusedUrl(baseUrl)) {
    return {InitializeStatus::refusedEndpoint,
            "Quorvel: initialize - refused the ingestion URL \"" + baseUrl + "\": " + *problem +
                "; set an https:// URL with Platform::setIngestionBaseUrl or KELVOR_INGESTION_URL"};
  }
  // The library's threads may still run TLS while the process exits; OpenSSL must not tear
  // itself down under them. So this comes before the CA bundle's check, OpenSSL's first use.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  const auto caBundle = Platform::caBundle();
  if (!caBundle.empty()) {
    if (auto problem = HttpService::unusableCABundle(caBundle)) {
      // Without it every upload would fail the TLS handshake, event after event.
      return {InitializeStatus::unusableCABundle,
              "Quorvel: initialize - refused the CA bundle \"" + caBundle.string() +
                  "\": " + *problem +
                  "; give a PEM file of certificate authorities with Platform::setCABundle or "
                  "KELVOR_CA_BUNDLE"};
    }
  }
  httpService = std::make_shared<HttpService>(caBundle, Platform::proxy());
  try {
    dataBase = SQLiteDatabase::open(SQLiteDatabase::fileName);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
    if (error.kind() == SQLiteError::Kind::NewerSchema) {
      return {InitializeStatus::storeFromNewerVersion,
              "Quorvel: initialize - " + error.message() +
                  "; run the newer version of the app, or point this one at another documents "
                  "directory"};
    }
    return {InitializeStatus::storeUnavailable,
            std::string("Quorvel: initialize - the event store cannot be opened (") + error.what() +
                "); call initialize again once the documents directory works"};
  } catch (const std::exception& error) {
    Log::error(error.what());
    return {InitializeStatus::storeUnavailable,
            std::string("Quorvel: initialize - the event store cannot be opened (") + error.what() +
                "); call initialize again once the documents directory works"};
  }
  reachability = Reachability::make();
  if (!reachability) {
    // No network-state facility: a monitor that reports no change, so the manager has one.
    reachability = std::make_shared<Reachability>(std::make_shared<StaticReachabilitySource>(0));
  }
  userDefault = std::make_shared<QuorvelUserDefaults>(options->apiKey());
  identityProvider = std::make_shared<IdentityProvider>(userDefault);
  pageProvider = std::make_shared<PageProvider>();
  consentService = ConsentService::make(options, userDefault);
  orvaService = std::make_shared<OrvaService>(httpService, options, baseUrl,
                                              [] { return *Utility::currentUserAgent(); });
  orvaEventManager = OrvaEventsManager::make(options, identityProvider, consentService,
                                             reachability, dataBase, orvaService, pageProvider);
  return {InitializeStatus::ready, ""};
}

void Quorvel::checkSDKStatus(bool& paused) {
  if (!isInitCalled.load()) throw SDKError(SDKException::SDKNotInitialized);
  // The library's own option object answers without copying the key.
  auto* own = dynamic_cast<QuorvelOption*>(options.get());
  if (own != nullptr ? own->isApiKeyBlank() : Text::isBlank(options->apiKey())) {
    throw SDKError(SDKException::NotValidWriteKey, "Initialize SDK with valid API key");
  }
  paused = !isSdkInitialized.load();
}

bool Quorvel::readinessPrologue(const char* context) {
  if (isShutdown_.load()) {
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
  consentService->actionListener().addActionToListener(
      ConsentService::consentSet, [this](const std::any& value) { loadFromStorage(value); });
  consentService->resolveConsent();
}

void Quorvel::loadFromStorage(const std::any& value) {
  guarded("loadFromStorage", [&] {
    const auto* data = std::any_cast<ConsentData>(&value);
    if (data == nullptr || !data->resolved.value_or(false)) return;
    Log::info("loadFromStorage: load ki, identity from storage");
    try {
      identityProvider->loadKI();
      identityProvider->loadIdentity();
      identityProvider->loadUserProperties();
      identityProvider->refreshATTStatusAndAdvertisingId();
    } catch (const std::exception& error) {
      Log::error(error.what());
    }
    if (!consentService->isConsentGiven("identify")) identityProvider->clearIdentities();
    if (consentService->isConsentGiven("track")) {
      orvaEventManager->enqueueScheduleEventDispatchOnUpdate();
      orvaEventManager->scheduleIntervalDispatch();
    } else {
      orvaEventManager->discardForWithdrawnConsent();
      identityProvider->clearIdentities();
    }
    refreshIdentity();
  });
}

void Quorvel::refreshIdentity() {
  if (consentService->isConsentGiven("track")) {
    identityProvider->getOrCreateKI();
    identityProvider->buildUserIdentity();
    identityProvider->buildUserPayload();
  }
  orvaEventManager->sendIdentity();
}

void Quorvel::pauseCollection() {
  isSdkInitialized.store(false);
}

void Quorvel::resumeCollection() {
  isSdkInitialized.store(true);
}

bool Quorvel::refuseDeep(const char* operation, const Json& value, bool countsAsEvent) {
  if (!InputLimits::nestsDeeperThan(value)) return false;
  Log::error(std::string("Quorvel: ") + operation + " - refused: the map nests deeper than " +
             std::to_string(InputLimits::maxNestingDepth) +
             " levels of arrays and objects; flatten it and report it again");
  if (countsAsEvent) orvaEventManager->refuseInvalidInput();
  return true;
}

void Quorvel::setEventProperties(const std::string& name) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (orvaEventManager->rateLimited(name)) return;
    Log::info("event Prop - ");  // no properties given: nothing follows the prefix
    orvaEventManager->reportEvent(name, Json::object());
  });
}

void Quorvel::setEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (orvaEventManager->rateLimited(name)) return;  // before any other work
    if (notAnObject(
            "setEventProperties", properties,
            [&] { return "the properties of \"" + name + "\" are"; },
            "they were refused and the event goes without them")) {
      orvaEventManager->reportEvent(name, Json::object());
      return;
    }
    if (refuseDeep("setEventProperties", properties, true)) return;
    Log::infoLazy([&] { return "event Prop - " + render(Redaction::identities(properties)); });
    orvaEventManager->reportEvent(name, properties);
  });
}

void Quorvel::setInstantEventProperties(const std::string& name) {
  setInstantEventProperties(name, Json::object());
}

void Quorvel::setInstantEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setInstantEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    if (orvaEventManager->rateLimited(name)) return;
    if (notAnObject(
            "setInstantEventProperties", properties,
            [&] { return "the properties of \"" + name + "\" are"; },
            "they were refused and the event goes without them")) {
      orvaEventManager->logInstantEvent(name, Json::object());
      return;
    }
    if (refuseDeep("setInstantEventProperties", properties, true)) return;
    orvaEventManager->logInstantEvent(name, properties);
  });
}

void Quorvel::setUserProperties(const StringMap& properties) {
  guarded("setUserProperties", [&] {
    if (!readinessPrologue()) return;
    if (notAnObject("setUserProperties", properties, "the user properties are",
                    "they were refused and nothing was done")) {
      orvaEventManager->refuseInvalidInput();
      return;
    }
    if (properties.empty()) Log::error("Empty user properties");
    if (refuseDeep("setUserProperties", properties, true)) return;
    identityProvider->mergeUserProperties(properties);
    orvaEventManager->setUserProperties(properties);
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
    orvaEventManager->setUserIdentities(identities);
  });
}

void Quorvel::setPageProperties(const StringMap& properties) {
  guarded("setPageProperties", [&] {
    if (!readinessPrologue()) return;
    if (notAnObject("setPageProperties", properties, "the page properties are",
                    "they were refused and nothing was done")) {
      orvaEventManager->refuseInvalidInput();
      return;
    }
    if (properties.empty()) Log::error("Empty page properties");
    if (refuseDeep("setPageProperties", properties, true)) return;
    orvaEventManager->setPageProperties(pageProvider->merge(properties));
  });
}

void Quorvel::unsetUserIdentities() {
  guarded("unsetUserIdentities", [&] {
    if (!readinessPrologue()) return;
    identityProvider->clearIdentities();
  });
}

std::string Quorvel::getKI() {
  std::string ki;
  guarded("getKI", [&] {
    if (identityProvider) ki = identityProvider->ki();
  });
  return ki;
}

void Quorvel::resetKI() {
  guarded("resetKI", [&] {
    if (identityProvider) identityProvider->resetKI();
  });
}

void Quorvel::setKI(const std::string& ki) {
  guarded("setKI", [&] {
    if (identityProvider) identityProvider->setKI(ki);
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
    if (!consentService) return;
    consentService->setSelectedConsent(consent);
    ConsentData data = ConsentService::makeConsentData(consent);
    consentService->actionListener().dispatchActionListener(ConsentService::onConsentPersist,
                                                            std::any(data));
  });
}

void Quorvel::listenToAskForConsent(std::function<void(const std::any&)> action) {
  guarded("listenToAskForConsent", [&] {
    Log::info("listenToAskForConsent");
    if (consentService) consentService->listenToAskForConsent(std::move(action));
  });
}

void Quorvel::clearConsentFromStorage() {
  guarded("clearConsentFromStorage", [&] {
    if (userDefault) userDefault->removeValue(ConsentService::storageKey);
  });
}

void Quorvel::setAdvertisingIdByATTStatus(TrackingAuthorizationStatus status) {
  guarded("setAdvertisingIdByATTStatus", [&] {
    if (!identityProvider) return;
    if (status == TrackingAuthorizationStatus::authorized) {
      identityProvider->setATTStatus("authorized");
      // Without a tracking provider only the status word is recorded.
      if (auto provider = Platform::trackingProvider()) {
        std::string id;
        if (HostCallback::run("the TrackingProvider",
                              [&] { id = provider->advertisingIdentifier(); }))
          identityProvider->setAdvertisingId(id);
      }
    } else {
      identityProvider->setATTStatus(statusWord(status));
    }
  });
}

void Quorvel::setATTStatusAndAdvertisingId(TrackingAuthorizationStatus status,
                                           const std::string& advertisingId) {
  guarded("setATTStatusAndAdvertisingId", [&] {
    if (!identityProvider) return;
    identityProvider->setATTStatus(statusWord(status));
    identityProvider->setAdvertisingId(advertisingId);
  });
}

bool Quorvel::flush(std::chrono::milliseconds limit) {
  bool done = false;
  guarded("flush", [&] {
    if (!isInitCalled.load() || !orvaEventManager) {
      Log::error("Quorvel: flush - " + errorDescription(SDKException::SDKNotInitialized));
      return;
    }
    if (isShutdown_.load()) {
      Log::error("Quorvel: flush - the library has been shut down; nothing is sent");
      return;
    }
    // The key may have been blanked on the options since: nothing handed over is accepted then.
    bool paused = false;
    try {
      checkSDKStatus(paused);
    } catch (const SDKError& error) {
      Log::error("Quorvel: flush - " + error.errorDescription());
      return;
    }
    done = orvaEventManager->flush(DispatchQueue::deadlineAfter(limit));
    Preferences::synchronizeAll();
  });
  return done;
}

bool Quorvel::shutdown(std::chrono::milliseconds limit) {
  bool done = false;
  guarded("shutdown", [&] {
    if (!isInitCalled.load() || !orvaEventManager) {
      Log::error("Quorvel: shutdown - " + errorDescription(SDKException::SDKNotInitialized));
      return;
    }
    if (isShutdown_.exchange(true)) {
      Log::error("Quorvel: shutdown - the library has been shut down already");
      return;
    }
    done = orvaEventManager->flush(DispatchQueue::deadlineAfter(limit));
    orvaEventManager->shutdown();
    if (reachability) reachability->stopNotifier();
    httpService->stop();
    Preferences::synchronizeAll();
  });
  return done;
}

DeliveryStats Quorvel::deliveryStats() {
  DeliveryStats stats;
  guarded("deliveryStats", [&] {
    if (orvaEventManager) stats = orvaEventManager->deliveryStats();
  });
  return stats;
}

}  // namespace kelvor
