// Faults real hosts meet, driven for real: the collector refusing, failing or never answering,
// a store file that is damaged, locked by another connection or on a full disk; and where the host
// meets the library: its callbacks may fail, its configuration may be wrong at first, and the
// library neither dies nor misleads.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <thread>

#include "pipeline/Backoff.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/Collector.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/LogCapture.hpp"
#include "support/Pipeline.hpp"
#include "support/RawStore.hpp"
#include "support/TestHost.hpp"

namespace kelvor {
namespace {

using namespace std::chrono_literals;
using testing::Collector;
using testing::FakeTimeSource;
using testing::LogCapture;
using testing::Pipeline;
using testing::TestHost;

// One event the endpoint refuses for its content: batches are halved until it stands alone, it
// is dropped with an error line and counted, and the other 99 arrive.
TEST(DeliveryFaultsTest, ARefusedEventIsIsolatedAndTheOthersGo) {
  struct Case {
    const char* name;
    std::vector<std::string> flags;
    Json bad;
    int status;
  };
  const std::vector<Case> cases = {
      {"poison", {"--refuse-text", "POISON"}, Json{{"tag", "POISON"}}, 400},
      {"too large", {"--max-body", "65536"}, Json{{"blob", std::string(100000, 'x')}}, 413},
  };
  for (const auto& c : cases) {
    Collector collector(c.flags);
    ASSERT_TRUE(collector.started());
    Pipeline p(Pipeline::options(10, 200), collector);
    LogCapture log;
    for (int i = 0; i < 100; ++i) {
      p.manager->reportEvent("e" + std::to_string(i), i == 37 ? c.bad : Json::object());
    }
    EXPECT_TRUE(p.flush()) << c.name;
    auto names = collector.acceptedNames();
    EXPECT_EQ(names.size(), 99u) << c.name;
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).count("e37"), 0u);
    auto stats = p.manager->deliveryStats();
    EXPECT_EQ(stats.sent, 99u);
    EXPECT_EQ(stats.droppedRefused, 1u);
    EXPECT_EQ(
        log.count(LogLevel::error, "with status " + std::to_string(c.status) + "; it was dropped"),
        1u);
    // The named line for every refused batch, beside the line that says more.
    const auto records = collector.records();
    const auto refused = static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [&](const Json& r) { return r["status"] == c.status; }));
    EXPECT_GE(refused, 2u) << c.name;
    EXPECT_EQ(log.count(LogLevel::error, "[Code] :: " + std::to_string(c.status) + " - "), refused)
        << c.name;
    EXPECT_EQ(p.storedCount(), 0);
    // An instant event refused alone: its named line too.
    p.manager->logInstantEvent("instant", c.bad);
    EXPECT_TRUE(p.flush()) << c.name;
    EXPECT_EQ(log.count(LogLevel::error, "Failed to log events"), 1u) << c.name;
    EXPECT_EQ(p.manager->deliveryStats().droppedRefused, 2u) << c.name;
  }
}

// Batches are cut before 1 MiB; an event too large for the store is refused at the call.
TEST(DeliveryFaultsTest, BodiesStayBelowOneMebibyteAndOversizedEventsAreRefused) {
  Collector collector({"--max-body", "1048575"});
  ASSERT_TRUE(collector.started());
  Pipeline p(Pipeline::options(50, 200), collector);
  LogCapture log;
  p.report(8, "large", Json{{"blob", std::string(200 * 1024, 'y')}});
  p.report(20, "small");
  p.report(1, "huge", Json{{"blob", std::string(300 * 1024, 'z')}});
  EXPECT_TRUE(p.flush());
  for (const auto& r : collector.records()) EXPECT_EQ(r["status"], 200) << r.value("problem", "");
  EXPECT_EQ(collector.acceptedNames().size(), 28u);
  EXPECT_GE(collector.posts(), 2u);
  EXPECT_EQ(p.manager->deliveryStats().refusedInvalid, 1u);
  EXPECT_TRUE(log.contains(LogLevel::error, "\"huge0\" is refused"));
}

