#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>

namespace kelvor {

// How long uploads wait after a failure: 1 s doubling to 5 min with ±20 % jitter, or what the
// endpoint asked for with Retry-After (at most an hour, plus up to 20 % and at most 30 s more, so
// the clients told the same wait do not come back in the same second) when that is longer. A
// success resets it.
class Backoff {
 public:
  static constexpr std::chrono::seconds longestRetryAfterJitter{30};
  static constexpr std::chrono::seconds longestNetworkDelay{5};

  Backoff() : Backoff(std::random_device{}()) {}
  // A fixed seed, for tests.
  explicit Backoff(uint32_t seed) {
    // Mixed first: neighbouring seeds would otherwise start on neighbouring draws.
    std::seed_seq mixed{seed};
    random_.seed(mixed);
  }

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
  // How long an upload waits once the network came back: 0 to 5 s at random, so every client of
  // a network that returns does not retry at once.
  std::chrono::milliseconds networkDelay();

 private:
  mutable std::mutex mutex_;
  int failures_ = 0;
  Clock::time_point until_{};
  std::minstd_rand random_;
};

}  // namespace kelvor
