#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "platform/DispatchQueue.hpp"
#include "reachability/ReachabilitySource.hpp"

namespace kelvor::testing {

// A reachability source the test drives: set the flags, then push a change.
class FakeReachabilitySource : public ReachabilitySource {
 public:
  explicit FakeReachabilitySource(std::optional<uint32_t> flags = 0x2) : flags_(flags) {}

  std::optional<uint32_t> currentFlags() override {
    std::lock_guard lock(mutex_);
    return flags_;
  }
  bool setCallback(Callback callback) override {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
    return acceptCallback_;
  }
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    return acceptQueue_;
  }

  // Sets the flags and delivers them as the platform would, on the monitor's queue.
  void change(std::optional<uint32_t> flags) {
    Callback callback;
    std::shared_ptr<DispatchQueue> queue;
    {
      std::lock_guard lock(mutex_);
      flags_ = flags;
      callback = callback_;
      queue = queue_;
    }
    if (callback && queue && flags) queue->async([callback, f = *flags] { callback(f); });
  }
  void refuse(bool callback, bool queue) {
    std::lock_guard lock(mutex_);
    acceptCallback_ = !callback;
    acceptQueue_ = !queue;
  }
  bool registered() {
    std::lock_guard lock(mutex_);
    return callback_ != nullptr && queue_ != nullptr;
  }

 private:
  std::mutex mutex_;
  std::optional<uint32_t> flags_;
  Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;
  bool acceptCallback_ = true;
  bool acceptQueue_ = true;
};

}  // namespace kelvor::testing
