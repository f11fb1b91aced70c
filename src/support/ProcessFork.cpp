#include "support/ProcessFork.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <vector>

namespace kelvor {
namespace {

struct Entry {
  ProcessFork::Rank rank;
  std::weak_ptr<void> owner;
  ProcessFork::Hooks hooks;
  const void* gate;
};

// A lock taken for one fork: its owner is held so the lock stays valid until it is released.
struct Held {
  std::shared_ptr<void> owner;
  std::shared_ptr<Entry> entry;
  bool taken = false;
};

struct Registry {
  std::mutex mutex;
  std::vector<std::shared_ptr<Entry>> entries;  // by rank, then registration
  uint64_t version = 0;
  size_t sizeAfterPrune = 0;
  std::set<int> closeInChild;
};

// Never destroyed: a fork may happen while the process exits.
Registry& registry() {
  static auto* made = new Registry();
  return *made;
}

std::atomic<uint64_t> processGeneration{0};
thread_local const void* currentGate = nullptr;

// One fork at a time runs the handlers: held from prepare to the end of parent or child.
std::mutex& forkMutex() {
  static auto* made = new std::mutex();
  return *made;
}

// The locks of the fork in progress (under forkMutex).
std::vector<Held>& held() {
  static auto* made = new std::vector<Held>();
  return *made;
}

void prune(Registry& r) {
  std::erase_if(r.entries, [](const auto& entry) { return entry->owner.expired(); });
  r.sizeAfterPrune = r.entries.size();
}

void release(std::vector<Held>& list) {
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    if (!it->taken) continue;
    it->entry->hooks.unlock();
    it->taken = false;
  }
}

// The gates all at once, without holding one while waiting for another: wait for one, try the
// rest, and on a miss let them all go and wait for the missed one first.
void takeGates(std::vector<Held>& list, size_t first, size_t end) {
  size_t start = first;
  for (;;) {
    list[start].entry->hooks.lock();
    list[start].taken = true;
    size_t missed = end;
    for (size_t i = first; i < end && missed == end; ++i) {
      if (i == start) continue;
      if (list[i].entry->hooks.tryLock()) {
        list[i].taken = true;
      } else {
        missed = i;
      }
    }
    if (missed == end) return;
    for (size_t i = first; i < end; ++i) {
      if (!list[i].taken) continue;
      list[i].entry->hooks.unlock();
      list[i].taken = false;
    }
    start = missed;
  }
}

void prepare() {
  forkMutex().lock();
  Registry& r = registry();
  std::vector<Held>& list = held();
  for (;;) {
    list.clear();
    uint64_t version = 0;
    {
      std::lock_guard lock(r.mutex);
      prune(r);
      for (const auto& entry : r.entries) {
        // A fork from inside a task of the library's own thread: that thread holds the gate.
        if (entry->gate != nullptr && entry->gate == currentGate) continue;
        if (auto owner = entry->owner.lock()) list.push_back(Held{std::move(owner), entry});
      }
      version = r.version;
    }
    for (size_t first = 0; first < list.size();) {
      size_t end = first;
      while (end < list.size() && list[end].entry->rank == list[first].entry->rank) ++end;
      if (list[first].entry->rank == ProcessFork::gates) {
        takeGates(list, first, end);
      } else {
        for (size_t i = first; i < end; ++i) {
          list[i].entry->hooks.lock();
          list[i].taken = true;
        }
      }
      first = end;
    }
    // The registry itself last; a lock registered meanwhile means another round.
    r.mutex.lock();
    if (r.version == version) return;
    r.mutex.unlock();
    release(list);
  }
}

void afterInParent() {
  registry().mutex.unlock();
  release(held());
  held().clear();
  forkMutex().unlock();
}

void afterInChild() {
  processGeneration.fetch_add(1);
  Registry& r = registry();
  for (int fd : r.closeInChild) ::close(fd);
  r.closeInChild.clear();
  r.mutex.unlock();
  std::vector<Held>& list = held();
  release(list);
  for (const auto& lock : list) {
    if (lock.entry->hooks.child) lock.entry->hooks.child();
  }
  // The owners stay: one may be the last reference to a parent's object, whose destructor
  // must not run here.
  static auto* kept = new std::vector<std::vector<Held>>();
  kept->push_back(std::move(list));
  list.clear();
  forkMutex().unlock();
}

}  // namespace

void ProcessFork::guard(Rank rank, std::weak_ptr<void> owner, Hooks hooks, const void* gate) {
  static const bool installed = pthread_atfork(prepare, afterInParent, afterInChild) == 0;
  (void)installed;
  auto entry = std::make_shared<Entry>(Entry{rank, std::move(owner), std::move(hooks), gate});
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  // Objects come and go between forks: the gone ones are dropped now and then.
  if (r.entries.size() >= 2 * r.sizeAfterPrune + 32) prune(r);
  auto at = std::upper_bound(r.entries.begin(), r.entries.end(), rank,
                             [](Rank value, const auto& other) { return value < other->rank; });
  r.entries.insert(at, std::move(entry));
  ++r.version;
}

std::shared_ptr<void> ProcessFork::forever() {
  static auto* made = new std::shared_ptr<int>(std::make_shared<int>(0));
  return *made;
}

uint64_t ProcessFork::generation() {
  return processGeneration.load(std::memory_order_acquire);
}

void ProcessFork::closeInChild(int fd) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.closeInChild.insert(fd);
}

void ProcessFork::forget(int fd) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.closeInChild.erase(fd);
}

ProcessFork::GateScope::GateScope(const void* gate) : previous_(currentGate) {
  currentGate = gate;
}

ProcessFork::GateScope::~GateScope() {
  currentGate = previous_;
}

}  // namespace kelvor
