#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <kelvor/Reachability.hpp>

#include "platform/DispatchQueue.hpp"
#include "reachability/NetlinkReachabilitySource.hpp"

namespace kelvor {
namespace {

// Starting the source on this machine is done by every FacadeTest: initialize makes it, and
// their uploads go only while it says the network is there.
bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `body` on a thread in a network namespace of its own (sockets and the `ip` commands it
// starts belong to it) and returns what it found; "skip: ..." when the machine cannot do it.
std::string inOwnNetworkNamespace(const std::function<std::string()>& body) {
  if (geteuid() != 0) return "skip: needs root to make a network namespace";
  if (!run("command -v ip")) return "skip: needs iproute2";
  std::string result;
  std::thread inside([&] {
    result = unshare(CLONE_NEWNET) != 0 ? "skip: unshare(CLONE_NEWNET) not permitted here" : body();
  });
  inside.join();
  return result;
}

// In a network namespace of its own, the source sees no default route, then one through a veth
// pair.
TEST(NetlinkSourceTest, FollowsTheDefaultRouteInANamespaceOfItsOwn) {
  const std::string result = inOwnNetworkNamespace([] {
    auto source = std::make_shared<NetlinkReachabilitySource>();
    auto queue = std::make_shared<DispatchQueue>("test.netns");
    std::promise<uint32_t> changed;
    auto changedFuture = changed.get_future();
    std::atomic<bool> delivered{false};
    source->setCallback([&](uint32_t flags) {
      if (!delivered.exchange(true)) changed.set_value(flags);
    });
    source->setDispatchQueue(queue);
    auto word = [](std::optional<uint32_t> flags) {
      return flags ? std::to_string(*flags) : std::string("none");
    };
    std::string result = "before=" + word(source->currentFlags());
    bool made = run("ip link add kq-veth0 type veth peer name kq-veth1") &&
                run("ip link set kq-veth0 up") && run("ip link set kq-veth1 up") &&
                run("ip addr add 192.0.2.1/24 dev kq-veth0") &&
                run("ip route add default via 192.0.2.2 dev kq-veth0");
    if (!made) {
      source->setDispatchQueue(nullptr);
      return std::string("skip: cannot configure a veth pair here");
    }
    const bool announced =
        changedFuture.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    result += " changed=" + word(announced ? std::optional(changedFuture.get()) : std::nullopt);
    result += " after=" + word(source->currentFlags());
    source->setDispatchQueue(nullptr);
    return result;
  });
  if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "before=0 changed=2 after=2");
}

// The network comes up right after the monitor's first read: its own thread reads only after
// that, as if it had just started. The real netlink socket wakes the thread.
class ChangingRightAfterTheFirstRead : public NetlinkReachabilitySource {
 protected:
  std::optional<uint32_t> readFlags() override {
    std::unique_lock lock(mutex_);
    if (std::this_thread::get_id() == watcher_.load()) {
      read_.wait_for(lock, std::chrono::seconds(10), [this] { return firstReadDone_; });
    }
    if (firstReadDone_) return Reachability::kReachable;
    firstReadDone_ = true;
    read_.notify_all();
    return 0u;
  }
  void watch() override {
    watcher_.store(std::this_thread::get_id());
    NetlinkReachabilitySource::watch();
  }

 private:
  std::mutex mutex_;
  std::condition_variable read_;
  bool firstReadDone_ = false;
  std::atomic<std::thread::id> watcher_{};
};

// A change between the monitor's first read and the source's is announced: the monitor ends up
// with the flags of the network, not with those it read at its start.
TEST(NetlinkSourceTest, AChangeRightAfterTheMonitorsFirstReadReachesIt) {
  const std::string result = inOwnNetworkNamespace([] {
    auto monitor =
        std::make_shared<Reachability>(std::make_shared<ChangingRightAfterTheFirstRead>());
    monitor->startNotifier();
    std::string result = "start=" + std::to_string(monitor->flags().value_or(99));
    // Any link change wakes the source's thread.
    if (!run("ip link add kq-veth0 type veth peer name kq-veth1")) {
      return std::string("skip: cannot make a veth pair here");
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (monitor->flags() != Reachability::kReachable &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    result += " later=" + std::to_string(monitor->flags().value_or(99));
    monitor->stopNotifier();
    return result;
  });
  if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "start=0 later=2");
}

}  // namespace
}  // namespace kelvor
