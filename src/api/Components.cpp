#include "api/Components.hpp"

#include <openssl/ssl.h>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "identity/Utility.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/SQLiteError.hpp"
#include "platform/PrivateDirectory.hpp"
#include "reachability/StaticReachabilitySource.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {
namespace {

// Why the host's settings cannot be used, if they cannot.
std::optional<InitializeResult> refusal(const Components::Settings& settings) {
  // The store and the preferences live in folders only this user can change.
  struct Folder {
    const char* what;
    std::filesystem::path path;
    const char* setter;
    const char* variable;
  };
  for (const Folder& folder : {Folder{"documents", settings.documents,
                                      "Platform::setDocumentsDirectory", "KELVOR_DATA_DIR"},
                               Folder{"preferences", Platform::preferencesDirectory(),
                                      "Platform::setPreferencesDirectory", "KELVOR_CONFIG_DIR"}}) {
    if (folder.path.is_relative() && !folder.path.empty()) {
      // It would move with the working directory, and so would the events.
      return InitializeResult{InitializeStatus::unusableDirectory,
                              std::string("Quorvel: initialize - refused the ") + folder.what +
                                  " directory \"" + folder.path.string() +
                                  "\": it is a relative path; give an absolute one with " +
                                  folder.setter + " or " + folder.variable};
    }
    if (auto problem = PrivateDirectory::prepare(folder.path)) {
      return InitializeResult{
          InitializeStatus::unusableDirectory,
          std::string("Quorvel: initialize - refused the ") + folder.what + " directory: " +
              *problem + "; use a directory only this user can write (chmod 700), or set " +
              "another with " + folder.setter + " or " + folder.variable};
    }
  }
  if (auto problem = HttpService::refusedUrl(settings.baseUrl)) {
    return InitializeResult{
        InitializeStatus::refusedEndpoint,
        "Quorvel: initialize - refused the ingestion URL \"" + settings.baseUrl +
            "\": " + *problem +
            "; set an https:// URL with Platform::setIngestionBaseUrl or KELVOR_INGESTION_URL"};
  }
  // The library's threads may still run TLS while the process exits; OpenSSL must not tear
  // itself down under them. So this comes before the CA bundle's check, OpenSSL's first use.
  OPENSSL_init_ssl(OPENSSL_INIT_NO_ATEXIT, nullptr);
  if (!settings.caBundle.empty()) {
    if (auto problem = HttpService::unusableCABundle(settings.caBundle)) {
      // Without it every upload would fail the TLS handshake, event after event.
      return InitializeResult{
          InitializeStatus::unusableCABundle,
          "Quorvel: initialize - refused the CA bundle \"" + settings.caBundle.string() +
              "\": " + *problem +
              "; give a PEM file of certificate authorities with Platform::setCABundle or "
              "KELVOR_CA_BUNDLE"};
    }
  }
  return std::nullopt;
}

InitializeResult unavailableStore(const std::exception& error) {
  Log::error(error.what());
  return {InitializeStatus::storeUnavailable,
          std::string("Quorvel: initialize - the event store cannot be opened (") + error.what() +
              "); call initialize again once the documents directory works"};
}

}  // namespace

InitializeResult Components::assemble(std::shared_ptr<Option> givenOptions) {
  Settings host{Platform::documentsDirectory(), Platform::ingestionBaseUrl(), Platform::caBundle(),
                Platform::proxy(), nullptr, nullptr};
  if (auto refused = refusal(host)) return *refused;
  try {
    build(std::move(givenOptions), std::move(host));
  } catch (const SQLiteError& error) {
    if (error.kind() != SQLiteError::Kind::NewerSchema) return unavailableStore(error);
    Log::error(error.what());
    return {InitializeStatus::storeFromNewerVersion,
            "Quorvel: initialize - " + error.message() +
                "; run the newer version of the app, or point this one at another documents "
                "directory"};
  } catch (const std::exception& error) {
    return unavailableStore(error);
  }
  return {InitializeStatus::ready, ""};
}

void Components::build(std::shared_ptr<Option> givenOptions, Settings givenSettings) {
  options = std::move(givenOptions);
  settings = std::move(givenSettings);
  try {
    buildConnections();
    userDefault = std::make_shared<QuorvelUserDefaults>(options->apiKey());
    identityProvider = std::make_shared<IdentityProvider>(userDefault);
    pageProvider = std::make_shared<PageProvider>();
    consentService = ConsentService::make(options, userDefault);
    buildDelivery();
  } catch (...) {
    // A failed start keeps nothing, so the host can call initialize again.
    orvaEventManager = nullptr;
    orvaService = nullptr;
    consentService = nullptr;
    pageProvider = nullptr;
    identityProvider = nullptr;
    userDefault = nullptr;
    reachability = nullptr;
    dataBase = nullptr;
    httpService = nullptr;
    throw;
  }
}

void Components::buildConnections() {
  httpService = std::make_shared<HttpService>(settings.caBundle, settings.proxy);
  dataBase = SQLiteDatabase::open(settings.documents, SQLiteDatabase::fileName);
  reachability = settings.reachability ? settings.reachability : Reachability::make();
  if (!reachability) {
    // No network-state facility: a monitor that reports no change, so the manager has one.
    reachability = std::make_shared<Reachability>(std::make_shared<StaticReachabilitySource>(0));
  }
}

void Components::buildDelivery() {
  orvaService = std::make_shared<OrvaService>(httpService, options, settings.baseUrl,
                                              [] { return *Utility::currentUserAgent(); });
  orvaEventManager =
      OrvaEventsManager::make(options, identityProvider, consentService, reachability, dataBase,
                              orvaService, pageProvider, settings.time);
}

void Components::rebuildForChild() {
  buildConnections();
  buildDelivery();
  if (consentService->isConsentGiven("track")) {
    orvaEventManager->enqueueScheduleEventDispatchOnUpdate();
    orvaEventManager->scheduleIntervalDispatch();
  }
}

void Components::start() {
  // The consent service holds this listener; it must not keep the components alive.
  std::weak_ptr<Components> weak = weak_from_this();
  consentService->actionListener().addActionToListener(ConsentService::consentSet,
                                                       [weak](const std::any& value) {
                                                         if (auto self = weak.lock())
                                                           self->loadFromStorage(value);
                                                       });
  consentService->resolveConsent();
}

void Components::loadFromStorage(const std::any& value) {
  try {
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
  } catch (const std::exception& e) {
    Log::error(std::string("Quorvel: loadFromStorage - ") + e.what());
  } catch (...) {
    Log::error("Quorvel: loadFromStorage failed");
  }
}

void Components::refreshIdentity() {
  if (consentService->isConsentGiven("track")) {
    identityProvider->getOrCreateKI();
    identityProvider->buildUserIdentity();
    identityProvider->buildUserPayload();
  }
  orvaEventManager->sendIdentity();
}

void Components::stop() {
  orvaEventManager->shutdown();
  if (reachability) reachability->stopNotifier();
  httpService->stop();
}

}  // namespace kelvor
