#pragma once

#include <string>

#include <kelvor/TrackingProvider.hpp>

namespace kelvor::testing {

class FakeTrackingProvider : public TrackingProvider {
 public:
  FakeTrackingProvider(int status, std::string identifier)
      : status_(status), identifier_(std::move(identifier)) {}
  int trackingAuthorizationStatus() const override { return status_; }
  std::string advertisingIdentifier() const override { return identifier_; }

 private:
  const int status_;
  const std::string identifier_;
};

}  // namespace kelvor::testing
