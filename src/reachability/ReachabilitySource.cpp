#include "reachability/ReachabilitySource.hpp"

#include "reachability/NetlinkReachabilitySource.hpp"

namespace kelvor {

std::shared_ptr<ReachabilitySource> ReachabilitySource::makeDefault() {
  return std::make_shared<NetlinkReachabilitySource>();
}

}  // namespace kelvor
