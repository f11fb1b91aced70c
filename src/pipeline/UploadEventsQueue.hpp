#pragma once

#include <atomic>
#include <memory>
#include <optional>

#include <kelvor/Option.hpp>

#include "consent/ConsentService.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {

// Moves stored records to the endpoint, one batch in flight at a time: reads the oldest
// batchSize records, sends them, deletes exactly those on success and keeps them on failure.
// Also builds the consent and identity query maps.
class UploadEventsQueue : public std::enable_shared_from_this<UploadEventsQueue> {
 public:
  UploadEventsQueue(std::shared_ptr<Option> options,
                    std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
                    std::shared_ptr<SQLiteDatabase> database,
                    std::shared_ptr<ConsentService> consentService,
                    std::shared_ptr<OrvaService> orvaService);

  void checkAndTranferEvents();
  void fetchFromDBAndLogEvents();
  QueryMap baseQueryParams() const;
  QueryMap identityQueryParams() const;
  void instantSendFailed(int64_t code, const std::optional<HttpResponse>& response,
                         const Events& event);

  std::shared_ptr<SQLiteDatabase> database() const { return database_; }
  std::shared_ptr<OrvaService> orvaService() const { return orvaService_; }
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager() const { return orvaEventManager_; }

  // Written on the manager's queue and on the networking thread.
  std::atomic<bool> isDispatchScheduled{false};
  std::atomic<bool> isDispatchInProgress{false};

 private:
  std::shared_ptr<Option> options_;
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<ConsentService> consentService_;
  std::shared_ptr<OrvaService> orvaService_;
};

}  // namespace kelvor
