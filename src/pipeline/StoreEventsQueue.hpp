#pragma once

#include <memory>

#include <kelvor/Option.hpp>

#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"

namespace kelvor {

class IdentityProvider;

// Runs after every stored record: keeps the store at maxCacheSize by deleting the oldest
// records, then hands the size check back to the manager.
class StoreEventsQueue {
 public:
  StoreEventsQueue(std::shared_ptr<Option> options,
                   std::shared_ptr<IdentityProvider> identityProvider,
                   std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                   std::shared_ptr<SQLiteDatabase> database);

  void checkCacheSize();
  // Stores the record and trims in the same task of the store's queue: one hand-over to the
  // store per captured event instead of two.
  void insertAndCheckCacheSize(const Events& record);

 private:
  void trim(const Events* inserted);
  std::shared_ptr<Option> options_;
  std::shared_ptr<IdentityProvider> identityProvider_;
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager_;
  std::shared_ptr<SQLiteDatabase> database_;
};

}  // namespace kelvor
