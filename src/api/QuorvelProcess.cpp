#include "api/QuorvelProcess.hpp"

#include <atomic>
#include <vector>

#include <kelvor/Quorvel.hpp>

#include "identity/Utility.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/ProcessFork.hpp"
#include "platform/SignalStore.hpp"
#include "reachability/StaticReachabilitySource.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {
namespace {

// The process generation the components were built in.
std::atomic<uint64_t> componentsGeneration{0};

// A child's copy of the parent's components: kept, once per fork, and never touched.
std::vector<std::shared_ptr<void>>& abandoned() {
  static auto* made = new std::vector<std::shared_ptr<void>>();
  return *made;
}

}  // namespace

void QuorvelProcess::continueAfterFork() {
  static const bool registered = [] {
    ProcessFork::guardMutex(ProcessFork::initialize, ProcessFork::forever(),
                            &Quorvel::shared().initMutex_);
    SignalStore::setRoutine(storeForSignal);
    return true;
  }();
  (void)registered;
  const uint64_t now = ProcessFork::generation();
  if (componentsGeneration.load(std::memory_order_acquire) == now) return;
  Quorvel& self = Quorvel::shared();
  {
    std::lock_guard lock(self.initMutex_);
    if (componentsGeneration.load() == now) return;
    if (self.isInitCalled.load() && self.orvaEventManager) {
      auto& kept = abandoned();
      kept.insert(kept.end(), {self.orvaEventManager, self.orvaService, self.dataBase,
                               self.httpService, self.reachability});
      try {
        self.httpService = std::make_shared<HttpService>(Platform::caBundle());
        self.dataBase = SQLiteDatabase::open(SQLiteDatabase::fileName);
        self.reachability = Reachability::make();
        if (!self.reachability) {
          self.reachability =
              std::make_shared<Reachability>(std::make_shared<StaticReachabilitySource>(0));
        }
        self.orvaService = std::make_shared<OrvaService>(
            self.httpService, self.options, Platform::ingestionBaseUrl(),
            [] { return *Utility::currentUserAgent(); });
        self.orvaEventManager = OrvaEventsManager::make(
            self.options, self.identityProvider, self.consentService, self.reachability,
            self.dataBase, self.orvaService, self.pageProvider);
        Log::info(
            "Quorvel: a child of fork - its own store connection, queues and networking thread "
            "from here on");
        if (self.consentService->isConsentGiven("track")) {
          self.orvaEventManager->enqueueScheduleEventDispatchOnUpdate();
          self.orvaEventManager->scheduleIntervalDispatch();
        }
      } catch (const std::exception& error) {
        self.isInitCalled.store(false);
        self.orvaEventManager = nullptr;
        Log::error(std::string("Quorvel: a child of fork cannot open the event store (") +
                   error.what() + "); call initialize again in it once the store works");
      }
    }
    componentsGeneration.store(now, std::memory_order_release);
  }
  SignalStore::continueInChild();
}

bool QuorvelProcess::ownsComponents() {
  return componentsGeneration.load(std::memory_order_acquire) == ProcessFork::generation();
}

void QuorvelProcess::storeForSignal(bool terminating) {
  Quorvel& self = Quorvel::shared();
  if (!self.isInitCalled.load() || !ownsComponents()) return;
  auto manager = self.orvaEventManager;
  if (!manager) return;
  if (terminating) {
    manager->storeBeforeExit();
  } else {
    (void)manager->storeHandedOver(DispatchQueue::deadlineAfter(OrvaEventsManager::exitBudget));
  }
  Preferences::synchronizeAll();
}

}  // namespace kelvor
