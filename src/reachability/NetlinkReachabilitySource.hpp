#pragma once

#include <mutex>
#include <thread>

#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

// Linux source: reachable (0x2) while an up, running, non-loopback interface has a default
// route. A NETLINK_ROUTE socket subscribed to link, address and route changes wakes a thread
// of its own, which sleeps in poll() while nothing changes. Both sockets belong to the network
// namespace of the thread that builds the source.
class NetlinkReachabilitySource : public ReachabilitySource {
 public:
  NetlinkReachabilitySource();
  ~NetlinkReachabilitySource() override;

  std::optional<uint32_t> currentFlags() override;
  bool setCallback(Callback callback) override;
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override;

 private:
  void startLocked();
  void stop();
  void watch();
  void deliver(uint32_t flags);

  std::mutex queryMutex_;
  int querySocket_ = -1;
  uint32_t sequence_ = 1;
  std::mutex mutex_;
  Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;
  std::optional<uint32_t> lastDelivered_;
  int eventSocket_ = -1;
  int wakeFd_ = -1;
  std::thread watcher_;
};

}  // namespace kelvor
