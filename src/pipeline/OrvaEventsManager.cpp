#include "pipeline/OrvaEventsManager.hpp"

#include <algorithm>
#include <chrono>

#include <kelvor/Log.hpp>

#include "support/Render.hpp"
#include "identity/IdentityTransformer.hpp"
#include "identity/Utility.hpp"
#include "platform/Uuid.hpp"

namespace kelvor {

std::shared_ptr<OrvaEventsManager> OrvaEventsManager::make(
    std::shared_ptr<Option> options, std::shared_ptr<IdentityProvider> identityProvider,
    std::shared_ptr<ConsentService> consentService, std::shared_ptr<Reachability> reachability,
    std::shared_ptr<SQLiteDatabase> database, std::shared_ptr<OrvaService> orvaService,
    std::shared_ptr<PageProvider> pageProvider) {
  std::shared_ptr<OrvaEventsManager> manager(
      new OrvaEventsManager(std::move(options), std::move(identityProvider),
                            std::move(consentService), std::move(reachability), std::move(database),
                            std::move(orvaService), std::move(pageProvider)));
  manager->start();
  return manager;
}

OrvaEventsManager::OrvaEventsManager(std::shared_ptr<Option> options,
                                     std::shared_ptr<IdentityProvider> identityProvider,
                                     std::shared_ptr<ConsentService> consentService,
                                     std::shared_ptr<Reachability> reachability,
                                     std::shared_ptr<SQLiteDatabase> database,
                                     std::shared_ptr<OrvaService> orvaService,
                                     std::shared_ptr<PageProvider> pageProvider)
    : options_(std::move(options)),
      consentService_(std::move(consentService)),
      identityProvider_(std::move(identityProvider)),
      pageProvider_(std::move(pageProvider)),
      reachability_(std::move(reachability)),
      database_(std::move(database)),
      orvaService_(std::move(orvaService)) {}

void OrvaEventsManager::start() {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  storeEventsQueue_ =
      std::make_shared<StoreEventsQueue>(options_, identityProvider_, weak, database_);
  uploadEventsQueue_ =
      std::make_shared<UploadEventsQueue>(options_, weak, database_, consentService_, orvaService_);
  if (!reachability_) return;
  observer_ = NotificationCenter::defaultCenter().addObserver(
      ::kelvor::reachabilityChanged, reachability_.get(), [weak](const void* sender) {
        if (auto self = weak.lock()) self->reachabilityChanged(sender);
      });
  try {
    reachability_->startNotifier();
  } catch (const std::exception&) {
    Log::error("could not start reachability notifier");
  }
}

OrvaEventsManager::~OrvaEventsManager() {
  if (observer_ != 0) NotificationCenter::defaultCenter().removeObserver(observer_);
}

template <class Task>
void OrvaEventsManager::enqueue(Task task) {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  dispatchQueue_.asyncBarrier([weak, task = std::move(task)]() mutable {
    if (auto self = weak.lock()) task(*self);
  });
}

void OrvaEventsManager::reachabilityChanged(const void* sender) {
  std::optional<Reachability::Connection> now;
  if (reachability_ && sender == reachability_.get()) now = reachability_->connection();
  Log::info("reachability.connection - " +
            (now ? Reachability::describe(*now) : std::string("nil")));
  std::string text = "no connection";
  if (now == Reachability::Connection::wifi) text = "wi-fi";
  if (now == Reachability::Connection::cellular) text = "cellular";
  {
    std::lock_guard lock(connectionMutex_);
    connection_ = text;
  }
  isNetworkAvailable_.store(now == Reachability::Connection::wifi ||
                            now == Reachability::Connection::cellular);
}

std::string OrvaEventsManager::connection() const {
  std::lock_guard lock(connectionMutex_);
  return connection_;
}

bool OrvaEventsManager::trackingRefused() const {
  ConsentData data = consentService_->consentData();
  return data.resolved.value_or(false) && !data.track.value_or(false);
}

bool OrvaEventsManager::trackingGranted() const {
  return consentService_->isConsentGiven("track");
}

Events OrvaEventsManager::buildRecord(const std::string& name, const Json& properties,
                                      std::optional<Json> page, Json user) const {
  Events record;
  record.event = {{"eventName", name}, {"eventTimestamp", Utility::currentTimestampMillis()}};
  if (properties.is_object()) {
    for (const auto& [key, value] : properties.items()) {
      if (!record.event.contains(key)) record.event[key] = value;
    }
  }
  record.eventUUID = Uuid::random();
  record.version = Events::libraryVersion;
  record.page = std::move(page);
  record.user = std::move(user);
  return record;
}

void OrvaEventsManager::store(const Events& record) {
  if (!storeEventsQueue_) return;
  storeEventsQueue_->insertAndCheckCacheSize(record);
}

void OrvaEventsManager::logEvent(const std::string& name, const Json& properties) {
  if (trackingRefused()) return;
  store(buildRecord(name, properties, pageProvider_->pageProperty(), getAllUserData()));
}

void OrvaEventsManager::logInstantEvent(const std::string& name, const Json& properties) {
  enqueue([name, properties](OrvaEventsManager& self) {
    if (self.trackingRefused()) return;
    Events record = self.buildRecord(name, properties, self.pageProvider_->pageProperty(),
                                     self.getAllUserData());
    if (!self.trackingGranted()) {
      self.store(record);  // consent unresolved: the batch upload takes it later
      return;
    }
    auto upload = self.uploadEventsQueue_;
    if (!upload) return;
    upload->orvaService()->sendEvents(
        {record}, upload->baseQueryParams(), OrvaService::logResponse,
        [upload, record](int64_t code, const std::optional<HttpResponse>& response) {
          upload->instantSendFailed(code, response, record);
        });
  });
}

void OrvaEventsManager::storeQuickEventToDB(const Events& event) {
  Log::info("storeQuickEventToDB");
  store(event);
}

void OrvaEventsManager::setPageProperties(const Json& properties) {
  enqueue([properties](OrvaEventsManager& self) {
    if (self.trackingRefused()) return;
    self.store(
        self.buildRecord("set_page_properties", Json::object(), properties, self.getAllUserData()));
  });
}

void OrvaEventsManager::setUserProperties(const Json& properties) {
  enqueue([properties](OrvaEventsManager& self) {
    if (self.trackingRefused()) return;
    Json user = self.getAllUserData();
    if (properties.is_object()) {
      for (const auto& [key, value] : properties.items()) {
        if (!user.contains(key)) user[key] = value;  // existing user data wins
      }
    }
    self.store(self.buildRecord("set_user_properties", Json::object(),
                                self.pageProvider_->pageProperty(), std::move(user)));
  });
}

void OrvaEventsManager::setUserIdentities(const Json& identities) {
  enqueue([identities](OrvaEventsManager& self) {
    if (!self.consentService_->isConsentGiven("identify")) return;
    Json transformed = self.transformIdentitiesBasedOnConfiguration(identities);
    if (!self.identityProvider_->replaceIdentity(transformed)) return;
    if (auto upload = self.uploadEventsQueue_) {
      upload->orvaService()->sendIdentity(upload->identityQueryParams(), OrvaService::logResponse,
                                          OrvaService::logResponse);
    }
  });
}

Json OrvaEventsManager::transformIdentitiesBasedOnConfiguration(const Json& identities) const {
  const bool hashed = options_->areIdentitiesHashed();
  const bool hash = options_->hashIdentities();
  const std::string first =
      "transformIdentitiesBasedOnConfiguration - transform identities based on SDK configuration";
  const std::string second =
      "areIdentitiesHashed: " + render(hashed) + " hashIdentities: " + render(hash);
  Log::info(first);
  Log::debug(second);
  Log::debug(first);
  Log::info(second);
  if (hashed) return IdentityTransformer::groupHashedIdentities(identities);
  Json valid = IdentityTransformer::normalizeIdentities(identities);
  return hash ? IdentityTransformer::hashIdentityValues(valid) : valid;
}

Json OrvaEventsManager::getAllUserData() const {
  Json user = identityProvider_->userPayload();
  user["network_type"] = connection();
  std::string country = options_->userCountry();
  if (!country.empty()) user["country"] = country;
  Log::infoLazy([&] { return "getAllUserData - " + render(user); });
  const Json device = Utility::deviceInfo();
  for (const auto& [key, value] : device.items()) {
    if (!user.contains(key)) user[key] = value;  // device keys never override user data
  }
  return user;
}

bool OrvaEventsManager::settle(HttpService& http, std::chrono::steady_clock::time_point deadline) {
  while (std::chrono::steady_clock::now() < deadline) {
    dispatchQueue_.drainAll();
    DispatchQueue::main().drain();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!http.waitUntilIdle(std::max(left, std::chrono::milliseconds(0)))) return false;
    // A finished request enqueues its follow-up before it counts as finished: run those, and
    // stop only when that pass started no request.
    const uint64_t before = http.submittedCount();
    dispatchQueue_.drainAll();
    if (http.submittedCount() == before &&
        !(uploadEventsQueue_ && uploadEventsQueue_->isDispatchInProgress.load())) {
      return true;
    }
  }
  return false;
}

