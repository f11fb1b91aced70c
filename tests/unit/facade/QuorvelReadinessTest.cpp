// Each test runs in a process of its own (ctest runs discovered tests one by one), so each
// starts with a fresh, uninitialised facade.
#include <gtest/gtest.h>

#include <thread>

#include <kelvor/Quorvel.hpp>

#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

// The facade outlives every test object; so does its sandbox.
void sandbox() {
  static auto* box = new testing::PlatformSandbox();
  (void)box;
  Platform::setIngestionBaseUrl("https://127.0.0.1:9/");
}

std::shared_ptr<Option> options(const std::string& key, bool logging = true) {
  auto option = std::make_shared<QuorvelOption>();
  option->writeKey(key).logging(logging);
  return option->build();
}

TEST(QuorvelReadinessTest, GetInstanceBeforeInitializeIsAbsentWithTheErrorLine) {
  LogCapture log;
  EXPECT_EQ(Quorvel::getInstance(), nullptr);
  EXPECT_EQ(log.messages(LogLevel::error),
            std::vector<std::string>{"Please call the initialize method of SDK Manager"});
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].text, "[Kelvor] - Please call the initialize method of SDK Manager");
}

TEST(QuorvelReadinessTest, SecondInitializeChangesNothing) {
  sandbox();
  auto first = options("first");
  Quorvel::initialize(first);
  Quorvel* instance = Quorvel::getInstance();
  ASSERT_NE(instance, nullptr);
  LogCapture log;
  auto second = options("second");
  Quorvel::initialize(second);
  EXPECT_TRUE(log.contains(LogLevel::info, "Quorvel: initialize"));
  EXPECT_EQ(Quorvel::getInstance(), instance);
  first->setApiKey("");  // the first options are the ones in force
  log.clear();
  instance->setEventProperties("e");
  EXPECT_TRUE(log.contains(LogLevel::error, "Initialize SDK with valid API key"));
}

TEST(QuorvelReadinessTest, BlankKeyCompletesInitialisationButRefusesGuardedCalls) {
  sandbox();
  LogCapture log;
  auto option = options("   ");
  Quorvel::initialize(option);
  EXPECT_TRUE(log.contains(LogLevel::error,
                           "Quorvel:: configureConsent - Initialize SDK with valid API key"));
  Quorvel* instance = Quorvel::getInstance();
  ASSERT_NE(instance, nullptr);
  log.clear();
  instance->setEventProperties("any");
  instance->setUserProperties({{"a", 1}});
  EXPECT_EQ(log.messages(LogLevel::error),
            (std::vector<std::string>{"Initialize SDK with valid API key",
                                      "Initialize SDK with valid API key"}));
  // A key set later on the same options object takes effect from the next call.
  option->setApiKey("valid");
  log.clear();
  instance->setEventProperties("any");
  EXPECT_EQ(log.count(LogLevel::error, "Initialize SDK with valid API key"), 0u);
}

TEST(QuorvelReadinessTest, LoggingSwitchFollowsTheOptionAfterInitialisation) {
  sandbox();
  LogCapture log;
  Log::info("before");
  EXPECT_TRUE(log.contains(LogLevel::info, "before"));
  Quorvel::initialize(options("key", /*logging=*/false));
  log.clear();
  Log::info("after");
  Log::debug("after");
  Log::error("still");
  EXPECT_TRUE(log.messages(LogLevel::info).empty());
  EXPECT_TRUE(log.messages(LogLevel::debug).empty());
  EXPECT_TRUE(log.contains(LogLevel::error, "still"));
}

TEST(QuorvelReadinessTest, PausedCallsAreSilentUntilResumed) {
  sandbox();
  Quorvel::initialize(options("key"));
  Quorvel* instance = Quorvel::getInstance();
  ASSERT_NE(instance, nullptr);
  instance->pauseCollection();
  LogCapture log;
  instance->setEventProperties("");
  instance->setUserProperties(Json::object());
  instance->setUserIdentities(Json::object());
  instance->setPageProperties(Json::object());
  instance->unsetUserIdentities();
  EXPECT_TRUE(log.lines().empty());
  instance->resumeCollection();
  instance->setEventProperties("");
  instance->setUserProperties(Json::object());
  EXPECT_TRUE(log.contains(LogLevel::error, "Empty event name"));
  EXPECT_TRUE(log.contains(LogLevel::error, "Empty user properties"));
}

TEST(QuorvelReadinessTest, InitializingFromTwoThreadsAtOnceBuildsOnce) {
  sandbox();
  LogCapture log;
  auto option = options("key");
  std::thread first([&] { Quorvel::initialize(option); });
  std::thread second([&] { Quorvel::initialize(option); });
  first.join();
  second.join();
  EXPECT_EQ(log.count(LogLevel::info, "Quorvel: initialize"), 2u);
  EXPECT_EQ(log.count(LogLevel::info, "Successfully opened connection to database"), 1u);
  EXPECT_NE(Quorvel::getInstance(), nullptr);
}

}  // namespace
}  // namespace kelvor
