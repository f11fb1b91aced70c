#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kelvor {

class DispatchQueue;

// The network-state facility a Reachability monitor watches: the current flags on request, and
// a callback on a serial queue whenever they change.
class ReachabilitySource {
 public:
  using Callback = std::function<void(uint32_t flags)>;

  virtual ~ReachabilitySource() = default;
  // Absent when the flags cannot be read.
  virtual std::optional<uint32_t> currentFlags() = 0;
  // A null callback unregisters. False when the callback cannot be registered.
  virtual bool setCallback(Callback callback) = 0;
  // A null queue stops delivery. False when delivery cannot be set up.
  virtual bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) = 0;

  // What Reachability::make() builds on: the netlink source.
  static std::shared_ptr<ReachabilitySource> makeDefault();
};

}  // namespace kelvor
