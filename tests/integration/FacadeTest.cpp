// End to end through the public facade. Each test runs in a process of its own (ctest runs the
// discovered tests one by one), since the facade is initialised once per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include <kelvor/Quorvel.hpp>

#include "identity/IdentityTransformer.hpp"
#include "support/Collector.hpp"
#include "support/ConnectProxy.hpp"
#include "support/FakeTrackingProvider.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"
#include "support/TestHost.hpp"

namespace kelvor {
namespace {

using testing::Collector;
constexpr auto names = Collector::names;
using testing::LogCapture;

// The facade and its files outlive the test body: keep their folder and endpoint for good.
struct Endpoint {
  Collector collector;
  testing::PlatformSandbox sandbox;
  explicit Endpoint(std::vector<std::string> flags = {}) : collector(std::move(flags)) {
    // Given without its final "/", which the library adds.
    const std::string url = collector.baseUrl();
    Platform::setIngestionBaseUrl(url.substr(0, url.size() - 1));
    Platform::setCABundle(collector.caFile());
    Platform::setBundleInfo(
        {{"CFBundleName", "FacadeTest"}, {"CFBundleShortVersionString", "9.1"}});
  }
};

Endpoint* current = nullptr;

Endpoint& endpoint(std::vector<std::string> flags = {}) {
  if (current == nullptr) {
    current = new Endpoint(std::move(flags));
    // The collector must not outlive the test process (it would hold the runner's output open);
    // the folder stays, since the library's threads may still use it while the process exits.
    std::atexit([] { current->collector.stop(); });
  }
  return *current;
}

std::shared_ptr<QuorvelOption> baseOptions() {
  auto option = std::make_shared<QuorvelOption>();
  option->writeKey("key").batchSize(10).eventUploadInterval(3600);
  return option;
}

Quorvel& start(QuorvelOption& option) {
  Quorvel::initialize(option.build());
  Quorvel* q = Quorvel::getInstance();
  if (q == nullptr) throw std::runtime_error("not initialised");
  return *q;
}

TEST(FacadeTest, EventsPropertiesAndHashedIdentitiesReachTheEndpoint) {
  auto& e = endpoint({"--write-key", "key"});
  ASSERT_TRUE(e.collector.started());
  Platform::setTrackingProvider(std::make_shared<testing::FakeTrackingProvider>(3, "AD-1"));
  Quorvel& q = start(baseOptions()->optout(false).hashIdentities(true).userCountry("IN"));
  // An event carries the page and user data in force when it was reported.
  q.setPageProperties({{"screen", "a"}});
  q.setUserProperties({{"plan", "free"}});
  q.setEventProperties("before");
  q.setPageProperties({{"screen", "home"}});
  q.setUserProperties({{"plan", "gold"}});
  q.setUserIdentities({{"email", "Jane@Example.com"}});
  for (int i = 0; i < 8; ++i) q.setEventProperties("tap", {{"i", i}});
  q.setInstantEventProperties("instant", {{"now", true}});
  ASSERT_TRUE(q.flush());

  // The identity request goes on its own, beside the events flush waits for.
  const auto isIdentity = [](const Json& r) {
    return r["method"] == "GET" && r["payload"].contains("user_email");
  };
  auto records = e.collector.waitFor([&](const std::vector<Json>& all) {
    return std::any_of(all.begin(), all.end(), isIdentity);
  });
  auto events = Collector::acceptedEvents(records);
  // Two each of set_page_properties and set_user_properties, "before", eight taps, and the
  // instant event sent on its own.
  std::multiset<std::string> got;
  for (const auto& n : names(events)) got.insert(n);
  EXPECT_EQ(got.count("tap"), 8u);
  EXPECT_EQ(got.count("instant"), 1u);
  EXPECT_EQ(got.count("set_page_properties"), 2u);
  EXPECT_EQ(got.count("set_user_properties"), 2u);
  ASSERT_EQ(got.count("before"), 1u);
  const auto identity = std::find_if(records.begin(), records.end(), isIdentity);
  ASSERT_NE(identity, records.end());
  const Json& identityPayload = (*identity)["payload"];
  EXPECT_EQ(identityPayload["user_email"],
            IdentityTransformer::caseVariantHashes("Jane@Example.com"));
  EXPECT_EQ(identityPayload["user_ki"], q.getKI());
  for (const auto& event : events) {
    if (event["event"]["eventName"] == "before") {
      EXPECT_EQ(event["page"], (Json{{"screen", "a"}}));
      EXPECT_EQ(event["user"]["plan"], "free");
    }
    if (event["event"]["eventName"] != "tap") continue;
    EXPECT_EQ(event["page"], (Json{{"screen", "home"}}));
    EXPECT_EQ(event["user"]["plan"], "gold");
    EXPECT_EQ(event["user"]["country"], "IN");
    EXPECT_EQ(event["user"]["app_name"], "FacadeTest");
    EXPECT_EQ(event["user"]["email"], IdentityTransformer::caseVariantHashes("Jane@Example.com"));
  }

  // The tracking status and advertising identifier: given, or asked of the provider once
  // authorized; pausing does not hold them back.
  q.setATTStatusAndAdvertisingId(TrackingAuthorizationStatus::denied, "GIVEN");
  q.setAdvertisingIdByATTStatus(TrackingAuthorizationStatus::denied);
  q.pauseCollection();
  q.setAdvertisingIdByATTStatus(TrackingAuthorizationStatus::restricted);
  q.setKI("paused-ki");
  q.resumeCollection();
  q.setEventProperties("after");
  q.setInstantEventProperties("now");
  ASSERT_TRUE(q.flush());
  events = Collector::acceptedEvents(e.collector.records());
  EXPECT_EQ(events.back()["user"]["att_authorization_status"], "restricted");
  EXPECT_EQ(events.back()["user"]["advertising_id"], "GIVEN");
  EXPECT_EQ(q.getKI(), "paused-ki");
  q.setAdvertisingIdByATTStatus(TrackingAuthorizationStatus::authorized);
  q.setInstantEventProperties("authorized");
  ASSERT_TRUE(q.flush());
  events = Collector::acceptedEvents(e.collector.records());
  EXPECT_EQ(events.back()["user"]["advertising_id"], "AD-1");
  EXPECT_EQ(events.back()["user"]["att_authorization_status"], "authorized");
}

TEST(FacadeTest, AppConsentAskedForAndGivenStartsUploads) {
  auto& e = endpoint();
  Quorvel& q = start(baseOptions()->useConsent(true));
  EXPECT_EQ(q.getKI(), "");  // nothing resolved yet: no ki made
  std::atomic<int> asked{0};
  q.listenToAskForConsent([&](const std::any&) { ++asked; });
  EXPECT_EQ(asked, 1);  // asked at start-up already: called at once
  for (int i = 0; i < 10; ++i) q.setEventProperties("waiting");
  q.setUserIdentities({{"email", "dropped@x.y"}});  // identify not granted yet: discarded
  EXPECT_FALSE(q.flush());  // consent undecided: nothing can be accepted yet
  EXPECT_TRUE(Collector::acceptedEvents(e.collector.records()).empty());

  q.setConsent({{"track", true}, {"identify", false}});
  ASSERT_TRUE(q.flush());
  EXPECT_EQ(Collector::acceptedEvents(e.collector.records()).size(), 10u);
  q.setUserIdentities({{"email", "still-refused@x.y"}});
  ASSERT_TRUE(q.flush());
  for (const auto& r : e.collector.records()) {
    if (r["method"] == "GET") {
      EXPECT_FALSE(r["payload"].contains("user_email"));
      EXPECT_EQ(r["query"]["identify"], "false");
    }
  }
  q.resetKI();
  EXPECT_TRUE(std::regex_match(q.getKI(), std::regex("[0-9A-F-]{36}")));
}

// Many app threads report at once; flush() is true only once what was handed over was accepted,
// partial batches too, and returns while another thread keeps reporting; shutdown() stops for
// good.
TEST(FacadeTest, ManyAppThreadsReportAtOnceAndFlushTellsTheTruth) {
  auto& e = endpoint();
  Quorvel& q = start(baseOptions()->optout(false).maxCacheSize(200));
  std::vector<std::thread> app;
  for (int t = 0; t < 4; ++t) {
    app.emplace_back([&q, t] {
      for (int i = 0; i < 40; ++i) {
        q.setEventProperties("t" + std::to_string(t) + "-" + std::to_string(i));
        if (i % 10 == 0) q.setPageProperties({{"thread", t}});
        if (i % 13 == 0) q.setUserProperties({{"last", i}});
        if (i % 17 == 0) q.setInstantEventProperties("instant");
        if (i % 19 == 0) (void)q.getKI();
      }
    });
  }
  for (auto& thread : app) thread.join();
  q.setConsent({{"track", true}});  // not in use with useConsent off; harmless
  std::atomic<bool> stop{false};
  std::thread reporter([&] {
    for (int i = 0; !stop; ++i) {
      q.setEventProperties("busy" + std::to_string(i));
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  EXPECT_TRUE(q.flush());
  std::multiset<std::string> taps;
  for (const auto& n : e.collector.acceptedNames()) {
    if (n[0] == 't') taps.insert(n);
  }
  // Partial batches go too: every report made before the flush arrived, once.
  EXPECT_EQ(std::set<std::string>(taps.begin(), taps.end()).size(), 160u);
  EXPECT_EQ(taps.size(), 160u);
  stop = true;
  reporter.join();
  ASSERT_TRUE(q.flush());
  const size_t sent = Collector::acceptedEvents(e.collector.records()).size();

  e.collector.stop();
  for (int i = 0; i < 3; ++i) q.setEventProperties("unsent");
  EXPECT_FALSE(q.flush(std::chrono::seconds(10)));
  auto stats = q.deliveryStats();
  EXPECT_EQ(stats.sent, sent);
  EXPECT_EQ(stats.pending, 3);
  EXPECT_TRUE(stats.lastFailureTime.has_value());

  EXPECT_FALSE(q.shutdown(std::chrono::seconds(2)));
  LogCapture log;
  q.setEventProperties("after");
  EXPECT_FALSE(q.flush());
  EXPECT_FALSE(q.shutdown());
  EXPECT_TRUE(log.contains(LogLevel::error, "has been shut down"));
  EXPECT_EQ(q.deliveryStats().pending, 3);  // kept for the next start
}

// Nesting is checked at the call without recursion: 64 levels go, deeper is refused and
// counted, and 200,000 levels neither crash the host nor reach the store. A map given as an
// array or a text is refused with a line that says so; an event goes without it.
TEST(FacadeTest, NestingBeyondTheLimitAndMapsThatAreNoObjectsAreRefusedAtTheCall) {
  auto& e = endpoint();
  Quorvel& q = start(baseOptions()->optout(false));
  LogCapture log;
  for (int depth : {64, 65, 200000}) {
    Json inner = 1;
    for (int level = 1; level < depth; ++level) {
      Json wrapper = Json::array();
      wrapper.push_back(std::move(inner));
      inner = std::move(wrapper);
    }
    Json properties = Json::object();
    properties["x"] = std::move(inner);
    q.setEventProperties("deep-" + std::to_string(depth), properties);
  }
  q.setEventProperties("listed", Json::array({1, 2}));
  q.setInstantEventProperties("texted", Json("text"));
  q.setUserProperties(Json::array({"plan"}));
  q.setPageProperties(Json("home"));
  q.setUserIdentities(Json::array({"jane@example.com"}));
  q.setConsent(Json(5));
  ASSERT_TRUE(q.flush());
  auto sent = e.collector.acceptedNames();
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"deep-64", "listed", "texted"}));
  EXPECT_EQ(log.count(LogLevel::error, "nests deeper than 64 levels"), 2u);
  EXPECT_EQ(log.count(LogLevel::error, "not an object of keys and values"), 6u);
  EXPECT_EQ(log.count(LogLevel::error, "a JSON array"), 3u);
  EXPECT_EQ(q.deliveryStats().refusedInvalid, 4u);  // the user and page maps make events
}

// The usual way to configure a Linux tool: the environment, read when initialize runs.
TEST(FacadeTest, TheEnvironmentConfiguresWhatTheHostDidNot) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  static testing::TempDir* folder = new testing::TempDir();  // outlives the library's threads
  setenv("KELVOR_INGESTION_URL", collector.baseUrl().c_str(), 1);
  setenv("KELVOR_CA_BUNDLE", collector.caFile().c_str(), 1);
  setenv("KELVOR_DATA_DIR", (folder->path() / "data").c_str(), 1);
  setenv("KELVOR_CONFIG_DIR", (folder->path() / "config").c_str(), 1);
  setenv("KELVOR_LOG_LEVEL", "warning", 1);
  testing::ConnectProxy proxy;
  ASSERT_TRUE(proxy.started());
  setenv("KELVOR_PROXY", proxy.url().c_str(), 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  LogCapture log;
  // The level from the environment wins over logging.
  ASSERT_TRUE(Quorvel::tryInitialize(baseOptions()->optout(false).logging(true).build()).ready());
  Quorvel& q = *Quorvel::getInstance();
  q.setEventProperties("from-env");
  ASSERT_TRUE(q.flush());
  EXPECT_EQ(collector.acceptedNames(), std::vector<std::string>{"from-env"});
  EXPECT_FALSE(proxy.tunnels().empty());
  // Both name a base folder, the app's own folder below it (AppSandboxTest drives two apps).
  EXPECT_TRUE(std::filesystem::exists(folder->path() / "data" / Platform::appIdentifier() /
                                      "kelvorDB.sqlite"));
  EXPECT_TRUE(std::filesystem::is_directory(folder->path() / "config" / Platform::appIdentifier()));
  log.clear();
  q.setEventProperties("quiet");
  ASSERT_TRUE(q.flush());
  EXPECT_TRUE(log.messages(LogLevel::info).empty());
  collector.stop();
}

// DO_NOT_TRACK=1 makes the library behave as optout(true), whatever the host set.
TEST(FacadeTest, DoNotTrackInTheEnvironmentOptsOut) {
  auto& e = endpoint();
  setenv("DO_NOT_TRACK", "1", 1);
  LogCapture log;
  Quorvel& q = start(baseOptions()->optout(false).logging(true));
  for (int i = 0; i < 12; ++i) q.setEventProperties("not-tracked");
  EXPECT_TRUE(q.flush());  // dropped by consent: a documented rule
  EXPECT_TRUE(Collector::acceptedEvents(e.collector.records()).empty());
  EXPECT_TRUE(log.contains(LogLevel::info, "DO_NOT_TRACK is set"));
}

// A loop that reports one event 20,000 times: the limit lets its burst and its rate through,
// counts the rest and names it in one warning line; other names go untouched. Instant events
// count too.
TEST(FacadeTest, ARateLimitStopsALoopAndSparesTheOtherEvents) {
  auto& e = endpoint();
  Platform::setEventRateLimit(100, 100);
  LogCapture log;
  Quorvel& q = start(baseOptions()->optout(false).batchSize(50));
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 20000; ++i) {
    if (i % 400 == 0) q.setEventProperties("steady", {{"i", i}});
    if (i % 1000 == 0) {
      q.setInstantEventProperties("loop", {{"i", i}});
    } else {
      q.setEventProperties("loop", {{"i", i}});
    }
  }
  // Not a timing assertion: the bound follows from however long the loop took.
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(q.flush(std::chrono::seconds(120)));
  const auto sent = e.collector.acceptedNames();
  const auto loops = static_cast<uint64_t>(std::count(sent.begin(), sent.end(), "loop"));
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "steady"), 50);
  EXPECT_GE(loops, 100u);
  EXPECT_LE(loops, static_cast<uint64_t>(100 + 100 * seconds + 1));
  const DeliveryStats stats = q.deliveryStats();
  EXPECT_EQ(stats.reported, 20050u);
  EXPECT_EQ(stats.droppedByRateLimit, 20000u - loops);
  EXPECT_EQ(stats.sent, loops + 50);
  // The line comes a moment after the first drop, with the count of the burst.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!log.contains(LogLevel::warning, "events named \"loop\"") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(log.count(LogLevel::warning, "events named \"loop\""), 1u);
  EXPECT_EQ(log.count(LogLevel::warning, "\"steady\""), 0u);
}

}  // namespace
}  // namespace kelvor
