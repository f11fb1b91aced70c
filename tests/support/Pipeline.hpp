#pragma once

#include <memory>
#include <string>

#include <kelvor/QuorvelOption.hpp>

#include "api/Components.hpp"
#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "pipeline/Events.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/TimeSource.hpp"
#include "support/Collector.hpp"
#include "support/FakeReachabilitySource.hpp"
#include "support/TempDir.hpp"
#include "transport/HttpService.hpp"

namespace kelvor::testing {

// The library's components, built and wired by the facade's own composition root, in a sandbox
// of their own and pointed at a given endpoint, so several pipelines can be built in one test
// process.
class Pipeline {
 public:
  // `prepare` may put files in the documents directory before the store opens.
  Pipeline(std::shared_ptr<QuorvelOption> option, const std::string& baseUrl,
           const std::filesystem::path& caFile,
           const std::function<void(const std::filesystem::path&)>& prepare = {},
           std::shared_ptr<TimeSource> time = nullptr);
  // Pointed at the collector and started (resolveConsent).
  Pipeline(std::shared_ptr<QuorvelOption> option, const Collector& collector,
           std::shared_ptr<TimeSource> time = nullptr);

  // Options with a key, tracking allowed and the timer out of the way (not normalised, so a
  // test may go beyond the ranges build() keeps).
  static std::shared_ptr<QuorvelOption> options(int64_t batchSize = 10, int64_t maxCacheSize = 100,
                                                int64_t interval = 3600);
  ~Pipeline();

  // Starts as initialize does: the consent decision is resolved and, once resolved, loads the
  // identity, starts delivery and sends the identity.
  void resolveConsent() { components->start(); }
  // The app's own consent decision, as its consent screen gives it.
  void decideConsent(const Json& consent);
  // Waits until the manager's queue, the store and the networking thread are all quiet.
  bool settle(std::chrono::seconds limit = std::chrono::seconds(60));
  int64_t storedCount();
  // Reports events named <prefix>0, <prefix>1, ... as the facade does.
  void report(int count, const std::string& prefix = "e", const Json& properties = Json::object());
  bool flush(std::chrono::seconds limit = std::chrono::seconds(60));
  // As Quorvel::shutdown does after its flush.
  void shutdown();
  std::vector<Events> stored();
  void runOnManager(const std::function<void()>& task) { manager->dispatchQueue().sync(task); }

  PlatformSandbox sandbox;
  std::shared_ptr<FakeReachabilitySource> source;
  std::shared_ptr<SQLiteDatabase> db;
  std::shared_ptr<IdentityProvider> identity;
  std::shared_ptr<PageProvider> pages;
  std::shared_ptr<ConsentService> consent;
  std::shared_ptr<OrvaEventsManager> manager;
  std::shared_ptr<Components> components;
  bool shutDown = false;
};

}  // namespace kelvor::testing
