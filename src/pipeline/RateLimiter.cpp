#include "pipeline/RateLimiter.hpp"

#include <algorithm>

#include <kelvor/Log.hpp>

namespace kelvor {
namespace {

std::string number(double value) {
  std::string text = std::to_string(value);
  // "100.000000" → "100", "0.500000" → "0.5"
  text.erase(text.find_last_not_of('0') + 1);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

RateLimiter::RateLimiter(double perSecond, double burst)
    : perSecond_(perSecond), burst_(std::max(1.0, burst)) {}

RateLimiter::Decision RateLimiter::admit(std::string_view name, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto found = buckets_.find(name);
  if (found == buckets_.end()) {
    if (buckets_.size() >= sweepAt_) forgetIdle(now);
    found = buckets_.emplace(std::string(name), Bucket{burst_, now, 0, false, std::nullopt}).first;
  }
  Bucket& bucket = found->second;
  if (now > bucket.refilled) {
    const double elapsed = std::chrono::duration<double>(now - bucket.refilled).count();
    bucket.tokens = std::min(burst_, bucket.tokens + elapsed * perSecond_);
    bucket.refilled = now;
  }
  Decision decision;
  if (bucket.tokens >= 1) {
    bucket.tokens -= 1;
    return decision;
  }
  decision.admitted = false;
  ++bucket.droppedUnwarned;
  if (!bucket.warningDue) {
    bucket.warningDue = true;
    decision.warnAfter = firstWarningDelay;
    if (bucket.lastWarning) {
      const auto next = *bucket.lastWarning + warningInterval;
      decision.warnAfter = next > now ? next - now : Clock::duration::zero();
    }
  }
  return decision;
}

uint64_t RateLimiter::warn(const std::string& name, Clock::time_point now) {
  uint64_t dropped = 0;
  {
    std::lock_guard lock(mutex_);
    auto found = buckets_.find(name);
    if (found == buckets_.end()) return 0;
    dropped = std::exchange(found->second.droppedUnwarned, 0);
    found->second.warningDue = false;
    found->second.lastWarning = now;
  }
  if (dropped > 0) {
    Log::warning("dropped " + std::to_string(dropped) + " events named \"" + name +
                 "\": reported faster than the limit of " + number(perSecond_) +
                 " a second with a burst of " + number(burst_) +
                 " (Platform::setEventRateLimit); look for a loop that reports it. Further drops "
                 "of it are counted and said at most once a minute");
  }
  return dropped;
}

void RateLimiter::forgetIdle(Clock::time_point now) {
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    const Bucket& bucket = it->second;
    const double elapsed =
        now > bucket.refilled ? std::chrono::duration<double>(now - bucket.refilled).count() : 0;
    const bool warnedLately = bucket.lastWarning && now - *bucket.lastWarning < warningInterval;
    if (!bucket.warningDue && !warnedLately && bucket.tokens + elapsed * perSecond_ >= burst_) {
      it = buckets_.erase(it);
    } else {
      ++it;
    }
  }
  sweepAt_ = std::max<size_t>(4096, 2 * buckets_.size());
}

}  // namespace kelvor
