#include "reachability/ReachabilitySource.hpp"

#include <mutex>

#include "reachability/NetlinkReachabilitySource.hpp"

namespace kelvor {
namespace {

std::mutex factoryMutex;
ReachabilitySource::Factory& factory() {
  static auto* f = new ReachabilitySource::Factory();
  return *f;
}

}  // namespace

void ReachabilitySource::setDefaultFactory(Factory f) {
  std::lock_guard lock(factoryMutex);
  factory() = std::move(f);
}

std::shared_ptr<ReachabilitySource> ReachabilitySource::makeDefault() {
  Factory f;
  {
    std::lock_guard lock(factoryMutex);
    f = factory();
  }
  if (f) return f();
  return std::make_shared<NetlinkReachabilitySource>();
}

}  // namespace kelvor
