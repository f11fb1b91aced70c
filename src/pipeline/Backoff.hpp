#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>

#include "platform/TimeSource.hpp"

namespace kelvor {

// How long uploads wait after a failure: 1 s doubling to 5 min with ±20 % jitter, or what the
// endpoint asked for with Retry-After (at most an hour, plus up to 20 % and at most 30 s more, so
// the clients told the same wait do not come back in the same second) when that is longer. A
// success resets it; after failures, the backlog then drains at a pace (see nextGap), so a fleet
// of clients coming back from one outage does not send every backlog in the same seconds.
class Backoff {
 public:
  static constexpr std::chrono::seconds longestRetryAfterJitter{30};
  static constexpr std::chrono::seconds longestNetworkDelay{5};

  Backoff() : Backoff(std::random_device{}()) {}
  // A fixed seed, for tests; waits are measured on `time` (the steady clock without one).
  explicit Backoff(uint32_t seed, std::shared_ptr<const TimeSource> time = nullptr)
      : time_(std::move(time)) {
    // Mixed first: neighbouring seeds would otherwise start on neighbouring draws.
    std::seed_seq mixed{seed};
    random_.seed(mixed);
  }

  using Clock = TimeSource::Clock;
  static constexpr std::chrono::seconds firstDelay{1};
  static constexpr std::chrono::seconds longestDelay{300};
  static constexpr std::chrono::seconds longestRetryAfter{3600};

  // Records a failure and returns the wait before the next try. `answered`: the endpoint
  // answered with a status, rather than not at all.
  std::chrono::milliseconds fail(std::optional<std::chrono::seconds> retryAfter,
                                 bool answered = false);
  void reset();
  // A failure's wait is running.
  bool active() const;
  // A failure's wait or a gap between the batches of a backlog is running.
  bool holding() const;
  // The gap before the next batch of a backlog after failures ended: the last failure's wait at
  // first, each later one half the one before (±20 %), none once under a second or after a
  // success that followed no failure. Starts the gap (see holding).
  std::chrono::milliseconds nextGap();
  // The last failure was the endpoint's own answer: a network that comes back says nothing about
  // when the endpoint is ready again, so it does not shorten the wait.
  bool endpointAnswered() const;
  Clock::time_point until() const;
  int failures() const;
  // How long an upload waits once the network came back: 0 to 5 s at random, so every client of
  // a network that returns does not retry at once.
  std::chrono::milliseconds networkDelay();

 private:
  Clock::time_point now() const { return time_ ? time_->now() : Clock::now(); }

  std::shared_ptr<const TimeSource> time_;
  mutable std::mutex mutex_;
  int failures_ = 0;
  bool answered_ = false;
  Clock::time_point until_{};
  std::chrono::milliseconds lastDelay_{0};
  std::chrono::milliseconds gap_{0};
  std::minstd_rand random_;
};

}  // namespace kelvor
