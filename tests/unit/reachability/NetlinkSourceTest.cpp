#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

#include <kelvor/Reachability.hpp>

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

// A monitor on `source` started in the namespace: its flags at the start, and once `change`
// (`ip` commands) has run, the flags it settles on within 20 s.
std::string watch(std::shared_ptr<ReachabilitySource> source, const std::string& change) {
  auto monitor = std::make_shared<Reachability>(std::move(source));
  monitor->startNotifier();
  std::string result = "start=" + std::to_string(monitor->flags().value_or(99));
  const bool changed = run(change);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (changed && monitor->flags() != Reachability::kReachable &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  monitor->stopNotifier();
  if (!changed) return "skip: cannot configure a veth pair here";
  return result + " later=" + std::to_string(monitor->flags().value_or(99));
}

// In a network namespace of its own there is no default route, then one through a veth pair.
TEST(NetlinkSourceTest, FollowsTheDefaultRouteInANamespaceOfItsOwn) {
  const std::string result = inOwnNetworkNamespace([] {
    return watch(std::make_shared<NetlinkReachabilitySource>(),
                 "ip link add kq-veth0 type veth peer name kq-veth1 && ip link set kq-veth0 up && "
                 "ip link set kq-veth1 up && ip addr add 192.0.2.1/24 dev kq-veth0 && "
                 "ip route add default via 192.0.2.2 dev kq-veth0");
  });
  if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "start=0 later=2");
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
  // Any link change wakes the source's thread.
  const std::string result = inOwnNetworkNamespace([] {
    return watch(std::make_shared<ChangingRightAfterTheFirstRead>(),
                 "ip link add kq-veth0 type veth peer name kq-veth1");
  });
  if (result.rfind("skip:", 0) == 0) GTEST_SKIP() << result;
  EXPECT_EQ(result, "start=0 later=2");
}

}  // namespace
}  // namespace kelvor
