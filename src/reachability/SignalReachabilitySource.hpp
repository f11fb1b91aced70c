#pragma once

#include <mutex>
#include <thread>

#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

// For tests only (KELVOR_TEST_REACHABILITY=sigusr1): reachable from the start; each SIGUSR1 the
// process receives is reported as the network going down and coming back 250 ms later, so a test
// driver can give many processes the same network change at the same moment. The handler only
// writes to a pipe; a thread of the source delivers. One such source per process.
class SignalReachabilitySource : public ReachabilitySource {
 public:
  SignalReachabilitySource();
  ~SignalReachabilitySource() override;

  std::optional<uint32_t> currentFlags() override;
  bool setCallback(Callback callback) override;
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override;

 private:
  void startLocked();
  void stop();
  void watch();
  void deliver(uint32_t flags);

  std::mutex mutex_;
  uint32_t flags_;
  Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;
  int wakeFd_ = -1;
  std::thread watcher_;
};

}  // namespace kelvor
