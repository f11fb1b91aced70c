#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "platform/Base64.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/Collector.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/LogCapture.hpp"
#include "support/Pipeline.hpp"

namespace kelvor {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::FakeTimeSource;
using testing::LogCapture;
using testing::Pipeline;

const auto batchSizes = Collector::batchSizes;
const auto names = Collector::names;

void logEvents(Pipeline& p, int count, const std::string& prefix = "e") {
  for (int i = 0; i < count; ++i) {
    auto manager = p.manager;
    std::string name = prefix + std::to_string(i);
    manager->dispatchQueue().asyncBarrier([manager, name] { manager->logEvent(name, {}); });
  }
}

TEST(PipelineTest, TheRoadOfOneEvent) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  Platform::setBundleInfo({{"CFBundleName", "Road"}, {"CFBundleShortVersionString", "1.0"}});
  auto option = Pipeline::options();
  option->setUserCountry("DE");
  Pipeline p(option, collector.baseUrl(), collector.caFile());
  p.resolveConsent();
  p.settle();
  p.runOnManager([&] { p.manager->logEvent("before_page", {}); });
  p.pages->merge({{"screen", "checkout"}});
  p.identity->mergeUserProperties({{"plan", "gold"}});
  p.manager->setUserIdentities({{"email", "jane@example.com"}});
  p.runOnManager([&] {
    p.manager->logEvent("purchase", {{"price", 12},
                                     {"eventName", "x"},
                                     {"eventTimestamp", "0"},
                                     {"note", "say \"hi\"\\\n\x01\x7f\xc3\xa9\xff"},
                                     {"ta\"g", Json::array({1.5, "a\\b", Json::object()})}});
  });
  ASSERT_TRUE(p.flush());

