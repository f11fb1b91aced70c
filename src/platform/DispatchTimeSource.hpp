#pragma once

#include "platform/DispatchQueue.hpp"
#include "platform/TimeSource.hpp"

namespace kelvor {

// The time source of a running library: the steady clock, and timers on a serial queue (whose
// owner outlives this object).
class DispatchTimeSource : public TimeSource {
 public:
  explicit DispatchTimeSource(DispatchQueue& queue) : queue_(queue) {}
  Clock::time_point now() const override;
  std::shared_ptr<Timer> runAfter(Clock::duration delay, std::function<void()> task) override;

 private:
  DispatchQueue& queue_;
};

}  // namespace kelvor
