#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include <kelvor/TrackingProvider.hpp>

namespace kelvor::testing {

class FakeTrackingProvider : public TrackingProvider {
 public:
  FakeTrackingProvider(int status, std::string identifier)
      : status_(status), identifier_(std::move(identifier)) {}
  int trackingAuthorizationStatus() const override { return status_.load(); }
  std::string advertisingIdentifier() const override {
    std::lock_guard lock(mutex_);
    return identifier_;
  }
  void setStatus(int status) { status_ = status; }

 private:
  std::atomic<int> status_;
  mutable std::mutex mutex_;
  std::string identifier_;
};

}  // namespace kelvor::testing