// An outage, in simulated time: while the endpoint fails each wait is longer than the last, so
// a minute of failures while the app reports five events a second costs a handful of requests,
// not one per event; a wait the endpoint asked for with Retry-After runs to its end. The store
// keeps what it held when the failures began and the newest maxCacheSize events reported since
// (the rest counted, with a warning). A network that comes back cuts short only a wait the
// endpoint did not ask for. Once the endpoint is back, the backlog goes one batch per gap, a
// flush at once, and everything kept arrives once.
TEST(DeliveryFaultsTest, AnOutageBacksOffAndEverythingArrivesAfter) {
  struct Case {
    const char* name;
    std::vector<std::string> fault;
    bool endpointAsked;
    size_t leastBy8s, mostBy8s;  // requests in the first eight seconds
  };
  const std::vector<Case> cases = {
      // 1, 2 and 4 s apart, and their jitter.
      {"no answer", {"--drop-every", "1"}, false, 3, 4},
      // 8 s and a little more: a date read on the server's clock, an hour ahead of this one.
      {"503 with Retry-After",
       {"--status", "503", "--retry-after", "+8", "--clock-skew", "3600"},
       true,
       1,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Collector collector(c.fault);
    ASSERT_TRUE(collector.started());
    auto time = std::make_shared<FakeTimeSource>();
    Pipeline p(Pipeline::options(10, 40), collector, time);
    LogCapture warnings;
    int reported = 0;
    for (int second = 1; second <= 60; ++second) {
      for (int i = 0; i < 5; ++i) {
        p.manager->reportEvent("o" + std::to_string(reported++), Json::object());
      }
      ASSERT_TRUE(p.settle());
      time->advance(1s);
      ASSERT_TRUE(p.settle());
      if (second == 8) {
        EXPECT_GE(collector.posts(), c.leastBy8s);
        EXPECT_LE(collector.posts(), c.mostBy8s);
      }
    }
    EXPECT_GE(collector.posts(), 4u);
    EXPECT_LE(collector.posts(), 8u);
    // A failed flush sets a fresh wait, far longer than a network's random delay.
    EXPECT_FALSE(p.flush(1s));
    const size_t failed = collector.posts();
    EXPECT_EQ(p.manager->deliveryStats().failedAttempts, failed);

    LogCapture log;
    p.source->change(0);
    p.source->change(0x2);
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (log.count(LogLevel::info, "reachability.connection - ") < 2 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(10ms);
    }
    DispatchQueue::main().drain();
    time->advance(Backoff::longestNetworkDelay);
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(collector.posts(), failed + (c.endpointAsked ? 0 : 1));

    if (!collector.restart()) GTEST_SKIP() << "cannot restart the collector on its port";
    const size_t before = collector.posts();
    time->advance(Backoff::longestDelay * 2);  // the try at the end of the wait
    ASSERT_TRUE(p.settle());
    EXPECT_EQ(collector.posts(), before + 1);  // then a gap before the next batch
    EXPECT_TRUE(p.flush());
    auto events = Collector::acceptedEvents(collector.records());
    const auto dropped = p.manager->deliveryStats().droppedByCacheCap;
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(events.size() + dropped, static_cast<size_t>(reported));
    EXPECT_EQ(Collector::distinct(events), events.size());
    const auto names = Collector::names(events);
    const std::set<std::string> kept(names.begin(), names.end());
    for (int i = 0; i < 10; ++i) EXPECT_EQ(kept.count("o" + std::to_string(i)), 1u) << i;
    for (int i = reported - 40; i < reported; ++i) {
      EXPECT_EQ(kept.count("o" + std::to_string(i)), 1u) << i;
    }
    EXPECT_TRUE(warnings.contains(LogLevel::warning, "of the oldest events"));
  }
}

// Files SQLite cannot read are moved aside and replaced; every later event is delivered.
TEST(DeliveryFaultsTest, AnUnreadableStoreFileIsReplacedAndCaptureGoesOn) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> damage;
    bool movedAside;
  };
  auto truncated = [](const std::filesystem::path& file) {
    testing::rawExec(file,
                     "CREATE TABLE events(eventUUID TEXT PRIMARY KEY,events TEXT,page TEXT,user "
                     "TEXT,version TEXT);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<2000) "
                     "INSERT INTO events SELECT 'old-'||i, '{\"eventName\":\"old\"}', '{}', "
                     "printf('{\"pad\":\"%.200c\"}', 'p'), '1.3.0' FROM n;");
    std::filesystem::resize_file(file, std::filesystem::file_size(file) / 3);
  };
  const std::vector<Case> cases = {
      {"garbage",
       [](const std::filesystem::path& file) {
         std::ofstream(file) << std::string(70000, 'G') << "not a database";
       },
       true},
      {"truncated", truncated, true},
      {"zero-length", [](const std::filesystem::path& file) { std::ofstream{file}; }, false},
  };
  Collector collector;
  ASSERT_TRUE(collector.started());
  for (const auto& c : cases) {
    LogCapture log;
    Pipeline p(Pipeline::options(10, 200), collector.baseUrl(), collector.caFile(),
               [&](const std::filesystem::path& dir) {
                 std::filesystem::create_directories(dir);
                 c.damage(dir / "kelvorDB.sqlite");
               });
    p.resolveConsent();
    const size_t before = Collector::acceptedEvents(collector.records()).size();
    p.report(30, std::string(c.name) + "-");
    EXPECT_TRUE(p.flush()) << c.name;
    EXPECT_EQ(Collector::acceptedEvents(collector.records()).size() - before, 30u) << c.name;
    bool aside = false;
    for (const auto& entry : std::filesystem::directory_iterator(p.sandbox.documents())) {
      aside |= entry.path().filename().string().rfind("kelvorDB.sqlite.corrupt-", 0) == 0;
    }
    EXPECT_EQ(aside, c.movedAside) << c.name;
    EXPECT_EQ(log.contains(LogLevel::error, "cannot be read"), c.movedAside) << c.name;
  }
}

