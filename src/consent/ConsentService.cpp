#include "consent/ConsentService.hpp"

#include <vector>

#include <kelvor/Log.hpp>

#include "support/HostCallback.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

bool boolOr(const Json& dictionary, const char* key, bool fallback) {
  auto found = dictionary.find(key);
  return (found != dictionary.end() && found->is_boolean()) ? found->get<bool>() : fallback;
}

// A preference file cannot hold a null: such values are left out of what is stored.
Json withoutNulls(const Json& value) {
  if (value.is_object()) {
    Json out = Json::object();
    for (const auto& [key, item] : value.items()) {
      if (!item.is_null()) out[key] = withoutNulls(item);
    }
    return out;
  }
  if (value.is_array()) {
    Json out = Json::array();
    for (const auto& item : value) {
      if (!item.is_null()) out.push_back(withoutNulls(item));
    }
    return out;
  }
  return value;
}

}  // namespace

std::shared_ptr<ConsentService> ConsentService::make(std::shared_ptr<Option> options,
                                                     std::shared_ptr<QuorvelUserDefaults> storage) {
  std::shared_ptr<ConsentService> service(
      new ConsentService(std::move(options), std::move(storage)));
  ProcessFork::guardMutex(ProcessFork::consentListeners, service,
                          &service->actionListener_.registryMutex());
  std::weak_ptr<ConsentService> weak = service;
  service->actionListener_.addActionToListener(onConsentPersist, [weak](const std::any& value) {
    if (auto self = weak.lock()) self->onConsentPersistHandler(value);
  });
  return service;
}

ConsentService::ConsentService(std::shared_ptr<Option> options,
                               std::shared_ptr<QuorvelUserDefaults> storage)
    : options_(std::move(options)),
      storageDefault_(std::move(storage)),
      gdprConsent_(std::make_shared<GDPRConsent>(options_)) {}

void ConsentService::resolveConsent() {
  bool useConsent = options_->useConsent();
  bool checkForCMP = options_->checkForCMP();
  std::optional<bool> optout = options_->optout();
  Log::info("ConsentService: resolveConsent - options.useConsent:" + render(useConsent) + "," +
            " options.checkForCMP: " + render(checkForCMP) + "," +
            "options.optout: " + render(optout));
  if (!useConsent) {
    bool granted = optout.has_value() && !*optout;
    updateConsentData(makeConsentData(consentDictionary(granted)));
    return;
  }
  if (!checkForCMP) {
    Json stored = getConsentFromStorage();
    if (!stored.empty()) {
      updateConsentData(makeConsentData(stored));
      return;
    }
    askForConsentDispatched_.store(true);
    actionListener_.dispatchActionListener(askConsent, std::any(std::vector<std::any>()));
    return;
  }
  if (gdprConsent_->userDefaults().integer("IABTCF_PolicyVersion") != 0 &&
      gdprConsent_->hasTCString()) {
    std::weak_ptr<ConsentService> weak = weak_from_this();
    gdprConsent_->resolveTCFV2Consent([weak](const Json& value) {
      if (auto self = weak.lock()) self->handleResolvedConsent(value);
    });
  }
  registerConsentListener();
}

void ConsentService::registerConsentListener() {
  Log::info("registerConsentListener - Consent Listener to TCF Strings");
  std::weak_ptr<ConsentService> weak = weak_from_this();
  gdprConsent_->observeTCString([weak](const Json& value) {
    if (auto self = weak.lock()) self->handleResolvedConsent(value);
  });
}

bool ConsentService::isConsentGiven(const std::string& key) const {
  std::lock_guard lock(mutex_);
  if (!consentData_.resolved.value_or(false)) return false;
  if (key == "track") return consentData_.track.value_or(false);
  if (key == "identify") return consentData_.identity.value_or(false);
  return false;
}

ConsentData ConsentService::makeConsentData(const Json& dictionary) {
  Json d = dictionary.is_object() ? dictionary : Json::object();
  ConsentData data;
  data.resolved = boolOr(d, "resolved", true);
  data.track = boolOr(d, "track", false);
  data.identity = boolOr(d, "identify", false);
  data.gdprApplies = boolOr(d, "gdprApplies", false);
  auto text = d.find("consentString");
  data.consentString =
      (text != d.end() && text->is_string()) ? text->get<std::string>() : std::string();
  data.vendorConsent = boolOr(d, "vendorConsent", false);
  return data;
}

Json ConsentService::getConsentFromStorage() const {
  auto stored = storageDefault_->value(storageKey);
  bool isDictionary = stored && stored->is_object();
  Log::info("ConsentService: getConsentFromStorage - " +
            (isDictionary ? "Optional(" + render(*stored) + ")" : std::string("nil")));
  return isDictionary ? *stored : Json::object();
}

void ConsentService::listenToAskForConsent(ActionListener::Action action) {
  Log::info("ConsentService: listenToAskForConsent");
  Json stored = getConsentFromStorage();
  Log::info("ConsentService: consentFromStorage - " + render(stored));
  if (!stored.empty()) return;
  bool dispatched = askForConsentDispatched_.load();
  Log::info("ConsentService: askForConsentDispatched - " + render(dispatched));
  if (!dispatched) {
    actionListener_.addActionToListener(askConsent, std::move(action));
  } else if (action) {
    HostCallback::run("a consent action listener",
                      [&] { action(std::any(std::vector<std::any>())); });
  }
}

void ConsentService::updateConsentData(const ConsentData& data) {
  {
    std::lock_guard lock(mutex_);
    if (data == consentData_) return;
    consentData_ = data;
  }
  actionListener_.dispatchActionListener(consentSet, std::any(data));
}

void ConsentService::persistSelectedConsent() {
  Json selected = selectedConsent();
  if (selected.empty()) return;
  storageDefault_->setValue(storageKey, withoutNulls(selected));
}

void ConsentService::handleResolvedConsent(const Json& value) {
  updateConsentData(makeConsentData(value.is_object() ? value : Json::object()));
}

Json ConsentService::consentDictionary(bool granted) {
  return Json{{"track", granted}, {"identify", granted}, {"vendorConsent", granted}};
}

ConsentData ConsentService::consentData() const {
  std::lock_guard lock(mutex_);
  return consentData_;
}

void ConsentService::setSelectedConsent(const Json& consent) {
  std::lock_guard lock(mutex_);
  selectedConsent_ = consent.is_object() ? consent : Json::object();
}

Json ConsentService::selectedConsent() const {
  std::lock_guard lock(mutex_);
  return selectedConsent_;
}

void ConsentService::onConsentPersistHandler(const std::any& value) {
  askForConsentDispatched_.store(false);
  if (const auto* data = std::any_cast<ConsentData>(&value)) {
    updateConsentData(*data);
  } else {
    Log::error("ConsentService: on_consent_persist - the value is not a consent record");
  }
  persistSelectedConsent();
}

}  // namespace kelvor
