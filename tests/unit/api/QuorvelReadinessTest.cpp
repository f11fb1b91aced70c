// Each test runs in a process of its own (ctest runs discovered tests one by one), so each
// starts with a fresh, uninitialised facade.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <fstream>
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

std::shared_ptr<Option> options(const std::string& key) {
  return QuorvelOption().writeKey(key).logging(true).build();
}

// Before initialize there is no instance, with one error line. A blank key leaves nothing
// initialised, so a second initialize with a good key takes; a third changes nothing; paused
// calls are silent until resumed; a key blanked later on the first options makes guarded calls
// refuse and flush answer false.
TEST(QuorvelReadinessTest, BlankKeyLeavesNothingInitialisedSoAGoodKeyMayFollow) {
  LogCapture log;
  EXPECT_EQ(Quorvel::getInstance(), nullptr);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].level, LogLevel::error);
  EXPECT_EQ(log.lines()[0].text, "[Kelvor] - Please call the initialize method of SDK Manager");
  sandbox();
  // Unicode white space and line breaks count as blank too.
  EXPECT_EQ(Quorvel::tryInitialize(options(" \u00a0\u2028\t ")).status,
            InitializeStatus::invalidWriteKey);
  EXPECT_TRUE(log.contains(LogLevel::error,
                           "Quorvel:: configureConsent - Initialize SDK with valid API key"));
  EXPECT_EQ(Quorvel::getInstance(), nullptr);
  auto option = options("valid");
  EXPECT_TRUE(Quorvel::tryInitialize(option).ready());
  Quorvel* instance = Quorvel::getInstance();
  ASSERT_NE(instance, nullptr);
  log.clear();
  Quorvel::initialize(options("second"));
  EXPECT_TRUE(log.contains(LogLevel::info, "Quorvel: initialize"));
  EXPECT_EQ(Quorvel::getInstance(), instance);
  instance->setEventProperties("any");
  EXPECT_EQ(log.count(LogLevel::error, "Initialize SDK with valid API key"), 0u);

  instance->pauseCollection();
  log.clear();
  instance->setEventProperties("");
  instance->setUserProperties(Json::object());
  instance->setUserIdentities(Json::object());
  instance->setPageProperties(Json::object());
  instance->unsetUserIdentities();
  // Nothing from these calls (the library's own threads may still log about start-up).
  EXPECT_TRUE(log.messages(LogLevel::error).empty());
  EXPECT_EQ(log.count(LogLevel::info, "userIdentities - "), 0u);
  instance->resumeCollection();
  instance->setEventProperties("");
  instance->setUserProperties(Json::object());
  EXPECT_TRUE(log.contains(LogLevel::error, "Empty event name"));
  EXPECT_TRUE(log.contains(LogLevel::error, "Empty user properties"));
  // Without properties nothing follows the prefix.
  const auto info = log.messages(LogLevel::info);
  EXPECT_EQ(std::count(info.begin(), info.end(), "event Prop - "), 1);

  option->setApiKey("");
  instance->setUserProperties({{"a", 1}});
  EXPECT_FALSE(instance->flush(std::chrono::seconds(5)));
  EXPECT_EQ(log.count(LogLevel::error, "Initialize SDK with valid API key"), 2u);
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

// Directories others could change or that move with the working directory, URLs that would
// carry the key in clear text and CA bundles that trust nothing are refused with a line saying
// what to do; a failed initialize may be repeated.
TEST(QuorvelReadinessTest, TryInitializeRefusesWhatIsNotSafeAndSaysWhy) {
  sandbox();
  testing::TempDir dir;
  auto open = dir.path() / "open";
  std::filesystem::create_directories(open);
  std::filesystem::permissions(open, std::filesystem::perms::all);
  auto foreign = dir.path() / "foreign";
  std::filesystem::create_directories(foreign);
  std::filesystem::permissions(foreign, std::filesystem::perms::owner_all);
  const bool canChown = ::chown(foreign.c_str(), 65534, 65534) == 0;
  const auto notPem = dir.path() / "not-pem.crt";
  std::ofstream(notPem) << "-----BEGIN NOTHING-----\n";
  const auto empty = dir.path() / "empty.pem";
  std::ofstream(empty).close();
  struct Case {
    std::filesystem::path documents;
    std::string url;
    InitializeStatus status;
    std::string says;
    std::filesystem::path ca = {};
  };
  using enum InitializeStatus;
  const auto fine = dir.path() / "fine";
  const std::string url = "https://127.0.0.1:9/";
  std::vector<Case> cases = {
      {open, url, unusableDirectory, "can be written by other users (mode 777)"},
      {"relative/store", url, unusableDirectory, "it is a relative path"},
      {fine, url, unusableCABundle, notPem.string() + "\": it holds no PEM certificate", notPem},
      {fine, url, unusableCABundle, empty.string() + "\": it cannot be read or is empty", empty},
      {fine, url, unusableCABundle, "it is not a readable file", dir.path() / "missing.pem"},
      {fine, "http://example.com/", refusedEndpoint, "is not https"},
      {fine, "no url at all", refusedEndpoint, "cannot be read"},
      {fine, url + "?to=fp", refusedEndpoint, ":9/?to=fp/\": no request can be formed from it"},
      {fine, url + "#here", refusedEndpoint, "no request can be formed from it"},
      // Without its final "/" the path of the requests would land in the port.
      {fine, "http://127.0.0.1:9", ready, ""},
      {fine, "http://127.0.0.1:9/", alreadyInitialized, "first options stay in force"},
  };
  if (canChown)
    cases.insert(cases.begin(), {foreign, url, unusableDirectory, "belongs to another user"});
  for (const auto& c : cases) {
    Platform::setDocumentsDirectory(c.documents);
    Platform::setIngestionBaseUrl(c.url);
    Platform::setCABundle(c.ca);
    LogCapture log;
    auto result = Quorvel::tryInitialize(options("key"));
    EXPECT_EQ(result.status, c.status) << c.url << " " << result.message;
    EXPECT_NE(result.message.find(c.says), std::string::npos) << result.message;
    EXPECT_TRUE(c.status != unusableDirectory ||
                result.message.find(c.documents.string()) != std::string::npos);
    if (!result.ready() && c.status != alreadyInitialized) {
      EXPECT_TRUE(log.contains(LogLevel::error, result.message));
      EXPECT_EQ(Quorvel::getInstance(), nullptr);
    }
  }
  EXPECT_NE(Quorvel::getInstance(), nullptr);
  EXPECT_EQ(Platform::ingestionBaseUrl(), "http://127.0.0.1:9/");
}

}  // namespace
}  // namespace kelvor