  auto records = collector.records();
  auto events = Collector::acceptedEvents(records);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["event"]["eventName"], "before_page");
  EXPECT_FALSE(events[0].contains("page"));  // no page properties: no "page" at all
  EXPECT_EQ(events[0].size(), 4u);
  const Json& e = events[1];
  EXPECT_TRUE(
      std::regex_match(e["eventUUID"].get<std::string>(),
                       std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
  EXPECT_EQ(e["event"]["eventName"], "purchase");
  EXPECT_EQ(e["event"]["price"], 12);
  // Texts that need escaping arrive as given; an invalid byte as the replacement character.
  EXPECT_EQ(e["event"]["note"], "say \"hi\"\\\n\x01\x7f\xc3\xa9\xef\xbf\xbd");
  EXPECT_EQ(e["event"]["ta\"g"], Json::array({1.5, "a\\b", Json::object()}));
  std::string timestamp = e["event"]["eventTimestamp"];
  EXPECT_TRUE(std::regex_match(timestamp, std::regex("[0-9]{13}")));
  EXPECT_EQ(e["page"], (Json{{"screen", "checkout"}}));
  EXPECT_EQ(e["version"], "1.3.0");
  const Json& user = e["user"];
  EXPECT_EQ(user["network_type"], "wi-fi");
  EXPECT_EQ(user["country"], "DE");
  EXPECT_EQ(user["plan"], "gold");
  EXPECT_EQ(user["email"], "jane@example.com");
  EXPECT_EQ(user["ki"], p.identity->ki());
  EXPECT_EQ(user["carrier"], "Simulator");
  for (const char* key :
       {"app_name", "app_version", "device_model_identifier", "os_type", "os_version"}) {
    EXPECT_TRUE(user.contains(key)) << key;
  }
  Json post, get;
  for (const auto& r : records) (r["method"] == "POST" ? post : get) = r;
  EXPECT_EQ(post["query"], (Json{{"optin", "yes"},
                                 {"identify", "true"},
                                 {"track", "true"},
                                 {"cookieSync", "false"},
                                 {"env", "mApp"}}));
  EXPECT_EQ(post["headers"]["authorization"], "Basic " + Base64::encode("w_k:key"));
  ASSERT_TRUE(get.is_object());
  EXPECT_EQ(get["payload"],
            (Json{{"user_email", "jane@example.com"}, {"user_ki", p.identity->ki()}}));
  EXPECT_EQ(get["write_key"], "key");
  EXPECT_EQ(get["query"]["user_country"], "DE");
  EXPECT_EQ(user["app_version"], "1.0");
  EXPECT_TRUE(post["headers"]["user-agent"].get<std::string>().ends_with(" Road/1.0 Mobile"));

  // The host updates its bundle info: what follows carries the new version, also where nothing
  // else changed (with logging off the text of the user data is reused).
  Log::setEnabled(false);
  p.runOnManager([&] { p.manager->logEvent("same_user", {}); });
  Platform::setBundleInfo({{"CFBundleName", "Road"}, {"CFBundleShortVersionString", "2.0"}});
  p.runOnManager([&] { p.manager->logEvent("updated", {}); });
  ASSERT_TRUE(p.flush());
  Log::setEnabled(true);
  records = collector.records();
  events = Collector::acceptedEvents(records);
  ASSERT_EQ(names(events),
            (std::vector<std::string>{"before_page", "purchase", "same_user", "updated"}));
  EXPECT_EQ(events[2]["user"]["app_version"], "1.0");
  EXPECT_EQ(events[3]["user"]["app_version"], "2.0");
  Json lastPost;
  for (const auto& r : records) {
    if (r["method"] == "POST") lastPost = r;
  }
  EXPECT_TRUE(lastPost["headers"]["user-agent"].get<std::string>().ends_with(" Road/2.0 Mobile"));
  Platform::setBundleInfo(Json::object());
}

// While events cannot go (consent undecided) only the newest maxCacheSize wait, the rest
// counted and warned about, also when the manager is busy and 20,000 reports pile up in its
// intake; once consent is given the backlog drains batch after batch, in order, without waiting
// for a timer.
TEST(PipelineTest, AStalledBacklogKeepsTheNewestAndDrainsWithoutATimer) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  auto option = Pipeline::options(30, 75);
  option->setUseConsent(true);  // unresolved until the app decides: events wait in the store
  Pipeline p(option, collector.baseUrl(), collector.caFile());
  p.resolveConsent();
  p.settle();
  LogCapture log;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  p.manager->dispatchQueue().async([released] { released.wait(); });
  p.report(20000);
  release.set_value();
  p.settle();
  auto left = p.stored();
  ASSERT_EQ(left.size(), 75u);
  for (size_t i = 0; i < left.size(); ++i) {
    EXPECT_EQ(left[i].event["eventName"], "e" + std::to_string(i + 19925));
  }
  auto stats = p.manager->deliveryStats();
  EXPECT_EQ(stats.droppedByCacheCap, 19925u);
  EXPECT_EQ(stats.reported, 20000u);
  EXPECT_EQ(log.count(LogLevel::warning, "of the oldest events reported"), 1u);  // warned once
  EXPECT_EQ(log.count(LogLevel::warning, "of the oldest events"),
            log.count(LogLevel::warning, "consent to track is not given"));
  EXPECT_TRUE(collector.records().empty());

  p.decideConsent({{"track", true}, {"identify", true}});
  ASSERT_TRUE(p.settle());
  auto records = collector.records();
  EXPECT_EQ(batchSizes(records), (std::vector<size_t>{30, 30, 15}));  // the last one partial
  auto sent = names(Collector::acceptedEvents(records));
  ASSERT_EQ(sent.size(), 75u);
  for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], "e" + std::to_string(i + 19925));
  EXPECT_EQ(p.storedCount(), 0);
}

