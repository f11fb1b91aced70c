#include "support/Pipeline.hpp"

#include <limits>

#include "identity/Utility.hpp"
#include "platform/DispatchQueue.hpp"

namespace kelvor::testing {

Pipeline::Pipeline(std::shared_ptr<QuorvelOption> o, const std::string& baseUrl,
                   const std::filesystem::path& caFile,
                   const std::function<void(const std::filesystem::path&)>& prepare,
                   std::shared_ptr<TimeSource> time)
    : source(std::make_shared<FakeReachabilitySource>(Reachability::kReachable)),
      components(std::make_shared<Components>()) {
  if (prepare) prepare(sandbox.documents());
  components->build(std::move(o), {sandbox.documents(), baseUrl, caFile, std::nullopt,
                                   std::make_shared<Reachability>(source), std::move(time)});
  db = components->dataBase;
  identity = components->identityProvider;
  pages = components->pageProvider;
  consent = components->consentService;
  manager = components->orvaEventManager;
  DispatchQueue::main().drain();  // the first reachability announcement
}

Pipeline::Pipeline(std::shared_ptr<QuorvelOption> o, const Collector& collector,
                   std::shared_ptr<TimeSource> time)
    : Pipeline(std::move(o), collector.baseUrl(), collector.caFile(), {}, std::move(time)) {
  resolveConsent();
}

Pipeline::~Pipeline() {
  if (!shutDown) settle(std::chrono::seconds(90));
  manager.reset();
  components.reset();
}

void Pipeline::decideConsent(const Json& consent) {
  this->consent->setSelectedConsent(consent);
  this->consent->actionListener().dispatchActionListener(
      "on_consent_persist", std::any(ConsentService::makeConsentData(consent)));
}

bool Pipeline::settle(std::chrono::seconds limit) {
  return manager->settle(*components->httpService, std::chrono::steady_clock::now() + limit);
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
  components->stop();
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
