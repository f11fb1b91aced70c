#include "platform/DispatchTimeSource.hpp"

namespace kelvor {

TimeSource::Clock::time_point DispatchTimeSource::now() const {
  return Clock::now();
}

std::shared_ptr<TimeSource::Timer> DispatchTimeSource::runAfter(Clock::duration delay,
                                                                std::function<void()> task) {
  auto timer = std::make_shared<Timer>();
  queue_.asyncAfter(delay, [timer, task = std::move(task)] {
    if (!timer->cancelled()) task();
  });
  return timer;
}

}  // namespace kelvor
