#include <kelvor/Quorvel.hpp>

#include <algorithm>
#include <cctype>

#include "identity/PageProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"

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
  userDefault = std::make_shared<QuorvelUserDefaults>(options->apiKey());
  pageProvider = std::make_shared<PageProvider>();
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
}

void Quorvel::refreshIdentity() {}

void Quorvel::pauseCollection() { isSdkInitialized.store(false); }

void Quorvel::resumeCollection() { isSdkInitialized.store(true); }

void Quorvel::setEventProperties(const std::string& name) {
  setEventProperties(name, Json::object());
}

void Quorvel::setEventProperties(const std::string& name, const StringMap& properties) {
  guarded("setEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
    Log::infoLazy([&] { return "event Prop - " + properties.dump(); });
  });
}

void Quorvel::setInstantEventProperties(const std::string& name) {
  setInstantEventProperties(name, Json::object());
}

void Quorvel::setInstantEventProperties(const std::string& name, const StringMap&) {
  guarded("setInstantEventProperties", [&] {
    if (!readinessPrologue()) return;
    if (name.empty()) Log::error("Empty event name");
  });
}

void Quorvel::setUserProperties(const StringMap& properties) {
  guarded("setUserProperties", [&] {
    if (!readinessPrologue()) return;
    if (properties.empty()) Log::error("Empty user properties");
  });
}

void Quorvel::setUserIdentities(const StringMap& identities) {
  guarded("setUserIdentities", [&] {
    if (!readinessPrologue()) return;
    if (identities.empty()) Log::error("Empty user identities");
  });
}

void Quorvel::setPageProperties(const StringMap& properties) {
  guarded("setPageProperties", [&] {
    if (!readinessPrologue()) return;
    if (properties.empty()) Log::error("Empty page properties");
    pageProvider->merge(properties);
  });
}

void Quorvel::unsetUserIdentities() {
  guarded("unsetUserIdentities", [&] {
    if (!readinessPrologue()) return;
  });
}

std::string Quorvel::getKI() { return {}; }
void Quorvel::resetKI() {}
void Quorvel::setKI(const std::string&) {}
void Quorvel::setConsent(const StringMap&) {}
void Quorvel::listenToAskForConsent(std::function<void(const std::any&)>) {}
void Quorvel::clearConsentFromStorage() {}
void Quorvel::setAdvertisingIdByATTStatus(TrackingAuthorizationStatus) {}
void Quorvel::setATTStatusAndAdvertisingId(TrackingAuthorizationStatus, const std::string&) {}
void Quorvel::drainForTesting() {}
void Quorvel::loadFromStorage(const std::any&) {}

}  // namespace kelvor
