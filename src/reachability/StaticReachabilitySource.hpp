#pragma once

#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

// Fixed flags that never change: for hosts where no network-state facility can be opened.
class StaticReachabilitySource : public ReachabilitySource {
 public:
  explicit StaticReachabilitySource(uint32_t flags) : flags_(flags) {}
  std::optional<uint32_t> currentFlags() override { return flags_; }
  bool setCallback(Callback) override { return true; }
  bool setDispatchQueue(std::shared_ptr<DispatchQueue>) override { return true; }

 private:
  uint32_t flags_;
};

}  // namespace kelvor
