#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <kelvor/Reachability.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/NotificationCenter.hpp"
#include "reachability/SignalReachabilitySource.hpp"
#include "support/FakeReachabilitySource.hpp"

namespace kelvor {
namespace {

using testing::FakeReachabilitySource;

// Counts announcements: the callbacks and the notification, and where they ran.
struct Announcements {
  std::atomic<int> reachable{0}, unreachable{0}, notifications{0}, offMain{0};
  NotificationCenter::Token token = 0;
  void count(std::atomic<int>& n) {
    ++n;
    if (!DispatchQueue::main().isCurrent()) ++offMain;
  }
  void watch(Reachability& monitor) {
    monitor.setWhenReachable([this](Reachability&) { count(reachable); });
    monitor.setWhenUnreachable([this](Reachability&) { count(unreachable); });
    token = NotificationCenter::defaultCenter().addObserver(
        "reachabilityChanged", &monitor, [this](const void*) { count(notifications); });
  }
  ~Announcements() { NotificationCenter::defaultCenter().removeObserver(token); }
};

// Everything queued so far on the monitor's queue and then on the main queue has run.
void settle(Reachability& monitor) {
  (void)monitor.flags();
  for (int i = 0; i < 3; ++i) DispatchQueue::main().drain();
}

TEST(ReachabilityTest, AFreshStartAnnouncesOnceOnTheMainQueue) {
  auto source = std::make_shared<FakeReachabilitySource>(Reachability::kReachable);
  auto monitor = std::make_shared<Reachability>(source);
  Announcements seen;
  seen.watch(*monitor);
  monitor->startNotifier();
  monitor->startNotifier();  // a second start does nothing and raises nothing
  settle(*monitor);
  EXPECT_TRUE(monitor->notifierRunning());
  EXPECT_EQ(seen.reachable, 1);
  EXPECT_EQ(seen.notifications, 1);
  EXPECT_EQ(seen.offMain, 0);
  EXPECT_EQ(monitor->connection(), Reachability::Connection::wifi);

  source->change(Reachability::kReachable);           // equal flags: no announcement
  source->change(Reachability::kConnectionRequired);  // not reachable: none
  // The change travels through the monitor's queue and then the main queue.
  for (int i = 0; i < 2000 && seen.unreachable == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    settle(*monitor);
  }
  EXPECT_EQ(seen.reachable, 1);
  EXPECT_EQ(seen.unreachable, 1);
  EXPECT_EQ(seen.notifications, 2);
  EXPECT_EQ(monitor->connection(), Reachability::Connection::none);
}

TEST(ReachabilityTest, StartFailuresUndoTheRegistration) {
  struct Case {
    bool refuseCallback, refuseQueue;
    std::optional<uint32_t> flags;
    ReachabilityError expected;
  };
  for (const Case& c :
       {Case{true, false, 2u, ReachabilityError::UnableToSetCallback},
        Case{false, true, 2u, ReachabilityError::UnableToSetDispatchQueue},
        Case{false, false, std::nullopt, ReachabilityError::UnableToGetInitialFlags}}) {
    auto source = std::make_shared<FakeReachabilitySource>(c.flags);
    source->refuse(c.refuseCallback, c.refuseQueue);
    auto monitor = std::make_shared<Reachability>(source);
    try {
      monitor->startNotifier();
      ADD_FAILURE() << "no error raised";
    } catch (const ReachabilityException& e) {
      EXPECT_EQ(e.error(), c.expected);
    }
    EXPECT_FALSE(monitor->notifierRunning());
    EXPECT_FALSE(source->registered());
  }
}

TEST(ReachabilityTest, AMonitorGoneBeforeItsAnnouncementRunsIsLeftAlone) {
  auto source = std::make_shared<FakeReachabilitySource>(Reachability::kReachable);
  std::atomic<int> calls{0};
  std::promise<void> release;
  auto gate = release.get_future().share();
  DispatchQueue::main().async([gate] { gate.wait(); });  // hold the main queue
  {
    auto monitor = std::make_shared<Reachability>(source);
    monitor->setWhenReachable([&](Reachability&) { ++calls; });
    monitor->startNotifier();  // the announcement waits behind the held task
  }
  release.set_value();
  DispatchQueue::main().drain();
  EXPECT_EQ(calls, 0);
}

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