// Another connection holds the write lock longer than the busy timeout: the events reported
// meanwhile wait in memory and are stored and sent once it lets go. A batch stored before goes
// while the lock is still held: a failed commit runs the size trigger too.
TEST(DeliveryFaultsTest, AWriteLockHeldPastTheBusyTimeoutLosesNothing) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  Pipeline p(Pipeline::options(10, 200), collector);
  ASSERT_TRUE(p.settle());
  ASSERT_TRUE(testing::rawExec(
      p.db->location(),
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 9) INSERT INTO "
      "events SELECT 'B' || i, '{\"eventName\":\"before\"}', '{}', '{}', '1.3.0' FROM n;"));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(p.db->location().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other,
                         "BEGIN IMMEDIATE; INSERT INTO events VALUES('OTHER',"
                         "'{\"eventName\":\"other\"}','{}','{}','1.3.0');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::atomic<bool> sentWhileLocked{false};
  std::thread holder([&] {
    // Past the busy timeout (the commit fails only then), until the batch stored before arrived.
    collector.waitFor(
        [](const std::vector<Json>& all) { return Collector::acceptedEvents(all).size() >= 10; },
        20s);
    sentWhileLocked = Collector::acceptedEvents(collector.records()).size() >= 10;
    sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(other);
  });
  LogCapture log;
  p.report(100);
  holder.join();
  EXPECT_TRUE(sentWhileLocked);
  EXPECT_TRUE(p.flush());
  auto events = Collector::acceptedEvents(collector.records());
  EXPECT_EQ(events.size(), 111u);
  EXPECT_EQ(Collector::distinct(events), 111u);
  EXPECT_TRUE(log.contains(LogLevel::warning, "kept in memory"));
  EXPECT_EQ(p.manager->deliveryStats().stored, 100u);
}

// The endpoint accepts a batch the store cannot delete (its disk is full): the batch is never
// sent again, requests stay few while the disk is full, and nothing reported meanwhile is lost.
TEST(DeliveryFaultsTest, AFullDiskNeitherResendsNorLoses) {
  Collector collector({"--delay-ms", "1500"});
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  TestHost host("full-disk", folder.path(), collector, 10);
  const int rc = host.wait();
  if (rc == 77) GTEST_SKIP() << "mounting a small tmpfs is not allowed here (needs root)";
  EXPECT_EQ(rc, 0) << host.output();
  auto events = Collector::acceptedEvents(collector.records());
  EXPECT_EQ(events.size(), 20u);
  EXPECT_EQ(Collector::distinct(events), events.size());  // nothing twice
  std::printf("requests with a full disk, 10 s and after: %zu\n", collector.posts());
  EXPECT_LE(collector.posts(), 9u);
}

