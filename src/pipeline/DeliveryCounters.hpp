#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include <kelvor/DeliveryStats.hpp>

#include "support/DropWarning.hpp"
#include "transport/HttpService.hpp"

namespace kelvor {

// The pipeline's counters, written from its queues and the networking thread, read by the app.
class DeliveryCounters {
 public:
  std::atomic<uint64_t> reported{0};
  std::atomic<uint64_t> stored{0};
  std::atomic<uint64_t> sent{0};
  std::atomic<uint64_t> droppedByCacheCap{0};
  std::atomic<uint64_t> droppedRefused{0};
  std::atomic<uint64_t> droppedUndecodable{0};
  std::atomic<uint64_t> droppedByConsent{0};
  std::atomic<uint64_t> refusedInvalid{0};
  std::atomic<uint64_t> failedAttempts{0};
  std::atomic<uint64_t> droppedByFilter{0};
  std::atomic<uint64_t> droppedByRateLimit{0};
  // The warnings of events dropped beyond a bound, wherever they were held (reported, waiting
  // for the store, in it): each cause said once, then at most every 10 s with the count since.
  DropWarning dropWarning;

  void failure(int64_t status, const TransferError& error);
  DeliveryStats snapshot(int64_t pending) const;

 private:
  mutable std::mutex mutex_;
  int64_t lastFailureStatus_ = 0;
  std::optional<std::chrono::system_clock::time_point> lastFailureTime_;
  TransferError lastFailure_;
};

}  // namespace kelvor
