#pragma once

#include <string>

#include <kelvor/export.hpp>

namespace kelvor {

enum class TrackingAuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorized = 3
};

// The host's source of the tracking-authorisation status and the advertising identifier.
// Called on the thread that resolves consent (the caller of initialize or setConsent, or a
// library queue) or that calls setAdvertisingIdByATTStatus: it must be thread-safe and must not
// call the library. When it throws, the exception is caught and written to standard error, and
// nothing new is recorded.
class KELVOR_EXPORT TrackingProvider {
 public:
  virtual ~TrackingProvider() = default;
  // 0 to 3 as TrackingAuthorizationStatus; any other value has no status word.
  virtual int trackingAuthorizationStatus() const = 0;
  // Upper-case UUID text.
  virtual std::string advertisingIdentifier() const = 0;
};

}  // namespace kelvor
