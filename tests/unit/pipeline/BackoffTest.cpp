#include <gtest/gtest.h>

#include <set>

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

}  // namespace
}  // namespace kelvor
