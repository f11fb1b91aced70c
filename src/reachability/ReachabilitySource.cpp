#include "reachability/ReachabilitySource.hpp"

#include <cstdlib>
#include <cstring>

#include "reachability/NetlinkReachabilitySource.hpp"
#include "reachability/SignalReachabilitySource.hpp"

namespace kelvor {

std::shared_ptr<ReachabilitySource> ReachabilitySource::makeDefault() {
  const char* test = std::getenv("KELVOR_TEST_REACHABILITY");
  if (test != nullptr && std::strcmp(test, "sigusr1") == 0) {
    return std::make_shared<SignalReachabilitySource>();
  }
  return std::make_shared<NetlinkReachabilitySource>();
}

}  // namespace kelvor
