#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

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

// An event from the report to the endpoint, the consent management platform deciding: its words
// join the batch query, its consent string among them.
TEST(PipelineTest, TheRoadOfOneEvent) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  Platform::setBundleInfo({{"CFBundleName", "Road"}, {"CFBundleShortVersionString", "1.0"}});
  auto option = Pipeline::options();
  option->setUseConsent(true);
  option->setCheckForCMP(true);
  Pipeline p(option, collector.baseUrl(), collector.caFile());
  Preferences& cmp = Preferences::standard();
  cmp.set("IABTCF_PolicyVersion", 2);
  cmp.set("IABTCF_gdprApplies", 1);
  cmp.set("IABTCF_PurposeConsents", "1111111111");
  cmp.set("IABTCF_TCString", "COtcf+/=");
  p.resolveConsent();
  p.settle();
  p.runOnManager([&] { p.manager->logEvent("before_page", {}); });
  p.pages->merge({{"screen", "checkout"}});
  p.runOnManager([&] {
    p.manager->logEvent("purchase", {{"eventName", "x"},
                                     {"eventTimestamp", "0"},
                                     {"note", "say \"hi\"\\\n\x01\x7f\xc3\xa9\xff"},
                                     {"ta\"g", Json::array({1.5, "a\\b", Json::object()})}});
  });
  ASSERT_TRUE(p.flush());

  auto events = Collector::acceptedEvents(collector.records());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["event"]["eventName"], "before_page");
  EXPECT_FALSE(events[0].contains("page"));  // no page properties: no "page" at all
  EXPECT_EQ(events[0].size(), 4u);
  const Json& e = events[1];
  EXPECT_TRUE(
      std::regex_match(e["eventUUID"].get<std::string>(),
                       std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")));
  EXPECT_EQ(e["event"]["eventName"], "purchase");
  // Texts that need escaping arrive as given; an invalid byte as the replacement character.
  EXPECT_EQ(e["event"]["note"], "say \"hi\"\\\n\x01\x7f\xc3\xa9\xef\xbf\xbd");
  EXPECT_EQ(e["event"]["ta\"g"], Json::array({1.5, "a\\b", Json::object()}));
  std::string timestamp = e["event"]["eventTimestamp"];
  EXPECT_TRUE(std::regex_match(timestamp, std::regex("[0-9]{13}")));
  EXPECT_EQ(e["page"], (Json{{"screen", "checkout"}}));
  EXPECT_EQ(e["version"], "1.3.0");
  const Json& user = e["user"];
  EXPECT_EQ(user["network_type"], "wi-fi");
  EXPECT_EQ(user["ki"], p.identity->ki());
  EXPECT_EQ(user["carrier"], "Simulator");
  for (const char* key :
       {"app_name", "app_version", "device_model_identifier", "os_type", "os_version"}) {
    EXPECT_TRUE(user.contains(key)) << key;
  }
  const auto lastPost = [&] {
    const auto all = collector.records();
    return *std::find_if(all.rbegin(), all.rend(),
                         [](const Json& r) { return r["method"] == "POST"; });
  };
  const Json post = lastPost();
  EXPECT_EQ(post["query"], (Json{{"optin", "yes"},
                                 {"identify", "true"},
                                 {"track", "true"},
                                 {"cookieSync", "false"},
                                 {"env", "mApp"},
                                 {"cmp", "1"},
                                 {"gdpr", "1"},
                                 {"gdpr_consent", "COtcf+/="},
                                 {"vendorConsent", "false"}}));
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
  events = Collector::acceptedEvents(collector.records());
  ASSERT_EQ(names(events),
            (std::vector<std::string>{"before_page", "purchase", "same_user", "updated"}));
  EXPECT_EQ(events[2]["user"]["app_version"], "1.0");
  EXPECT_EQ(events[3]["user"]["app_version"], "2.0");
  EXPECT_TRUE(lastPost()["headers"]["user-agent"].get<std::string>().ends_with(" Road/2.0 Mobile"));
  Platform::setBundleInfo(Json::object());
}

// While events cannot go (consent undecided) only the newest maxCacheSize wait, the rest
// counted and warned about, also when the manager is busy and 20,000 reports pile up in its
// intake; once consent is given the backlog drains batch after batch, in order, without waiting
// for a timer, and the bound no longer applies.
TEST(PipelineTest, AStalledBacklogKeepsTheNewestAndDrainsWithoutATimer) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  auto option = Pipeline::options(30, 75);
  option->setUseConsent(true);  // unresolved until the app decides: events wait in the store
  Pipeline p(option, collector);
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

  // The bound applies only while delivery is stalled: a burst to a healthy endpoint arrives whole,
  // each event once and in order.
  p.report(20000, "b");
  ASSERT_TRUE(p.flush(180s));
  sent = collector.acceptedNames();
  ASSERT_EQ(sent.size(), 20075u);
  for (size_t i = 0; i < 20000; ++i) ASSERT_EQ(sent[75 + i], "b" + std::to_string(i));
  EXPECT_EQ(p.manager->deliveryStats().droppedByCacheCap, 19925u);
}

