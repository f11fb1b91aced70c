#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "pipeline/Backoff.hpp"

namespace kelvor {
namespace {

using namespace std::chrono_literals;

// Clients told the same Retry-After, or that saw one network come back, return at different
// moments: each wait is drawn within its bound, and no two of twenty are equal.
TEST(BackoffTest, ClientsToldTheSameWaitComeBackApart) {
  struct Case {
    std::chrono::seconds asked;
    std::chrono::milliseconds least;
    std::chrono::milliseconds most;
  };
  for (const Case& c : {Case{60s, 60s, 72s}, Case{3600s, 3600s, 3630s}}) {
    std::set<int64_t> delays;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
      Backoff backoff(seed);
      const auto delay = backoff.fail(c.asked);
      EXPECT_GE(delay, c.least) << c.asked.count();
      EXPECT_LE(delay, c.most) << c.asked.count();
      delays.insert(delay.count());
    }
    EXPECT_EQ(delays.size(), 20u) << c.asked.count();
  }
  std::set<int64_t> network;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    const auto delay = Backoff(seed).networkDelay();
    EXPECT_GE(delay, 0ms);
    EXPECT_LE(delay, Backoff::longestNetworkDelay);
    network.insert(delay.count());
  }
  EXPECT_EQ(network.size(), 20u);
}

// After failures the backlog drains at a pace: the last wait, then halves of it, then none. A
// network that comes back shortens only a wait the endpoint did not ask for.
TEST(BackoffTest, TheBacklogAfterFailuresIsPaced) {
  Backoff backoff(7);
  EXPECT_EQ(backoff.nextGap(), 0ms);  // no failure: nothing to pace
  backoff.fail(std::nullopt, false);
  EXPECT_FALSE(backoff.endpointAnswered());
  const auto waited = backoff.fail(std::chrono::seconds(8), true);
  EXPECT_TRUE(backoff.endpointAnswered());
  backoff.reset();
  EXPECT_FALSE(backoff.endpointAnswered());
  auto expected = waited;
  std::vector<std::chrono::milliseconds> gaps;
  while (true) {
    const auto gap = backoff.nextGap();
    if (gap == 0ms) break;
    EXPECT_GE(gap, expected * 8 / 10);
    EXPECT_LE(gap, expected * 12 / 10);
    EXPECT_TRUE(backoff.holding());
    EXPECT_FALSE(backoff.active());
    expected /= 2;
    gaps.push_back(gap);
  }
  EXPECT_EQ(gaps.size(), 4u);  // ~8, 4, 2 and 1 s
  backoff.reset();
  EXPECT_EQ(backoff.nextGap(), 0ms);
}

}  // namespace
}  // namespace kelvor
