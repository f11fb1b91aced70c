#include "pipeline/UploadEventsQueue.hpp"

#include <array>
#include <utility>

#include <kelvor/Log.hpp>

#include "support/Render.hpp"
#include "identity/IdentityProvider.hpp"
#include "pipeline/EventsList.hpp"
#include "platform/Base64.hpp"
#include "platform/DispatchQueue.hpp"

namespace kelvor {
namespace {

constexpr std::array<std::pair<const char*, const char*>, 8> identityRenaming{{
    {"ki", "user_ki"},
    {"email", "user_email"},
    {"loginid", "user_loginid"},
    {"cellno_without_country_code", "user_cellno_without_country_code"},
    {"cellno_with_country_code", "user_cellno_with_country_code"},
    {"cellno_e164", "user_cellno_e164"},
    {"advertising_id", "user_advertising_id"},
    {"att_authorization_status", "user_att_authorization_status"},
}};

}  // namespace

UploadEventsQueue::UploadEventsQueue(std::shared_ptr<Option> options,
                                     std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                                     std::shared_ptr<SQLiteDatabase> database,
                                     std::shared_ptr<ConsentService> consentService,
                                     std::shared_ptr<OrvaService> orvaService)
    : options_(std::move(options)),
      orvaEventManager_(std::move(orvaEventManager)),
      database_(std::move(database)),
      consentService_(std::move(consentService)),
      orvaService_(std::move(orvaService)) {}

void UploadEventsQueue::checkAndTranferEvents() {
  bool inProgress = isDispatchInProgress.load();
  Log::info("checkAndTranferEvents: isDispatchInProgress - " + render(inProgress));
  if (inProgress) return;
  isDispatchInProgress.store(true);
  fetchFromDBAndLogEvents();
}

void UploadEventsQueue::fetchFromDBAndLogEvents() {
  const int64_t batchSize = options_->batchSize();
  std::vector<Events> batch;
  database_->databaseQueue().sync([&] { batch = database_->readEvents(batchSize); });
  Log::infoLazy([&] {
    return "fetchFromDBAndLogEvents: events " + std::to_string(batch.size()) + " - " +
           EventsList{batch}.toString();
  });
  if (batch.empty()) {
    isDispatchInProgress.store(false);
    return;
  }
  auto self = shared_from_this();
  auto sent = std::make_shared<const std::vector<Events>>(std::move(batch));
  orvaService_->sendEvents(
      *sent, baseQueryParams(),
      [self, sent, batchSize](int64_t, const std::optional<HttpResponse>&) {
        // Exactly the sent records go; records stored meanwhile stay.
        self->database_->databaseQueue().sync([&] { self->database_->deleteEvents(*sent); });
        self->isDispatchInProgress.store(false);
        if (auto manager = self->orvaEventManager_.lock()) {
          manager->enqueueScheduleEventDispatchOnUpdate(static_cast<int64_t>(sent->size()) >=
                                                        batchSize);
        }
      },
      [self](int64_t code, const std::optional<HttpResponse>& response) {
        Log::error("[Code] :: " + std::to_string(code) + " - " +
                   (response ? response->description() : std::string("nil")));
        self->isDispatchInProgress.store(false);
      });
}

QueryMap UploadEventsQueue::baseQueryParams() const {
  const bool track = consentService_->isConsentGiven("track");
  const bool identify = consentService_->isConsentGiven("identify");
  QueryMap query = {{"optin", (track || identify) ? "yes" : "no"},
                    {"identify", render(identify)},
                    {"track", render(track)},
                    {"cookieSync", "false"},
                    {"env", "mApp"}};
  if (options_->useConsent() && options_->checkForCMP()) {
    ConsentData data = consentService_->consentData();
    query["cmp"] = "1";
    query["gdpr"] = data.gdprApplies.value_or(false) ? "1" : "0";
    if (data.consentString) {
      query["gdpr_consent"] = *data.consentString;
    } else {
      query.erase("gdpr_consent");
    }
    query["vendorConsent"] = render(data.vendorConsent.value_or(false));
  }
  return query;
}

QueryMap UploadEventsQueue::identityQueryParams() const {
  QueryMap query = baseQueryParams();
  Json identity = Json::object();
  if (auto manager = orvaEventManager_.lock()) {
    if (auto provider = manager->identityProvider()) identity = provider->getIdentityAndIDFA();
  }
  Json out = Json::object();
  for (const auto& [key, renamed] : identityRenaming) {
    auto found = identity.find(key);
    if (found == identity.end()) continue;
    out[renamed] = *found;
    identity.erase(found);
  }
  for (const auto& [key, value] : identity.items()) out[key] = value;
  query["payload"] = Base64::encode(render(out));
  query["user_country"] = options_->userCountry();
  query["w_k"] = Base64::encode(options_->apiKey());
  return query;
}

void UploadEventsQueue::instantSendFailed(int64_t, const std::optional<HttpResponse>&,
                                          const Events& event) {
  Log::error("Failed to log events");
  auto manager = orvaEventManager_.lock();
  if (!manager) return;
  std::weak_ptr<OrvaEventManagerCallbacks> weak = manager;
  manager->dispatchQueue().asyncBarrier([weak, event] {
    if (auto m = weak.lock()) m->storeQuickEventToDB(event);
  });
}

}  // namespace kelvor
