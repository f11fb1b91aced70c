#pragma once

#include "reachability/WatchingReachabilitySource.hpp"

namespace kelvor {

// For tests only (KELVOR_TEST_REACHABILITY=sigusr1): reachable from the start; each SIGUSR1 the
// process receives is reported as the network going down and coming back 250 ms later, so a test
// driver can give many processes the same network change at the same moment. The handler only
// writes to a pipe; a thread of the source delivers. One such source per process.
class SignalReachabilitySource : public WatchingReachabilitySource {
 public:
  SignalReachabilitySource();
  ~SignalReachabilitySource() override;

 private:
  std::optional<uint32_t> readFlags() override;
  bool canWatch() const override;
  void watch() override;
};

}  // namespace kelvor