// A kill -9 in the middle of grouped commits leaves a store that opens as it is, every event
// in it whole.
TEST(DeliveryFaultsTest, AKilledProcessLeavesEveryStoredEventWhole) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  for (auto delay : {150ms, 400ms, 900ms}) {
    testing::TempDir folder;
    {
      TestHost host("spin", folder.path(), collector, 0);
      std::this_thread::sleep_for(delay);
      host.kill();
    }
    LogCapture log;
    auto db = SQLiteDatabase::open(folder.path() / "documents", SQLiteDatabase::fileName);
    EXPECT_FALSE(log.contains(LogLevel::error, "cannot be read"));
    std::vector<StoredRow> rows;
    db->databaseQueue().sync([&] { rows = db->readAfter(0, 1000000); });
    for (auto& row : rows) EXPECT_TRUE(row.decode()) << row.eventUUID;
    EXPECT_EQ(testing::rawColumn(db->location(), "PRAGMA integrity_check;"),
              std::vector<std::string>{"ok"});
  }
}

// Rows another program wrote into the store are pending here too; those whose event cannot be
// read back are deleted with an error line and counted, never sent as events without a name. A
// page or user column that holds no object reads as empty, and its event goes. The backlog
// survives a failure that passes: a flush against an endpoint failing every third request keeps
// trying until all of it is accepted, and the cache cap drops nothing.
TEST(DeliveryFaultsTest, AForeignBacklogGoesWholeThroughPassingFailuresButUndecodableRows) {
  Collector collector({"--fail-every", "3"});
  ASSERT_TRUE(collector.started());
  Pipeline p(Pipeline::options(50, 100), collector.baseUrl(), collector.caFile());
  ASSERT_TRUE(testing::rawExec(
      p.db->location(),
      "INSERT INTO events VALUES"
      "('A','not json','{}','{}','1.3.0'),"
      "('B','{\"noName\":1}','{}','{}','1.3.0'),"
      "('','{\"eventName\":\"no id\"}','{}','{}','1.3.0'),"
      "('C','{\"eventName\":\"p\"}','[1]','{}','1.3.0'),"
      "('D','{\"eventName\":\"u\"}','{}','\"oops\"','1.3.0');"
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 999) "
      "INSERT INTO events SELECT 'ID-' || i, '{\"eventName\":\"b' || i || '\"}', '{}', '{}', "
      "'1.3.0' FROM n;"));
  // Rows another connection committed count as pending here too.
  EXPECT_EQ(p.manager->deliveryStats().pending, 1005);
  p.resolveConsent();
  LogCapture log;
  p.report(2);
  EXPECT_TRUE(p.flush(60s));
  auto events = Collector::acceptedEvents(collector.records());
  std::vector<std::string> expected = {"p", "u"};
  for (int i = 0; i < 1000; ++i) expected.push_back("b" + std::to_string(i));
  expected.insert(expected.end(), {"e0", "e1"});
  EXPECT_EQ(Collector::names(events), expected);
  ASSERT_EQ(events.size(), 1004u);
  EXPECT_EQ(Collector::distinct(events), 1004u);
  EXPECT_FALSE(events[0].contains("page"));
  EXPECT_EQ(events[1]["user"], Json::object());
  EXPECT_EQ(log.count(LogLevel::error, "cannot be read back"), 3u);
  const auto stats = p.manager->deliveryStats();
  EXPECT_EQ(stats.droppedUndecodable, 3u);
  EXPECT_GE(stats.failedAttempts, 1u);
  EXPECT_EQ(stats.droppedByCacheCap, 0u);
  EXPECT_FALSE(log.contains(LogLevel::warning, "of the oldest events"));
  EXPECT_EQ(p.storedCount(), 0);
}

