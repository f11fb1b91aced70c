#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

// A source whose changes a thread of its own waits for: it runs while both a callback and a
// queue are set, and stops when the queue is cleared. A subclass supplies the reading and the
// waiting; `wakeFd()` becomes readable when the thread is to end.
//
// Reads go one at a time. What the monitor reads itself (at its start) is what it knows; a read
// of this thread after a change that finds other flags than the latest read is handed over. A
// hand-over gives the monitor the latest flags when it runs, so an older read never overtakes a
// newer one and a change between two reads is never lost.
class WatchingReachabilitySource : public ReachabilitySource {
 public:
  WatchingReachabilitySource();
  ~WatchingReachabilitySource() override;

  std::optional<uint32_t> currentFlags() final;
  bool setCallback(Callback callback) override;
  bool setDispatchQueue(std::shared_ptr<DispatchQueue> queue) override;

 protected:
  // The flags now; absent when they cannot be read.
  virtual std::optional<uint32_t> readFlags() = 0;
  // Whether the thread can run at all (the subclass's descriptors opened).
  virtual bool canWatch() const = 0;
  // The thread's body: returns once wakeFd() is readable, or on an error.
  virtual void watch() = 0;
  // A subclass's destructor calls this first: the thread uses the subclass's members.
  void stop();
  // The thread's read after a change: handed over when the flags differ from the latest read.
  void readAndHandOver();
  // Flags the thread learned without reading them (each one a change to announce): handed over
  // as they are when they differ from the latest.
  void deliver(uint32_t flags);
  std::optional<uint32_t> latest();
  int wakeFd() const { return wakeFd_; }

 private:
  void startLocked();
  void handOver(uint32_t flags, bool read);

  std::mutex readMutex_;  // taken before mutex_
  std::mutex mutex_;
  Callback callback_;
  std::shared_ptr<DispatchQueue> queue_;
  std::optional<uint32_t> latest_;
  // What a hand-over gives when it runs; shared with the tasks, which may outlive the source.
  std::shared_ptr<std::atomic<uint32_t>> handedOver_ = std::make_shared<std::atomic<uint32_t>>(0);
  int wakeFd_ = -1;
  std::thread watcher_;
};

}  // namespace kelvor