void OrvaEventsManager::enqueueScheduleEventDispatchOnUpdate(bool afterFullBatch) {
  enqueue([afterFullBatch](OrvaEventsManager& self) {
    self.scheduleEventDispatchOnUpdate(afterFullBatch);
  });
}

void OrvaEventsManager::scheduleEventDispatchOnUpdate(bool afterFullBatch) {
  Log::info("scheduleEventDispatchOnUpdate - ");
  if (!trackingGranted()) return;
  auto upload = uploadEventsQueue_;
  if (!upload || upload->isDispatchInProgress.load()) return;
  std::optional<int64_t> count;
  database_->databaseQueue().sync([&] { count = database_->count(); });
  if (!count) return;
  const int64_t threshold = afterFullBatch ? 1 : options_->batchSize();
  if (*count >= threshold) upload->checkAndTranferEvents();
}

void OrvaEventsManager::scheduleIntervalDispatch() {
  // At most one chain: arming again while one is pending does nothing.
  auto upload = uploadEventsQueue_;
  if (upload) {
    bool expected = false;
    if (!upload->isDispatchScheduled.compare_exchange_strong(expected, true)) return;
  }
  armIntervalTimer();
}

void OrvaEventsManager::armIntervalTimer() {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  auto interval = std::chrono::seconds(std::max<int64_t>(1, options_->eventUploadInterval()));
  dispatchQueue_.asyncAfter(interval, [weak] {
    if (auto self = weak.lock()) self->scheduleEventDispatchOnIntervalThreshold();
  });
}

void OrvaEventsManager::scheduleEventDispatchOnIntervalThreshold() {
  Log::info("scheduleEventDispatchOnIntervalThreshold");
  auto upload = uploadEventsQueue_;
  if (!trackingGranted() || !upload) {
    if (upload) upload->isDispatchScheduled.store(false);  // the chain ends here
    return;
  }
  upload->checkAndTranferEvents();
  upload->isDispatchScheduled.store(true);
  armIntervalTimer();
}

}  // namespace kelvor
