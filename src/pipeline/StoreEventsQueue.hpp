#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <kelvor/Option.hpp>

#include "pipeline/DeliveryCounters.hpp"
#include "pipeline/DeliveryScheduler.hpp"
#include "pipeline/DropCause.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"

namespace kelvor {

class IdentityProvider;

// Writes the manager's rows to the store: everything handed over since the last commit goes in
// one transaction on the store's queue, then the store is kept within its bound (oldest first)
// and the size trigger runs. While delivery works the bound is the store's size on disk; once it
// stalls, maxCacheSize rows reported during the stall, beside the rows the store held when it
// began (a backlog a healthy endpoint was taking is never thrown away). A commit that fails
// (another process's lock held too long, a full or read-only disk) keeps its rows in memory, at
// most maxCacheSize of them, and tries again.
class StoreEventsQueue : public std::enable_shared_from_this<StoreEventsQueue> {
 public:
  static constexpr uint64_t noSeq = std::numeric_limits<uint64_t>::max();
  static constexpr std::chrono::milliseconds retryDelay{1000};
  // While uploads succeed a burst is kept whole up to this many bytes, in the store and waiting
  // for it alike.
  static constexpr int64_t healthyBoundBytes = 64 * 1024 * 1024;

  struct Bound {
    int64_t rows;
    int64_t bytes;
    DropCause cause;  // said in the warning of what goes beyond it
  };

  StoreEventsQueue(std::shared_ptr<Option> options,
                   std::shared_ptr<IdentityProvider> identityProvider,
                   std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                   std::shared_ptr<SQLiteDatabase> database,
                   std::shared_ptr<DeliveryCounters> counters,
                   std::shared_ptr<DeliveryScheduler> scheduler);

  // Rows in report order; committed together later on the store's queue. Never waits.
  void enqueue(std::vector<StoredRow> rows);
  // Brings the store within its bound now (runs on the store's queue and waits for it), then
  // runs the size trigger.
  void checkCacheSize();

  // What the store may hold now: maxCacheSize rows (of those reported during the stall) while
  // delivery is stalled, else a size.
  Bound bound() const;
  // Store's queue: drops the rows waiting in memory and every stored row (consent withdrawn);
  // how many went.
  uint64_t discardAll();
  // Store's queue: commits what waits now, once, without the retry timer (the process ends).
  void commitNow();
  // The oldest report among rows handed over and not yet stored or dropped; noSeq when none.
  uint64_t oldestUndecidedSeq() const;
  // Rows handed over and not yet stored: waiting, and in a commit under way.
  size_t waiting() const;
  // Store's queue: rows up to here are in flight, read ahead or accepted; trimming spares them.
  void protectThrough(int64_t rowid) { protectedThrough_.store(rowid); }

 private:
  void scheduleCommit();
  void commit();
  void trim();
  // Store's queue: notes where a stall began (the newest row stored then), or that none runs.
  // Returns that row while stalled.
  std::optional<int64_t> noteStall();
  // Drops the oldest from `rows` until at most `limit` rows and `bytes` remain, counting the
  // others' bytes in `alsoHeld`; returns how many went.
  size_t dropOldestLocked(std::deque<StoredRow>& rows, size_t limit, int64_t bytes,
                          int64_t alsoHeld);
  void warnDropped(size_t count, const char* where, const std::string& cause);

  std::shared_ptr<Option> options_;
  std::shared_ptr<IdentityProvider> identityProvider_;
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<DeliveryCounters> counters_;
  std::shared_ptr<DeliveryScheduler> scheduler_;

  mutable std::mutex mutex_;
  std::deque<StoredRow> incoming_;
  std::deque<StoredRow> retained_;  // rows of a commit that failed, oldest first
  uint64_t committingSeq_ = noSeq;
  size_t committing_ = 0;  // rows of the commit under way
  bool commitScheduled_ = false;
  bool retryScheduled_ = false;
  int64_t waitingBytes_ = 0;  // stored size of incoming_ and retained_
  size_t droppedUnwarned_ = 0;
  DropCause droppedCause_;
  std::optional<int64_t> stallBegan_;  // store's queue only
  std::atomic<int64_t> protectedThrough_{0};
};

}  // namespace kelvor
