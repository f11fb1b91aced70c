#include "pipeline/StoreEventsQueue.hpp"

#include <kelvor/Log.hpp>

#include "pipeline/EventsList.hpp"

namespace kelvor {

StoreEventsQueue::StoreEventsQueue(std::shared_ptr<Option> options,
                                   std::shared_ptr<IdentityProvider> identityProvider,
                                   std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                                   std::shared_ptr<SQLiteDatabase> database)
    : options_(std::move(options)),
      identityProvider_(std::move(identityProvider)),
      orvaEventManager_(std::move(orvaEventManager)),
      database_(std::move(database)) {}

void StoreEventsQueue::checkCacheSize() {
  trim(nullptr);
}

void StoreEventsQueue::insertAndCheckCacheSize(const Events& record) {
  trim(&record);
}

void StoreEventsQueue::trim(const Events* inserted) {
  const int64_t maxCacheSize = options_->maxCacheSize();
  // Count, read and delete in one task of the store's queue, so an upload finishing in between
  // cannot make the trimming take a record that is no longer over the limit. Only the oldest
  // rows beyond the limit are read.
  database_->databaseQueue().sync([&] {
    if (inserted != nullptr) database_->insert(*inserted);
    auto count = database_->count();
    if (!count || maxCacheSize >= *count) return;
    int64_t excess = *count - maxCacheSize;
    auto oldest = database_->readEvents(excess);
    // A short read names fewer rows than must go: delete nothing rather than guess.
    if (static_cast<int64_t>(oldest.size()) != excess) return;
    Log::infoLazy([&] { return "eventsToDelete - " + EventsList{oldest}.toString(); });
    database_->deleteEvents(oldest);
  });
  if (auto manager = orvaEventManager_.lock()) manager->enqueueScheduleEventDispatchOnUpdate();
}

}  // namespace kelvor
