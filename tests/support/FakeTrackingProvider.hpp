#pragma once

#include <atomic>
#include <string>

#include <kelvor/TrackingProvider.hpp>

namespace kelvor::testing {

class FakeTrackingProvider : public TrackingProvider {
 public:
  FakeTrackingProvider(int status, std::string identifier)
      : status_(status), identifier_(std::move(identifier)) {}
  int trackingAuthorizationStatus() const override { return status_.load(); }
  std::string advertisingIdentifier() const override { return identifier_; }
  void setStatus(int status) { status_ = status; }

 private:
  std::atomic<int> status_;
  const std::string identifier_;
};

}  // namespace kelvor::testing
