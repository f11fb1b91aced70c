#pragma once

#include <memory>
#include <mutex>

#include "support/ProcessFork.hpp"

namespace kelvor {

// A mutex that a fork never leaves locked in the child: it is taken before the fork at its
// rank (ProcessFork) and released after it on both sides. For the locks of what a child keeps.
class ForkSafeMutex {
 public:
  explicit ForkSafeMutex(ProcessFork::Rank rank) : mutex_(std::make_shared<std::mutex>()) {
    ProcessFork::guardMutex(rank, mutex_, mutex_.get());
  }
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_->lock(); }
  bool try_lock() { return mutex_->try_lock(); }
  void unlock() { mutex_->unlock(); }

 private:
  // Shared with the fork registry, which may hold it while this object goes away.
  std::shared_ptr<std::mutex> mutex_;
};

}  // namespace kelvor
