#include "support/FakeTimeSource.hpp"

#include <algorithm>

namespace kelvor::testing {

TimeSource::Clock::time_point FakeTimeSource::now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

std::shared_ptr<TimeSource::Timer> FakeTimeSource::runAfter(Clock::duration delay,
                                                            std::function<void()> task) {
  auto timer = std::make_shared<Timer>();
  std::lock_guard lock(mutex_);
  const bool elsewhere =
      advancing_ != std::thread::id() && advancing_ != std::this_thread::get_id();
  const Clock::time_point from = elsewhere ? until_ : now_;
  // Saturates: a delay beyond the clock's range never falls due.
  const Clock::time_point due =
      delay >= Clock::time_point::max() - from ? Clock::time_point::max() : from + delay;
  entries_.push_back({due, next_++, timer, std::move(task)});
  return timer;
}

void FakeTimeSource::advance(Clock::duration by) {
  Clock::time_point until;
  {
    std::lock_guard lock(mutex_);
    until = now_ + by;
    advancing_ = std::this_thread::get_id();
    until_ = until;
  }
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      std::erase_if(entries_, [](const Entry& e) { return e.timer->cancelled(); });
      auto next =
          std::min_element(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
            return a.due != b.due ? a.due < b.due : a.order < b.order;
          });
      if (next == entries_.end() || next->due > until) {
        now_ = until;
        advancing_ = std::thread::id();
        return;
      }
      now_ = std::max(now_, next->due);
      task = std::move(next->task);
      entries_.erase(next);
    }
    task();
  }
}

}  // namespace kelvor::testing
