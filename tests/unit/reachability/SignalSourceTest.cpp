#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <mutex>
#include <vector>

#include <kelvor/Reachability.hpp>

#include "platform/DispatchQueue.hpp"
#include "reachability/SignalReachabilitySource.hpp"

namespace kelvor {
namespace {

// What the fleet simulation relies on: one SIGUSR1 is the network going down, then up again.
TEST(SignalSourceTest, ASignalIsTheNetworkGoingDownAndComingBack) {
  auto source = std::make_shared<SignalReachabilitySource>();
  auto queue = std::make_shared<DispatchQueue>("test.signal");
  std::mutex mutex;
  std::vector<uint32_t> seen;
  std::promise<void> up;
  source->setCallback([&](uint32_t flags) {
    std::lock_guard lock(mutex);
    seen.push_back(flags);
    if (seen.size() == 2) up.set_value();
  });
  ASSERT_TRUE(source->setDispatchQueue(queue));
  EXPECT_EQ(source->currentFlags(), Reachability::kReachable);
  ASSERT_EQ(raise(SIGUSR1), 0);
  ASSERT_EQ(up.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
  source->setDispatchQueue(nullptr);
  queue->sync([] {});
  std::lock_guard lock(mutex);
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, Reachability::kReachable}));
}

}  // namespace
}  // namespace kelvor
