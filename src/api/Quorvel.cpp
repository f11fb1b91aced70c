#include <kelvor/Quorvel.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "support/Render.hpp"
#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/DispatchQueue.hpp"
#include "reachability/StaticReachabilitySource.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {
namespace {

bool isBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isspace(c) != 0; });
}

// Every public entry point runs through here: nothing escapes to the app.
template <class Body>
void guarded(const char* operation, Body&& body) {
  try {
    body();
  } catch (const std::exception& e) {
    Log::error(std::string("Quorvel: ") + operation + " - " + e.what());
  } catch (...) {
    Log::error(std::string("Quorvel: ") + operation + " failed");
  }
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
  guarded("initialize", [&] {
    Log::info("Quorvel: initialize");
    Quorvel& self = shared();
    // Two threads initialising at once build the components once.
    std::lock_guard lock(self.initMutex_);
    if (self.isInitCalled.load()) return;
    if (!option) {
      Log::error("Quorvel: initialize - no options given");
      return;
    }
    self.options = option;
    self.isSdkInitialized.store(true);
    if (!self.buildComponents()) return;
    Log::setEnabled(option->logging());
    self.isInitCalled.store(true);
    // A host may return from main right after reporting: what it handed over is stored before
    // the process goes, and uploaded at the next start.
    std::atexit([] {
      Quorvel& instance = shared();
      if (instance.orvaEventManager) instance.orvaEventManager->dispatchQueue().drain();
    });
    self.configureConsent();
  });
}

Quorvel* Quorvel::getInstance() {
  Quorvel& self = shared();
  if (self.isInitCalled.load()) return &self;
  Log::error(errorDescription(SDKException::SDKNotInitialized));
  return nullptr;
}

bool Quorvel::buildComponents() {
  // The library's threads may still run TLS while the process exits; OpenSSL must not tear
  // itself down under them.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  httpService = std::make_shared<HttpService>(Platform::caBundle());
  try {
    dataBase = SQLiteDatabase::open(SQLiteDatabase::fileName);
  } catch (const std::exception& error) {
    Log::error(error.what());
    return false;
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
  orvaService = std::make_shared<OrvaService>(httpService, options, Platform::ingestionBaseUrl());
  orvaEventManager = OrvaEventsManager::make(options, identityProvider, consentService,
                                             reachability, dataBase, orvaService, pageProvider);
  return true;
}

void Quorvel::checkSDKStatus(bool& paused) {
  if (!isInitCalled.load()) throw SDKError(SDKException::SDKNotInitialized);
  std::string key = options->apiKey();
  if (key.empty() || isBlank(key)) {
    throw SDKError(SDKException::NotValidWriteKey, "Initialize SDK with valid API key");
  }
  paused = !isSdkInitialized.load();
}

bool Quorvel::readinessPrologue(const char* context) {
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
      dataBase->databaseQueue().sync([this] { dataBase->deleteAll(); });
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
  if (auto upload = orvaEventManager->uploadEventsQueue()) {
    orvaService->sendIdentity(upload->identityQueryParams(), OrvaService::logResponse,
                              OrvaService::logResponse);
  }
}

void Quorvel::pauseCollection() {
  isSdkInitialized.store(false);
}

void Quorvel::resumeCollection() {
  isSdkInitialized.store(true);
}

void Quorvel::setEventProperties(const std::string& name) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    auto manager = orvaEventManager;
    manager->dispatchQueue().asyncBarrier(
        [manager, name] { manager->logEvent(name, Json::object()); });
  });
}

void Quorvel::setEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    Log::infoLazy([&] { return "event Prop - " + render(properties); });
    auto manager = orvaEventManager;
    manager->dispatchQueue().asyncBarrier(
        [manager, name, properties] { manager->logEvent(name, properties); });
  });
}

void Quorvel::setInstantEventProperties(const std::string& name) {
  guarded("setInstantEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    orvaEventManager->logInstantEvent(name, Json::object());
  });
}

void Quorvel::setInstantEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setInstantEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    orvaEventManager->logInstantEvent(name, properties);
  });
}

void Quorvel::setUserProperties(const StringMap& properties) {
  guarded("setUserProperties", [&] {
    if (!readinessPrologue()) return;
    if (properties.empty()) Log::error("Empty user properties");
    identityProvider->mergeUserProperties(properties);
    orvaEventManager->setUserProperties(properties);
  });
}

void Quorvel::setUserIdentities(const StringMap& identities) {
  guarded("setUserIdentities", [&] {
    if (!readinessPrologue()) return;
    if (identities.empty()) Log::error("Empty user identities");
    Log::infoLazy([&] { return "userIdentities - " + render(identities); });
    orvaEventManager->setUserIdentities(identities);
  });
}

void Quorvel::setPageProperties(const StringMap& properties) {
  guarded("setPageProperties", [&] {
    if (!readinessPrologue()) return;
    if (properties.empty()) Log::error("Empty page properties");
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
        identityProvider->setAdvertisingId(provider->advertisingIdentifier());
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
  bool settled = false;
  guarded("flush", [&] {
    if (!isInitCalled.load() || !orvaEventManager) return;
    settled = orvaEventManager->settle(*httpService, std::chrono::steady_clock::now() + limit);
  });
  Preferences::synchronizeAll();
  return settled;
}

}  // namespace kelvor