TEST(PipelineTest, ARecordStoredDuringAFlightSurvivesItsSuccess) {
  Collector collector({"--delay-ms", "400"});
  ASSERT_TRUE(collector.started());
  auto time = std::make_shared<FakeTimeSource>();
  Pipeline p(Pipeline::options(10), collector, time);
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
// instant one too, with an error line for each failure. (Without a filter the record goes as it
// was made: TheRoadOfOneEvent.)
TEST(PipelineTest, TheHostsFilterScrubsOrDropsWhatLeaves) {
  struct Seen {
    std::mutex mutex;
    std::map<std::string, std::string> uuids;  // by event name
    bool onCaller = false;
  };
  auto seen = std::make_shared<Seen>();
  // What the filter does follows the event's name; what it keeps loses the carrier, its card
  // masked.
  Platform::setEventFilter(
      [seen, caller = std::this_thread::get_id()](Json record) -> std::optional<Json> {
        const std::string name = record["event"]["eventName"];
        {
          std::lock_guard lock(seen->mutex);
          seen->uuids[name] = record["eventUUID"].get<std::string>();
          seen->onCaller = seen->onCaller || std::this_thread::get_id() == caller;
        }
        if (name.starts_with("drop")) return std::nullopt;
        if (name.starts_with("throw")) throw std::runtime_error("no");
        if (name.starts_with("array")) return Json::array();
        if (name.starts_with("unnamed")) record["event"].erase("eventName");
        record["user"].erase("carrier");
        if (record["event"].contains("card")) record["event"]["card"] = "****";
        record["eventUUID"] = "changed";  // not the filter's to change
        return record;
      });
  Collector collector;
  ASSERT_TRUE(collector.started());
  Pipeline p(Pipeline::options(), collector);
  LogCapture log;
  p.manager->setPageProperties({{"screen", "pay"}});
  p.manager->setUserProperties({{"plan", "gold"}});
  for (const std::string mode : {"scrub", "drop", "throw", "array", "unnamed"}) {
    p.manager->reportEvent(mode, {{"card", "4111 1111 1111 1111"}});
    p.manager->logInstantEvent(mode + "_now", {{"card", "4111 1111 1111 1111"}});
  }
  ASSERT_TRUE(p.flush());
  Platform::setEventFilter({});
  const auto events = Collector::acceptedEvents(collector.records());
  auto sent = names(events);
  std::sort(sent.begin(), sent.end());
  EXPECT_EQ(sent, (std::vector<std::string>{"scrub", "scrub_now", "set_page_properties",
                                            "set_user_properties"}));
  std::lock_guard lock(seen->mutex);
  for (const Json& e : events) {
    const std::string name = e["event"]["eventName"];
    EXPECT_FALSE(e["user"].contains("carrier")) << name;
    EXPECT_EQ(e["eventUUID"], seen->uuids[name]) << name;
    EXPECT_EQ(e["event"].value("card", ""), name.starts_with("scrub") ? "****" : "") << name;
  }
  EXPECT_EQ(seen->uuids.size(), 12u);
  EXPECT_FALSE(seen->onCaller);
  const auto stats = p.manager->deliveryStats();
  EXPECT_EQ(stats.droppedByFilter, 8u);
  EXPECT_EQ(stats.reported, stats.sent + stats.droppedByFilter);  // dropped events count too
  for (const char* failed : {"\"drop", "\"throw", "\"array", "\"unnamed"}) {
    EXPECT_EQ(log.count(LogLevel::error, failed), failed[1] == 'd' ? 0u : 2u) << failed;
  }
}

}  // namespace
}  // namespace kelvor