TEST(PipelineTest, ARecordStoredDuringAFlightSurvivesItsSuccess) {
  Collector collector({"--delay-ms", "400"});
  ASSERT_TRUE(collector.started());
  auto time = std::make_shared<FakeTimeSource>();
  Pipeline p(Pipeline::options(10), collector.baseUrl(), collector.caFile(), {}, time);
  p.resolveConsent();
  logEvents(p, 8);
  ASSERT_TRUE(p.settle());
  logEvents(p, 1, "ninth");
  ASSERT_TRUE(p.settle());
  EXPECT_EQ(collector.posts(), 0u);  // 8 stored and 1 more: below batchSize, nothing goes
  EXPECT_EQ(p.storedCount(), 9);
  logEvents(p, 1, "tenth");            // the tenth starts a batch
  p.manager->dispatchQueue().drain();  // the events
  p.db->databaseQueue().drain();       // their commit and the size check after it
  LogCapture log;
  p.runOnManager([&] { p.manager->logEvent("late", {}); });
  time->advance(3600s);  // the interval timer, while the batch is out
  ASSERT_TRUE(log.contains(LogLevel::info, "checkAndTranferEvents: isDispatchInProgress - true"));
  ASSERT_TRUE(p.settle());
  // The first success deleted its ten only; the late record followed in a batch of its own.
  auto records = collector.records();
  EXPECT_EQ(batchSizes(records), (std::vector<size_t>{10, 1}));
  auto sent = names(Collector::acceptedEvents(records));
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "late"), 1);
  EXPECT_EQ(sent.back(), "late");
  EXPECT_EQ(p.storedCount(), 0);
}

// One interval chain, however often consent is set: each interval sends what is stored, a
// partial batch too, and the timer is set again; tracking refused at a tick ends the chain and
// the next grant starts it again.
TEST(PipelineTest, TheIntervalTimerSendsAPartialBatchAndRearms) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  auto option = Pipeline::options(50, 100, 60);
  option->setUseConsent(true);
  auto time = std::make_shared<FakeTimeSource>();
  Pipeline p(option, collector.baseUrl(), collector.caFile(), {}, time);
  auto decide = [&](bool track) { p.decideConsent({{"track", track}, {"identify", track}}); };
  LogCapture log;
  const auto ticks = [&] {
    return log.count(LogLevel::info, "scheduleEventDispatchOnIntervalThreshold");
  };
  const auto advance = [&](std::chrono::seconds by) {
    time->advance(by);
    return p.settle();
  };
  p.resolveConsent();
  decide(true);
  p.manager->scheduleIntervalDispatch();  // armed again: still one chain
  logEvents(p, 3);
  ASSERT_TRUE(p.settle());
  ASSERT_TRUE(advance(59s));
  EXPECT_EQ(ticks(), 0u);
  EXPECT_EQ(collector.posts(), 0u);
  ASSERT_TRUE(advance(1s));
  EXPECT_EQ(ticks(), 1u);
  EXPECT_EQ(batchSizes(collector.records()), std::vector<size_t>{3});
  logEvents(p, 1, "next");
  ASSERT_TRUE(p.settle());
  ASSERT_TRUE(advance(60s));  // set again
  EXPECT_EQ(ticks(), 2u);
  EXPECT_EQ(batchSizes(collector.records()), (std::vector<size_t>{3, 1}));

  decide(false);
  ASSERT_TRUE(advance(600s));  // the tick that finds tracking refused is the last
  EXPECT_EQ(ticks(), 3u);
  decide(true);
  logEvents(p, 2, "again");
  ASSERT_TRUE(p.settle());
  ASSERT_TRUE(advance(60s));
  EXPECT_EQ(ticks(), 4u);
  EXPECT_EQ(batchSizes(collector.records()), (std::vector<size_t>{3, 1, 2}));
}

