#include "pipeline/StoreEventsQueue.hpp"

#include <algorithm>

#include <kelvor/Log.hpp>

#include "pipeline/EventsList.hpp"
#include "support/BackgroundWork.hpp"

namespace kelvor {

StoreEventsQueue::StoreEventsQueue(std::shared_ptr<Option> options,
                                   std::shared_ptr<IdentityProvider> identityProvider,
                                   std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                                   std::shared_ptr<SQLiteDatabase> database,
                                   std::shared_ptr<DeliveryCounters> counters,
                                   std::shared_ptr<DeliveryScheduler> scheduler)
    : options_(std::move(options)),
      identityProvider_(std::move(identityProvider)),
      orvaEventManager_(std::move(orvaEventManager)),
      database_(std::move(database)),
      counters_(std::move(counters)),
      scheduler_(std::move(scheduler)) {}

StoreEventsQueue::Bound StoreEventsQueue::bound() const {
  const int64_t maxCacheSize = std::max<int64_t>(1, options_->maxCacheSize());
  auto manager = orvaEventManager_.lock();
  const std::string_view stalled = manager ? manager->stallCause() : "the library is stopping";
  const DropCause cause{stalled, maxCacheSize, healthyBoundBytes};
  if (!stalled.empty()) return {maxCacheSize, healthyBoundBytes, cause};
  return {std::numeric_limits<int64_t>::max(), healthyBoundBytes, cause};
}

size_t StoreEventsQueue::dropOldestLocked(std::deque<StoredRow>& rows, size_t limit, int64_t bytes,
                                          int64_t alsoHeld) {
  size_t dropped = 0;
  while (!rows.empty() && (rows.size() > limit || waitingBytes_ + alsoHeld > bytes)) {
    waitingBytes_ -= static_cast<int64_t>(rows.front().storedSize());
    rows.pop_front();
    ++dropped;
  }
  return dropped;
}

void StoreEventsQueue::enqueue(std::vector<StoredRow> rows) {
  if (rows.empty()) return;
  const Bound limit = bound();
  {
    std::lock_guard lock(mutex_);
    for (auto& row : rows) {
      waitingBytes_ += static_cast<int64_t>(row.storedSize());
      incoming_.push_back(std::move(row));
    }
    // Rows waiting for the store are bounded like the store itself: what the store would
    // trim anyway goes now, oldest first, instead of piling up in memory.
    const auto rowsBound =
        static_cast<size_t>(std::min<int64_t>(limit.rows, static_cast<int64_t>(SIZE_MAX / 2)));
    const size_t room = rowsBound > retained_.size() ? rowsBound - retained_.size() : 0;
    const size_t dropped = dropOldestLocked(incoming_, room, limit.bytes, 0);
    if (dropped > 0) {
      counters_->droppedByCacheCap.fetch_add(dropped);
      droppedUnwarned_ += dropped;
      droppedCause_ = limit.cause;
    }
  }
  scheduleCommit();
}

void StoreEventsQueue::scheduleCommit() {
  {
    std::lock_guard lock(mutex_);
    if (commitScheduled_) return;
    commitScheduled_ = true;
  }
  std::weak_ptr<StoreEventsQueue> weak = weak_from_this();
  database_->databaseQueue().async([weak] {
    if (auto self = weak.lock()) self->commit();
  });
}

void StoreEventsQueue::warnDropped(size_t count, const char* where, const std::string& cause) {
  counters_->dropWarning.dropped(count, where, cause);
}

std::optional<int64_t> StoreEventsQueue::noteStall() {
  auto manager = orvaEventManager_.lock();
  const bool stalled = !manager || !manager->stallCause().empty();
  if (!stalled) {
    stallBegan_.reset();
  } else if (!stallBegan_) {
    stallBegan_ = database_->maxRowid();
  }
  return stallBegan_;
}

void StoreEventsQueue::commit() {
  BackgroundWork::enter();
  std::vector<StoredRow> batch;
  size_t unwarned = 0;
  DropCause cause;
  {
    std::lock_guard lock(mutex_);
    commitScheduled_ = false;
    batch.reserve(retained_.size() + incoming_.size());
    for (auto& row : retained_) batch.push_back(std::move(row));
    for (auto& row : incoming_) batch.push_back(std::move(row));
    retained_.clear();
    incoming_.clear();
    waitingBytes_ = 0;
    committingSeq_ = noSeq;
    committing_ = batch.size();
    for (const auto& row : batch) {
      if (row.seq != 0) committingSeq_ = std::min(committingSeq_, row.seq);
    }
    unwarned = std::exchange(droppedUnwarned_, 0);
    cause = droppedCause_;
  }
  if (unwarned > 0) warnDropped(unwarned, "waiting for the store", cause.text());
  if (batch.empty()) return;

  // A stall that begins now begins before these rows: they count against maxCacheSize.
  noteStall();
  const bool stored = database_->insertRows(batch);
  if (!stored) {
    size_t dropped = 0;
    bool retry = false;
    const int64_t maxCacheSize = std::max<int64_t>(1, options_->maxCacheSize());
    {
      std::lock_guard lock(mutex_);
      for (auto& row : batch) {
        waitingBytes_ += static_cast<int64_t>(row.storedSize());
        retained_.push_back(std::move(row));
      }
      dropped =
          dropOldestLocked(retained_, static_cast<size_t>(maxCacheSize), healthyBoundBytes, 0);
      committingSeq_ = noSeq;
      committing_ = 0;
      retry = !std::exchange(retryScheduled_, true);
    }
    if (dropped > 0) counters_->droppedByCacheCap.fetch_add(dropped);
    warnDropped(dropped, "that the store could not take",
                "the event store cannot be written, and at most maxCacheSize (" +
                    std::to_string(maxCacheSize) + ") events are kept in memory meanwhile");
    if (retry && scheduler_->running()) {
      Log::warning("the event store cannot be written now; " + std::to_string(waiting()) +
                   " events are kept in memory and stored again in " +
                   std::to_string(retryDelay.count()) + " ms");
      std::weak_ptr<StoreEventsQueue> weak = weak_from_this();
      database_->databaseQueue().asyncAfter(retryDelay, [weak] {
        auto self = weak.lock();
        if (!self) return;
        {
          std::lock_guard lock(self->mutex_);
          self->retryScheduled_ = false;
        }
        self->commit();
      });
    }
    // The rows stored before may still go: the store is kept in bounds and the size trigger
    // runs after a failed commit too.
    trim();
    scheduler_->progress();
    scheduler_->stored();
    return;
  }
  {
    std::lock_guard lock(mutex_);
    committing_ = 0;
  }

  uint64_t count = 0;
  for (const auto& row : batch) {
    if (row.rowid > 0) ++count;
  }
  counters_->stored.fetch_add(count);
  batch.clear();
  // The store takes writes again: accepted rows it could not delete before can go now.
  if (auto manager = orvaEventManager_.lock()) manager->storeTakesWrites();
  trim();
  {
    std::lock_guard lock(mutex_);
    committingSeq_ = noSeq;
  }
  scheduler_->progress();
  scheduler_->stored();
}

void StoreEventsQueue::trim() {
  const std::optional<int64_t> stallBegan = noteStall();
  auto count = database_->count();
  if (!count || *count <= 0) return;
  const Bound limit = bound();
  // While stalled only the rows stored since the stall began count against maxCacheSize: the
  // backlog held before it is what a healthy endpoint was taking, and goes once it is back.
  int64_t excess = 0;
  if (stallBegan && limit.rows < *count) {
    const auto during = database_->countAfter(*stallBegan);
    if (during && *during > limit.rows) excess = *during - limit.rows;
  }
  int64_t excessBytes = 0;
  if (excess == 0) {
    auto used = database_->usedBytes();
    if (!used || *used <= limit.bytes) return;
    // Down to seven eighths of the bound, so a store at its size is not trimmed at every commit.
    excessBytes = *used - (limit.bytes - limit.bytes / 8);
  }
  // Rows in flight, read ahead or accepted are never trimmed, nor by the count those stored
  // before the stall.
  const int64_t protectedThrough = protectedThrough_.load();
  const int64_t after =
      excess > 0 ? std::max(protectedThrough, stallBegan.value_or(0)) : protectedThrough;
  Log::infoLazy([&] {
    std::vector<Events> records;
    for (const auto& row : database_->readAfter(after, excess)) records.push_back(row.toRecord());
    return "eventsToDelete - " + EventsList{records}.toString();
  });
  auto gone = excess > 0 ? database_->deleteOldest(after, excess)
                         : database_->deleteOldestBytes(after, excessBytes);
  if (!gone || *gone <= 0) return;
  counters_->droppedByCacheCap.fetch_add(static_cast<uint64_t>(*gone));
  warnDropped(static_cast<size_t>(*gone), "in the store", limit.cause.text());
}

uint64_t StoreEventsQueue::discardAll() {
  uint64_t gone = 0;
  {
    std::lock_guard lock(mutex_);
    gone = incoming_.size() + retained_.size();
    incoming_.clear();
    retained_.clear();
    waitingBytes_ = 0;
  }
  if (auto stored = database_->deleteAll()) gone += static_cast<uint64_t>(*stored);
  counters_->droppedByConsent.fetch_add(gone);
  scheduler_->progress();
  return gone;
}

void StoreEventsQueue::commitNow() {
  commit();
  // Rows already committed into a file deleted meanwhile would end with the process.
  database_->keepFileAtPath();
}

void StoreEventsQueue::checkCacheSize() {
  database_->databaseQueue().sync([this] { trim(); });
  scheduler_->stored();
}

uint64_t StoreEventsQueue::oldestUndecidedSeq() const {
  std::lock_guard lock(mutex_);
  uint64_t oldest = committingSeq_;
  for (const auto* rows : {&incoming_, &retained_}) {
    for (const auto& row : *rows) {
      if (row.seq != 0) oldest = std::min(oldest, row.seq);
    }
  }
  return oldest;
}

size_t StoreEventsQueue::waiting() const {
  std::lock_guard lock(mutex_);
  return incoming_.size() + retained_.size() + committing_;
}

}  // namespace kelvor
