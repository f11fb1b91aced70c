#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <random>

namespace kelvor {

// How long uploads wait after a failure: 1 s doubling to 5 min with ±20 % jitter, or what the
// endpoint asked for with Retry-After (at most an hour) when that is longer. A success resets it.
class Backoff {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds firstDelay{1};
  static constexpr std::chrono::seconds longestDelay{300};
  static constexpr std::chrono::seconds longestRetryAfter{3600};

  // Records a failure and returns the wait before the next try.
  std::chrono::milliseconds fail(std::optional<std::chrono::seconds> retryAfter);
  void reset();
  // A failure's wait is running.
  bool active() const;
  Clock::time_point until() const;
  int failures() const;

 private:
  mutable std::mutex mutex_;
  int failures_ = 0;
  Clock::time_point until_{};
  std::minstd_rand random_{std::random_device{}()};
};

}  // namespace kelvor
