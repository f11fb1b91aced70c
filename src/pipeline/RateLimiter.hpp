#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kelvor {

// A token bucket per event name, against a loop in the app that reports one event thousands of
// times a second (ingestion is billed per event). It decides at the call, before any other work:
// one lock, a look-up by the name as given, and an allocation only for a name not seen before.
class RateLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  // The first warning about a name comes this long after its first drop, so that it can say how
  // many went in a burst; later ones at most once per interval.
  static constexpr Clock::duration firstWarningDelay = std::chrono::seconds(1);
  static constexpr Clock::duration warningInterval = std::chrono::minutes(1);

  struct Decision {
    bool admitted = true;
    // Set once per warning: when the caller should call warn() for this name.
    std::optional<Clock::duration> warnAfter;
  };

  RateLimiter(double perSecond, double burst);

  Decision admit(std::string_view name, Clock::time_point now);
  // Writes the warning line for the drops of `name` since its last one (none when there were
  // none) and returns how many it named.
  uint64_t warn(const std::string& name, Clock::time_point now);

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point refilled;
    uint64_t droppedUnwarned = 0;
    bool warningDue = false;
    std::optional<Clock::time_point> lastWarning;
  };
  struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };
  // Buckets back to full and with no warning due say nothing a fresh one would not: they go when
  // the table grows large (names made of ids, say), so it stays bounded by the active names.
  void forgetIdle(Clock::time_point now);

  const double perSecond_;
  const double burst_;
  std::mutex mutex_;
  std::unordered_map<std::string, Bucket, NameHash, std::equal_to<>> buckets_;
  size_t sweepAt_ = 4096;
};

}  // namespace kelvor
