#include "pipeline/Backoff.hpp"

#include <algorithm>

namespace kelvor {

std::chrono::milliseconds Backoff::fail(std::optional<std::chrono::seconds> retryAfter,
                                        bool answered) {
  std::lock_guard lock(mutex_);
  ++failures_;
  answered_ = answered;
  gap_ = std::chrono::milliseconds(0);
  // Doubling stops at the cap long before the shift could overflow.
  const int doublings = std::min(failures_ - 1, 16);
  auto base =
      std::min<std::chrono::milliseconds>(firstDelay * (int64_t{1} << doublings), longestDelay);
  std::uniform_real_distribution<double> jitter(0.8, 1.2);
  auto delay = std::chrono::milliseconds(
      static_cast<int64_t>(static_cast<double>(base.count()) * jitter(random_)));
  if (retryAfter) {
    auto asked = std::min<std::chrono::milliseconds>(
        std::max<std::chrono::seconds>(*retryAfter, std::chrono::seconds(0)), longestRetryAfter);
    // Spread over the whole span, so long waits do not all land on the cap together.
    const auto span = std::min<std::chrono::milliseconds>(asked / 5, longestRetryAfterJitter);
    std::uniform_int_distribution<int64_t> later(0, span.count());
    delay = std::max(delay, asked + std::chrono::milliseconds(later(random_)));
  }
  until_ = now() + delay;
  lastDelay_ = delay;
  return delay;
}

void Backoff::reset() {
  std::lock_guard lock(mutex_);
  if (failures_ > 0) gap_ = lastDelay_;
  failures_ = 0;
  answered_ = false;
  until_ = {};
}

bool Backoff::holding() const {
  std::lock_guard lock(mutex_);
  return now() < until_;
}

std::chrono::milliseconds Backoff::nextGap() {
  std::lock_guard lock(mutex_);
  if (failures_ > 0 || gap_ < std::chrono::seconds(1)) {
    gap_ = std::chrono::milliseconds(0);
    return gap_;
  }
  std::uniform_real_distribution<double> jitter(0.8, 1.2);
  const auto gap = std::chrono::milliseconds(
      static_cast<int64_t>(static_cast<double>(gap_.count()) * jitter(random_)));
  gap_ /= 2;
  until_ = now() + gap;
  return gap;
}

bool Backoff::endpointAnswered() const {
  std::lock_guard lock(mutex_);
  return failures_ > 0 && answered_;
}

bool Backoff::active() const {
  std::lock_guard lock(mutex_);
  return failures_ > 0 && now() < until_;
}

Backoff::Clock::time_point Backoff::until() const {
  std::lock_guard lock(mutex_);
  return until_;
}

std::chrono::milliseconds Backoff::networkDelay() {
  std::lock_guard lock(mutex_);
  std::uniform_int_distribution<int64_t> wait(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(longestNetworkDelay).count());
  return std::chrono::milliseconds(wait(random_));
}

int Backoff::failures() const {
  std::lock_guard lock(mutex_);
  return failures_;
}

}  // namespace kelvor
