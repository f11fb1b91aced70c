#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include <kelvor/Option.hpp>

#include "pipeline/DeliveryCounters.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"

namespace kelvor {

class IdentityProvider;
class UploadEventsQueue;

// Writes the manager's rows to the store: everything handed over since the last commit goes in
// one transaction on the store's queue, then the store is kept within its bound (oldest first)
// and the size trigger runs. A commit that fails (another process's lock held too long, a full
// or read-only disk) keeps its rows in memory, at most maxCacheSize of them, and tries again.
class StoreEventsQueue : public std::enable_shared_from_this<StoreEventsQueue> {
 public:
  static constexpr uint64_t noSeq = std::numeric_limits<uint64_t>::max();
  static constexpr std::chrono::milliseconds retryDelay{1000};
  // While uploads succeed a burst is kept whole, up to this many times maxCacheSize.
  static constexpr int64_t healthyBoundFactor = 100;

  StoreEventsQueue(std::shared_ptr<Option> options,
                   std::shared_ptr<IdentityProvider> identityProvider,
                   std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                   std::shared_ptr<SQLiteDatabase> database,
                   std::shared_ptr<DeliveryCounters> counters);
  void setUploadEventsQueue(std::weak_ptr<UploadEventsQueue> upload);

  // Rows in report order; committed together later on the store's queue. Never waits.
  void enqueue(std::vector<StoredRow> rows);
  // Brings the store within its bound now (runs on the store's queue and waits for it), then
  // runs the size trigger.
  void checkCacheSize();
  // Stores one record and trims, waiting for both.
  void insertAndCheckCacheSize(const Events& record);

  // How many rows the store may hold now: maxCacheSize while delivery is stalled.
  int64_t cacheBound() const;
  // The oldest report among rows handed over and not yet stored or dropped; noSeq when none.
  uint64_t oldestUndecidedSeq() const;
  size_t waiting() const;
  int64_t lastStoredRowid() const { return lastStoredRowid_.load(); }

 private:
  void scheduleCommit();
  void commit();
  void trim();
  // Drops the oldest beyond `limit` from `rows`; returns how many went.
  static size_t dropOldest(std::deque<StoredRow>& rows, size_t limit);
  void warnDropped(size_t count, const char* where);

  std::shared_ptr<Option> options_;
  std::shared_ptr<IdentityProvider> identityProvider_;
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<DeliveryCounters> counters_;
  std::weak_ptr<UploadEventsQueue> upload_;

  mutable std::mutex mutex_;
  std::deque<StoredRow> incoming_;
  std::deque<StoredRow> retained_;  // rows of a commit that failed, oldest first
  uint64_t committingSeq_ = noSeq;
  bool commitScheduled_ = false;
  bool retryScheduled_ = false;
  size_t droppedUnwarned_ = 0;
  std::atomic<int64_t> lastStoredRowid_{0};
};

}  // namespace kelvor
