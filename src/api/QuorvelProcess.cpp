#include "api/QuorvelProcess.hpp"

#include <atomic>
#include <vector>

#include <kelvor/Quorvel.hpp>

#include "api/Components.hpp"
#include "pipeline/OrvaEventsManager.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/SignalStore.hpp"
#include "support/ProcessFork.hpp"

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
                            &Quorvel::shared().components_->initMutex);
    SignalStore::setRoutine(storeForSignal);
    return true;
  }();
  (void)registered;
  const uint64_t now = ProcessFork::generation();
  if (componentsGeneration.load(std::memory_order_acquire) == now) return;
  Components& parts = *Quorvel::shared().components_;
  {
    std::lock_guard lock(parts.initMutex);
    if (componentsGeneration.load() == now) return;
    if (parts.isInitCalled.load() && parts.orvaEventManager) {
      auto& kept = abandoned();
      kept.insert(kept.end(), {parts.orvaEventManager, parts.orvaService, parts.dataBase,
                               parts.httpService, parts.reachability});
      try {
        parts.rebuildForChild();
        Log::info(
            "Quorvel: a child of fork - its own store connection, queues and networking thread "
            "from here on");
      } catch (const std::exception& error) {
        parts.isInitCalled.store(false);
        parts.orvaEventManager = nullptr;
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
  Components& parts = *Quorvel::shared().components_;
  if (!parts.isInitCalled.load() || !ownsComponents()) return;
  auto manager = parts.orvaEventManager;
  if (!manager) return;
  if (terminating) {
    manager->storeBeforeExit();
  } else {
    (void)manager->storeHandedOver(DispatchQueue::deadlineAfter(OrvaEventsManager::exitBudget));
  }
  Preferences::synchronizeAll();
}

}  // namespace kelvor
