#include <gtest/gtest.h>

#include "pipeline/RateLimiter.hpp"
#include "support/LogCapture.hpp"

namespace kelvor {
namespace {

using namespace std::chrono_literals;
using Clock = RateLimiter::Clock;

// Time is simulated: each name has its own bucket, a burst goes at once, the rate refills it,
// and the warning about a name comes a second after its first drop, then once a minute at most.
TEST(RateLimiterTest, EachNameHasItsBucketAndItsWarningsAreSpacedOut) {
  RateLimiter limiter(10, 5);
  const Clock::time_point t0{};
  int admitted = 0;
  std::optional<Clock::duration> firstWarning;
  for (int i = 0; i < 100; ++i) {
    auto decision = limiter.admit("loop", t0);
    admitted += decision.admitted ? 1 : 0;
    if (decision.warnAfter) {
      EXPECT_FALSE(firstWarning) << "one warning scheduled per name";
      firstWarning = decision.warnAfter;
    }
  }
  EXPECT_EQ(admitted, 5);
  EXPECT_EQ(firstWarning, RateLimiter::firstWarningDelay);
  EXPECT_TRUE(limiter.admit("other", t0).admitted);  // a name of its own

  // Half a second refills five; a second more, ten, but never beyond the burst.
  admitted = 0;
  for (int i = 0; i < 20; ++i) admitted += limiter.admit("loop", t0 + 500ms).admitted ? 1 : 0;
  EXPECT_EQ(admitted, 5);
  admitted = 0;
  for (int i = 0; i < 20; ++i) admitted += limiter.admit("loop", t0 + 1500ms).admitted ? 1 : 0;
  EXPECT_EQ(admitted, 5);

  testing::LogCapture log;
  EXPECT_EQ(limiter.warn("loop", t0 + 1s), 125u);
  EXPECT_TRUE(log.contains(LogLevel::warning, "dropped 125 events named \"loop\""));
  EXPECT_EQ(limiter.warn("other", t0 + 1s), 0u);  // nothing dropped: no line
  EXPECT_EQ(log.lines().size(), 1u);
  // The next drop waits for the minute since that line to end.
  auto later = limiter.admit("loop", t0 + 1s + 10s);
  while (later.admitted) later = limiter.admit("loop", t0 + 1s + 10s);
  EXPECT_EQ(later.warnAfter, RateLimiter::warningInterval - 10s);
}

}  // namespace
}  // namespace kelvor