// A log sink, a preferences observer, a consent action and a tracking provider that all throw,
// with uploads that fail every other time: the host keeps reporting, everything arrives, and
// each failure is one line on standard error.
TEST(HostBoundaryTest, ThrowingCallbacksNeitherEscapeNorEndTheProcess) {
  Collector collector({"--fail-every", "2"});
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  TestHost host("throwing", folder.path(), collector, 25);
  ASSERT_EQ(host.wait(), 0) << host.output() << host.errors();
  const auto records = collector.records();
  EXPECT_EQ(Collector::acceptedEvents(records).size(), 25u);
  EXPECT_TRUE(std::any_of(records.begin(), records.end(),
                          [](const Json& r) { return r["status"] != 200; }));
  const std::string errors = host.errors();
  EXPECT_EQ(errors.find("terminate called"), std::string::npos);
  // The sink's entries are not lost: they reach standard error, saying why.
  EXPECT_NE(errors.find("(the host's log sink threw: the host's sink is down)"), std::string::npos);
  EXPECT_NE(errors.find("upload to " + collector.baseUrl()), std::string::npos) << errors;
  for (const char* what : {"a Preferences observer threw: the observer failed",
                           "a consent action listener threw: the consent dialog failed",
                           "the TrackingProvider threw: no tracking status here",
                           "the TrackingProvider threw; the library caught it"}) {
    EXPECT_NE(errors.find(what), std::string::npos) << what << "\n" << errors;
  }
}

// Any 2xx status is a success; any other answer, or none, a failed upload that says why, in the
// figures and in its warning line: nothing listening, a certificate not trusted, a failure status.
// The line carries libcurl's own words.
TEST(HostBoundaryTest, AFailedUploadSaysWhy) {
  struct Case {
    const char* name;
    std::vector<std::string> flags;
    FailureReason reason;  // none: accepted
    int64_t status;
  };
  for (const Case& c : {Case{"204", {"--status", "204"}, FailureReason::none, 0},
                        Case{"299", {"--status", "299"}, FailureReason::none, 0},
                        Case{"300", {"--status", "300"}, FailureReason::httpStatus, 300},
                        Case{"503", {"--status", "503"}, FailureReason::httpStatus, 503},
                        Case{"closed port", {}, FailureReason::connectionRefused, 0},
                        Case{"untrusted certificate", {}, FailureReason::tls, 0}}) {
    SCOPED_TRACE(c.name);
    Collector collector(c.flags);
    ASSERT_TRUE(collector.started());
    std::optional<Collector> otherAuthority;  // its CA did not sign the collector's certificate
    if (c.reason == FailureReason::tls) otherAuthority.emplace();
    if (c.reason == FailureReason::connectionRefused) collector.stop();
    LogCapture log;
    Pipeline p(Pipeline::options(10), collector.baseUrl(),
               otherAuthority ? otherAuthority->caFile() : collector.caFile());
    p.resolveConsent();
    p.report(10);
    const bool accepted = c.reason == FailureReason::none;
    EXPECT_EQ(p.flush(std::chrono::seconds(accepted ? 60 : 3)), accepted);
    const DeliveryStats stats = p.manager->deliveryStats();
    p.shutdown();
    EXPECT_EQ(stats.failedAttempts > 0, !accepted);
    EXPECT_EQ(stats.lastFailureReason, c.reason);
    EXPECT_EQ(stats.lastFailureStatus, c.status);
    EXPECT_EQ(stats.lastFailureDetail.empty(), accepted) << stats.lastFailureDetail;
    EXPECT_TRUE(c.reason != FailureReason::tls || collector.records().empty());  // none got through
    if (accepted) continue;
    // The named line stays as it was; the warning beside it says why.
    EXPECT_TRUE(log.contains(LogLevel::error, "[Code] :: " + std::to_string(c.status) + " - "));
    if (c.status == 0) {
      EXPECT_TRUE(log.contains(LogLevel::warning, "got no answer (" + stats.lastFailureDetail))
          << stats.lastFailureDetail;
    }
  }
}

}  // namespace
}  // namespace kelvor
