#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

namespace kelvor {

// Where delivery learns the time and sets its timers. The real one reads the steady clock and
// runs tasks on a serial queue; a test drives one by hand, so back-off, outages and intervals
// pass in simulated time.
class TimeSource {
 public:
  using Clock = std::chrono::steady_clock;

  // A task waiting for its time. Cancelled, it never runs; a new timer for the same purpose
  // supersedes an old one by cancelling it.
  class Timer {
   public:
    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }

   private:
    std::atomic<bool> cancelled_{false};
  };

  virtual ~TimeSource() = default;
  virtual Clock::time_point now() const = 0;
  // Runs `task` once `delay` has passed, unless the timer is cancelled first. A delay beyond the
  // clock's range waits for ever.
  virtual std::shared_ptr<Timer> runAfter(Clock::duration delay, std::function<void()> task) = 0;
};

}  // namespace kelvor
