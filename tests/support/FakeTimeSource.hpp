#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/TimeSource.hpp"

namespace kelvor::testing {

// Simulated time: the clock stands still until a test moves it, and timers then run on the
// test's thread, in the order they fall due.
class FakeTimeSource : public TimeSource {
 public:
  Clock::time_point now() const override;
  std::shared_ptr<Timer> runAfter(Clock::duration delay, std::function<void()> task) override;
  // Moves the clock on by `by`, running each timer as it falls due (timers those tasks set
  // included, when they fall due within it). A timer another thread sets meanwhile counts from
  // the end of the move: whether it came before the move ended would be a race.
  void advance(Clock::duration by);

 private:
  struct Entry {
    Clock::time_point due;
    uint64_t order;
    std::shared_ptr<Timer> timer;
    std::function<void()> task;
  };

  mutable std::mutex mutex_;
  Clock::time_point now_ = Clock::now();
  uint64_t next_ = 0;
  std::vector<Entry> entries_;
  std::thread::id advancing_;  // the thread moving the clock, while it does
  Clock::time_point until_;
};

}  // namespace kelvor::testing
