#pragma once

#include <mutex>
#include <optional>
#include <thread>

#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

// A source whose changes a thread of its own waits for: it runs while both a callback and a
// queue are set, and stops when the queue is cleared. A subclass supplies the waiting; `wakeFd()`
// becomes readable when the thread is to end. Changes are delivered only when the flags differ
// from the last ones delivered.
class WatchingReachabilitySource : public ReachabilitySource {
 public:
  WatchingReachabilitySource();
  ~WatchingReachabilitySource() override;

  bool setCallback(Callback callback) override;
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override;

 protected:
  // Whether the thread can run at all (the subclass's descriptors opened).
  virtual bool canWatch() const = 0;
  // The thread's body: returns once wakeFd() is readable, or on an error.
  virtual void watch() = 0;
  // A subclass's destructor calls this first: the thread uses the subclass's members.
  void stop();
  void deliver(uint32_t flags);
  // Flags the monitor already knows, so that they are not delivered again.
  void known(uint32_t flags);
  std::optional<uint32_t> lastDelivered();
  int wakeFd() const { return wakeFd_; }

 private:
  void startLocked();

  std::mutex mutex_;
  Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;
  std::optional<uint32_t> lastDelivered_;
  int wakeFd_ = -1;
  std::thread watcher_;
};

}  // namespace kelvor
