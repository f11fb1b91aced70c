// The library in the processes Linux hosts run, each a real process of the test host: a child
// forked after initialize, a prefork server whose parent reports while children come and go, a
// program spawned while the library runs, a tool stopped by SIGTERM right after it reported.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <regex>
#include <set>

#include "support/Collector.hpp"
#include "support/RawStore.hpp"
#include "support/TempDir.hpp"
#include "support/TestHost.hpp"

namespace kelvor {
namespace {

using testing::Collector;
using testing::TestHost;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

// How often each event name reached the endpoint.
std::map<std::string, int> arrivals(const Collector& collector) {
  std::map<std::string, int> counts;
  for (const auto& name : Collector::names(Collector::acceptedEvents(collector.records()))) {
    ++counts[name];
  }
  return counts;
}

// A sanitizer's options with one more.
std::string withOption(const char* variable, const char* option) {
  const char* given = std::getenv(variable);
  std::string options = given != nullptr ? given : "";
  return std::string(variable) + "=" + options + (options.empty() ? "" : ":") + option;
}

// ThreadSanitizer follows a child of fork only when told to. A child's copy of the parent's
// threads' own memory (their stacks, std::thread's start record) is reachable from nothing the
// leak checker scans there, so leaks are not checked in these hosts.
std::vector<std::string> forkEnvironment() {
  return {withOption("TSAN_OPTIONS", "die_after_fork=0"),
          withOption("ASAN_OPTIONS", "detect_leaks=0")};
}

void expectOnce(const std::map<std::string, int>& counts, const std::string& prefix, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string name = prefix + std::to_string(i);
    auto found = counts.find(name);
    EXPECT_EQ(found == counts.end() ? 0 : found->second, 1) << name;
  }
}

// The child reports, flushes with its own networking thread, reports again and returns from
// main: the exit stores those, and the parent sends them. Each event once, the parent's too.
TEST(ProcessesTest, AChildForkedAfterInitializeDeliversEveryEventOnce) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  TestHost host("fork", folder.path(), collector, 20, forkEnvironment());
  ASSERT_EQ(host.wait(), 0) << host.output() << host.errors();
  const auto counts = arrivals(collector);
  for (const char* prefix : {"parent-", "child-", "late-"}) expectOnce(counts, prefix, 20);
  EXPECT_EQ(counts.size(), 60u);
}

// Children forked one after another while two threads of the parent report: none hangs (the
// host's alarm would end it by SIGALRM), and every event of parent and children arrives once.
TEST(ProcessesTest, APreforkServerFinishesAndDeliversEveryEventOnce) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  const int children = sanitized ? 20 : 50;
  TestHost host("prefork", folder.path(), collector, children, forkEnvironment());
  ASSERT_EQ(host.wait(), 0) << host.output() << host.errors();
  std::smatch reported;
  const std::string output = host.output();
  ASSERT_TRUE(std::regex_search(output, reported, std::regex("p0 ([0-9]+) p1 ([0-9]+)"))) << output;
  const auto counts = arrivals(collector);
  expectOnce(counts, "p0-", std::stoi(reported[1]));
  expectOnce(counts, "p1-", std::stoi(reported[2]));
  for (int k = 0; k < children; ++k) expectOnce(counts, "c" + std::to_string(k) + "-", 10);
  EXPECT_EQ(counts.size(),
            static_cast<size_t>(std::stoi(reported[1]) + std::stoi(reported[2]) + 10 * children));
}

// Programs spawned while the library has its store, its connections and its threads open, and
// while it reports and uploads: none holds a descriptor of the library.
TEST(ProcessesTest, AProgramSpawnedWhileTheLibraryRunsHoldsNoneOfItsDescriptors) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  TestHost host("spawn", folder.path(), collector, 20);
  EXPECT_EQ(host.wait(), 0) << host.output() << host.errors();
  const std::string output = host.output();
  EXPECT_EQ(output.find("leaked"), std::string::npos) << output;
  // Not vacuous: the library had its store files and sockets open.
  std::smatch open;
  ASSERT_TRUE(std::regex_search(output, open, std::regex("library descriptors ([0-9]+)")));
  EXPECT_GE(std::stoi(open[1]), 4) << output;
}

// SIGTERM 1 ms after 100 reports: with storeOnSignals every event is kept (stored, or at the
// endpoint) and the process still ends by the signal, or by the host's own handler, which runs
// once; without it the signal is not even caught.
TEST(ProcessesTest, SigtermRightAfterReportsKeepsThemOnlyWhenAsked) {
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    int status;
    const char* says;
    bool keepsAll;
  };
  const Case cases[] = {
      {"asked", {"QUORVEL_TEST_SIGNALS=1"}, 128 + SIGTERM, "SIGTERM caught", true},
      {"host handler",
       {"QUORVEL_TEST_SIGNALS=1", "QUORVEL_TEST_HOST_HANDLER=1"},
       9,
       "host handler",
       true},
      {"not asked", {}, 128 + SIGTERM, "SIGTERM default", false},
  };
  for (const Case& c : cases) {
    Collector collector;
    ASSERT_TRUE(collector.started());
    testing::TempDir folder;
    TestHost host("sigterm", folder.path(), collector, 100, c.environment);
    EXPECT_EQ(host.wait(), c.status) << c.name << host.output() << host.errors();
    const std::string output = host.output();
    EXPECT_NE(output.find(c.says), std::string::npos) << c.name << output;
    // The host's handler runs exactly once.
    EXPECT_EQ(output.find("host handler"), output.rfind("host handler")) << c.name;
    if (!c.keepsAll) continue;
    std::set<std::string> kept;
    for (const auto& text : testing::rawColumn(folder.path() / "documents" / "kelvorDB.sqlite",
                                               "SELECT events FROM events;")) {
      kept.insert(Json::parse(text, nullptr, false).value("eventName", ""));
    }
    for (const auto& [name, count] : arrivals(collector)) kept.insert(name);
    EXPECT_EQ(kept.size(), 100u) << c.name << output;
  }
}

}  // namespace
}  // namespace kelvor
