#pragma once

#include <mutex>

#include "reachability/WatchingReachabilitySource.hpp"

namespace kelvor {

// Linux source: reachable (0x2) while an up, running, non-loopback interface has a default
// route. A NETLINK_ROUTE socket subscribed to link, address and route changes wakes a thread
// of its own, which sleeps in poll() while nothing changes. Both sockets belong to the network
// namespace of the thread that builds the source.
class NetlinkReachabilitySource : public WatchingReachabilitySource {
 public:
  NetlinkReachabilitySource();
  ~NetlinkReachabilitySource() override;

 protected:
  std::optional<uint32_t> readFlags() override;
  bool canWatch() const override { return eventSocket_ >= 0; }
  void watch() override;

 private:
  std::mutex queryMutex_;
  int querySocket_ = -1;
  uint32_t sequence_ = 1;
  int eventSocket_ = -1;
};

}  // namespace kelvor