// The consent entries of the batch query: the five base ones without checkForCMP, and the CMP's
// with it; its consent string only when there is one.
TEST(PipelineTest, TcfValuesDriveTheConsentParameters) {
  const Json base = {{"optin", "yes"},
                     {"identify", "true"},
                     {"track", "true"},
                     {"cookieSync", "false"},
                     {"env", "mApp"}};
  const Json granted = {{"track", true}, {"identify", true}};
  struct Case {
    const char* name;
    bool checkForCMP;
    std::optional<std::string> tcString;  // the CMP decides when there is one
    Json appConsent;                      // else the app decides
    Json extra;
  };
  const std::vector<Case> cases = {
      {"app consent", false, std::nullopt, granted, Json::object()},
      {"cmp",
       true,
       "COtcf+/=",
       nullptr,
       {{"cmp", "1"}, {"gdpr", "1"}, {"gdpr_consent", "COtcf+/="}, {"vendorConsent", "false"}}},
      {"cmp, no consent string",
       true,
       std::nullopt,
       granted,
       {{"cmp", "1"}, {"gdpr", "0"}, {"vendorConsent", "false"}}},
      {"cmp, an empty consent string",
       true,
       std::nullopt,
       {{"track", true}, {"identify", true}, {"gdprApplies", true}, {"consentString", ""}},
       {{"cmp", "1"}, {"gdpr", "1"}, {"vendorConsent", "false"}}},
  };
  for (const auto& c : cases) {
    Collector collector;
    ASSERT_TRUE(collector.started());
    auto option = Pipeline::options();
    option->setUseConsent(true);
    option->setCheckForCMP(c.checkForCMP);
    Pipeline p(option, collector.baseUrl(), collector.caFile());
    Preferences& cmp = Preferences::standard();
    cmp.set("IABTCF_PolicyVersion", 2);
    cmp.set("IABTCF_gdprApplies", 1);
    cmp.set("IABTCF_PurposeConsents", "1111111111");
    if (c.tcString) {
      cmp.set("IABTCF_TCString", *c.tcString);
    } else {
      cmp.remove("IABTCF_TCString");
    }
    p.resolveConsent();
    if (c.appConsent.is_object()) p.decideConsent(c.appConsent);
    logEvents(p, 10);
    ASSERT_TRUE(p.settle()) << c.name;
    // The batches, and the identity request that starting sends whatever the consent.
    std::vector<Json> batches;
    size_t identities = 0;
    for (const auto& r : collector.records()) {
      if (r["method"] == "POST") batches.push_back(r);
      if (r["method"] == "GET") ++identities;
    }
    EXPECT_GE(identities, 1u) << c.name;
    ASSERT_FALSE(batches.empty()) << c.name;
    Json expected = base;
    expected.update(c.extra);
    EXPECT_EQ(batches[0]["query"], expected) << c.name;
  }
}

// Timers and requests cannot run away: an interval beyond the clock's range waits for ever,
// and a request that cannot be formed counts as a failed attempt that backs off: nothing is
// tried again before the wait ends, and once it has, one try goes.
TEST(PipelineTest, AHugeIntervalAndAnUnformableUrlRunNothingAway) {
  LogCapture log;
  auto option = Pipeline::options(10, 100, 10000000000);
  auto time = std::make_shared<FakeTimeSource>();
  Pipeline p(option, "https://exa mple.com/", "", {}, time);
  p.resolveConsent();
  p.report(10);
  ASSERT_TRUE(p.settle());
  EXPECT_EQ(p.manager->deliveryStats().failedAttempts, 1u);
  EXPECT_TRUE(log.contains(LogLevel::error, "\"https://exa mple.com/fp\""));
  p.report(10, "more");  // a size trigger within the wait sends nothing
  ASSERT_TRUE(p.settle());
  time->advance(700ms);  // shorter than the first wait
  ASSERT_TRUE(p.settle());
  EXPECT_EQ(p.manager->deliveryStats().failedAttempts, 1u);
  time->advance(24h * 365 * 100);  // one try at the end of the wait; the interval never comes
  ASSERT_TRUE(p.settle());
  EXPECT_EQ(p.manager->deliveryStats().failedAttempts, 2u);
  EXPECT_EQ(log.count(LogLevel::info, "scheduleEventDispatchOnIntervalThreshold"), 0u);
  EXPECT_EQ(p.storedCount(), 20);
}

