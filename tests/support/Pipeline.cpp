#include "support/Pipeline.hpp"

#include <limits>

#include "identity/Utility.hpp"
#include "platform/DispatchQueue.hpp"

namespace kelvor::testing {

Pipeline::Pipeline(std::shared_ptr<QuorvelOption> o, const std::string& baseUrl,
                   const std::filesystem::path& caFile,
                   const std::function<void(const std::filesystem::path&)>& prepare,
                   std::shared_ptr<TimeSource> time)
    : option(std::move(o)),
      source(std::make_shared<FakeReachabilitySource>(Reachability::kReachable)) {
  if (prepare) prepare(sandbox.documents());
  http = std::make_shared<HttpService>(caFile);
  db = SQLiteDatabase::open(sandbox.documents(), SQLiteDatabase::fileName);
  reachability = std::make_shared<Reachability>(source);
  defaults = std::make_shared<QuorvelUserDefaults>(option->apiKey());
  identity = std::make_shared<IdentityProvider>(defaults);
  pages = std::make_shared<PageProvider>();
  consent = ConsentService::make(option, defaults);
  orva = std::make_shared<OrvaService>(http, option, baseUrl,
                                       [] { return *Utility::currentUserAgent(); });
  manager = OrvaEventsManager::make(option, identity, consent, reachability, db, orva, pages,
                                    std::move(time));
  DispatchQueue::main().drain();  // the first reachability announcement
}

Pipeline::~Pipeline() {
  if (!shutDown) settle(std::chrono::seconds(90));
  manager.reset();
}

void Pipeline::resolveConsent() {
  std::weak_ptr<OrvaEventsManager> weakManager = manager;
  auto ids = identity;
  std::weak_ptr<ConsentService> weakService = consent;  // the service holds this listener
  auto database = db;
  consent->actionListener().addActionToListener("consent_set", [=](const std::any& value) {
    const auto* data = std::any_cast<ConsentData>(&value);
    auto m = weakManager.lock();
    auto service = weakService.lock();
    if (!m || !service || data == nullptr || !data->resolved.value_or(false)) return;
    ids->loadKI();
    ids->loadIdentity();
    ids->loadUserProperties();
    if (!service->isConsentGiven("identify")) ids->clearIdentities();
    if (service->isConsentGiven("track")) {
      m->enqueueScheduleEventDispatchOnUpdate();
      m->scheduleIntervalDispatch();
      ids->getOrCreateKI();
      ids->buildUserIdentity();
      ids->buildUserPayload();
    } else {
      m->discardForWithdrawnConsent();
      ids->clearIdentities();
    }
  });
  consent->resolveConsent();
}

bool Pipeline::settle(std::chrono::seconds limit) {
  return manager->settle(*http, std::chrono::steady_clock::now() + limit);
}

std::shared_ptr<QuorvelOption> Pipeline::options(int64_t batchSize, int64_t maxCacheSize,
                                                 int64_t interval) {
  auto option = std::make_shared<QuorvelOption>();
  option->setApiKey("key");
  option->setOptout(false);
  option->setBatchSize(batchSize);
  option->setMaxCacheSize(maxCacheSize);
  option->setEventUploadInterval(interval);
  return option;
}

void Pipeline::report(int count, const std::string& prefix, const Json& properties) {
  for (int i = 0; i < count; ++i) manager->reportEvent(prefix + std::to_string(i), properties);
}

void Pipeline::shutdown() {
  manager->shutdown();
  http->stop();
  shutDown = true;
}

bool Pipeline::flush(std::chrono::seconds limit) {
  return manager->flush(std::chrono::steady_clock::now() + limit);
}

int64_t Pipeline::storedCount() {
  std::optional<int64_t> count;
  db->databaseQueue().sync([&] { count = db->count(); });
  return count.value_or(-1);
}

std::vector<Events> Pipeline::stored() {
  std::vector<Events> all;
  db->databaseQueue().sync([&] {
    for (const auto& row : db->readAfter(0, std::numeric_limits<int64_t>::max())) {
      all.push_back(row.toRecord());
    }
  });
  return all;
}

}  // namespace kelvor::testing
