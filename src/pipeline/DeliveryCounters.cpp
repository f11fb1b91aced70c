#include "pipeline/DeliveryCounters.hpp"

namespace kelvor {

void DeliveryCounters::failure(int64_t status, const TransferError& error) {
  failedAttempts.fetch_add(1);
  std::lock_guard lock(mutex_);
  lastFailureStatus_ = status;
  lastFailure_ = error;
  lastFailureTime_ = std::chrono::system_clock::now();
}

DeliveryStats DeliveryCounters::snapshot(int64_t pending) const {
  DeliveryStats stats;
  stats.reported = reported.load();
  stats.stored = stored.load();
  stats.sent = sent.load();
  stats.droppedByCacheCap = droppedByCacheCap.load();
  stats.droppedRefused = droppedRefused.load();
  stats.droppedUndecodable = droppedUndecodable.load();
  stats.droppedByConsent = droppedByConsent.load();
  stats.refusedInvalid = refusedInvalid.load();
  stats.failedAttempts = failedAttempts.load();
  stats.pending = pending;
  stats.droppedByFilter = droppedByFilter.load();
  stats.droppedByRateLimit = droppedByRateLimit.load();
  std::lock_guard lock(mutex_);
  stats.lastFailureStatus = lastFailureStatus_;
  stats.lastFailureTime = lastFailureTime_;
  stats.lastFailureReason = lastFailure_.reason;
  stats.lastFailureDetail = lastFailure_.text;
  return stats;
}

}  // namespace kelvor