// The host's filter sees each event as it would go out, the page and user events and instant
// events included, after it is enriched and before it is stored, on the library's queue; what it
// returns is what the endpoint gets, under the eventUUID the event was made with. An event it
// drops, or fails on (it throws, or returns what is not a record), is counted and never sent, an
// instant one too, with an error line for each failure. Without a filter the record goes as it
// was made.
TEST(PipelineTest, TheHostsFilterScrubsOrDropsWhatLeaves) {
  struct Seen {
    std::mutex mutex;
    std::map<std::string, std::string> uuids;  // by event name
    bool onCaller = false;
  };
  const EventFilter scrub = [](Json record) -> std::optional<Json> {
    record["user"].erase("carrier");
    if (record["event"].contains("card")) record["event"]["card"] = "****";
    record["eventUUID"] = "changed";  // not the filter's to change
    return record;
  };
  struct Case {
    const char* name;
    EventFilter
        onCard;  // what the filter does with the two events that carry a card; none: no filter
    size_t errorLines;
  };
  const Case cases[] = {
      {"no filter", nullptr, 0},
      {"scrubs", scrub, 0},
      {"drops", [](Json) -> std::optional<Json> { return std::nullopt; }, 0},
      {"throws", [](Json) -> std::optional<Json> { throw std::runtime_error("no"); }, 2},
      {"returns an array", [](Json) -> std::optional<Json> { return Json::array(); }, 2},
      {"removes the name",
       [](Json record) -> std::optional<Json> {
         record["event"].erase("eventName");
         return record;
       },
       2},
  };
  const std::string card = "4111 1111 1111 1111";
  std::optional<uint64_t> reported;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool filtered = c.onCard != nullptr;
    const bool dropped = filtered && c.name != std::string("scrubs");
    auto seen = std::make_shared<Seen>();
    EventFilter filter;
    if (filtered) {
      filter = [seen, c, scrub,
                caller = std::this_thread::get_id()](Json record) -> std::optional<Json> {
        {
          std::lock_guard lock(seen->mutex);
          seen->uuids[record["event"]["eventName"].get<std::string>()] =
              record["eventUUID"].get<std::string>();
          seen->onCaller = seen->onCaller || std::this_thread::get_id() == caller;
        }
        return record["event"].contains("card") ? c.onCard(std::move(record))
                                                : scrub(std::move(record));
      };
    }
    Platform::setEventFilter(filter);
    Collector collector;
    ASSERT_TRUE(collector.started());
    Pipeline p(Pipeline::options(), collector.baseUrl(), collector.caFile());
    p.resolveConsent();
    LogCapture log;
    p.manager->setPageProperties({{"screen", "pay"}});
    p.manager->setUserProperties({{"plan", "gold"}});
    p.manager->reportEvent("pay", {{"card", card}, {"amount", 12}});
    p.manager->logInstantEvent("pay_now", {{"card", card}});
    ASSERT_TRUE(p.flush());
    auto events = Collector::acceptedEvents(collector.records());
    auto sent = names(events);
    std::sort(sent.begin(), sent.end());
    std::vector<std::string> expected = {"set_page_properties", "set_user_properties"};
    if (!dropped) expected = {"pay", "pay_now", "set_page_properties", "set_user_properties"};
    ASSERT_EQ(sent, expected);
    for (const Json& e : events) {
      const std::string name = e["event"]["eventName"];
      SCOPED_TRACE(name);
      EXPECT_EQ(e["user"].contains("carrier"), !filtered);
      EXPECT_TRUE(e["user"].contains("os_type"));
      EXPECT_EQ(e["version"], "1.3.0");
      if (name == "pay" || name == "pay_now") {
        EXPECT_EQ(e["event"]["card"], filtered ? "****" : card);
      }
      if (name == "pay") {
        EXPECT_EQ(e["event"]["amount"], 12);
      }
      if (name == "set_page_properties") {
        EXPECT_EQ(e["page"], (Json{{"screen", "pay"}}));
      }
      if (name == "set_user_properties") {
        EXPECT_EQ(e["user"]["plan"], "gold");
      }
      std::lock_guard lock(seen->mutex);
      if (filtered) {
        EXPECT_EQ(e["eventUUID"], seen->uuids[name]);
      }
    }
    const auto stats = p.manager->deliveryStats();
    EXPECT_EQ(stats.droppedByFilter, dropped ? 2u : 0u);
    if (!reported) reported = stats.reported;  // dropped events count as reported too
    EXPECT_EQ(stats.reported, *reported);
    EXPECT_EQ(log.count(LogLevel::error, "\"pay"), c.errorLines);
    std::lock_guard lock(seen->mutex);
    EXPECT_EQ(seen->uuids.size(), filtered ? 4u : 0u);
    EXPECT_FALSE(seen->onCaller);
  }
  Platform::setEventFilter({});
}

}  // namespace
}  // namespace kelvor
