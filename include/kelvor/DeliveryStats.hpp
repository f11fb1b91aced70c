#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvor {

// Why the last upload failed, so a host can tell a typo in the URL from a firewall, a missing
// certificate authority or an endpoint that refuses.
enum class FailureReason {
  none,               // no failure yet
  nameResolution,     // the host name did not resolve
  connectionRefused,  // nothing listens there, or a firewall refused the connection
  tls,                // the TLS handshake failed: most often a certificate not trusted
  timeout,            // no answer in time
  httpStatus,         // the endpoint answered with a failure status (lastFailureStatus)
  other,              // anything else libcurl reports (lastFailureDetail says what)
};

// What became of the events since the library started in this process (Quorvel::deliveryStats).
// Every event handed over is counted as reported at the call and ends in exactly one of sent,
// droppedByCacheCap, droppedRefused, droppedUndecodable, droppedByConsent, refusedInvalid,
// droppedByFilter or droppedByRateLimit, or is still on its way (pending in the store or in
// memory).
struct DeliveryStats {
  uint64_t reported = 0;            // events taken at the call (internal page and user events too)
  uint64_t stored = 0;              // rows committed to the store
  uint64_t sent = 0;                // accepted by the endpoint
  uint64_t droppedByCacheCap = 0;   // the oldest, dropped while they could not be delivered
  uint64_t droppedRefused = 0;      // refused alone by the endpoint (400, 413, 422)
  uint64_t droppedUndecodable = 0;  // stored rows that could not be read back
  uint64_t droppedByConsent = 0;    // discarded because tracking was refused or withdrawn
  uint64_t refusedInvalid = 0;      // refused at the call: too deeply nested, too large, or
                                    // reported while the library shut down
  uint64_t failedAttempts = 0;      // uploads that got no answer or a failure status
  int64_t pending = 0;              // rows in the store now (other processes' rows included)
  int64_t lastFailureStatus = 0;    // 0 when the last failure had no HTTP answer
  std::optional<std::chrono::system_clock::time_point> lastFailureTime;
  FailureReason lastFailureReason = FailureReason::none;
  // libcurl's own words for the last failure, or "HTTP <status>"; empty when none.
  std::string lastFailureDetail;
  uint64_t droppedByFilter = 0;     // dropped by the host's event filter, or because it failed
  uint64_t droppedByRateLimit = 0;  // reported faster than Platform::setEventRateLimit allows
};

}  // namespace kelvor
