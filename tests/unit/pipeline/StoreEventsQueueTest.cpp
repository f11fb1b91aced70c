#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>

#include <kelvor/QuorvelOption.hpp>

#include "pipeline/StoreEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

// Counts the size checks the store queue hands back.
class FakeManager : public OrvaEventManagerCallbacks {
 public:
  DispatchQueue& dispatchQueue() override { return queue; }
  std::shared_ptr<IdentityProvider> identityProvider() const override { return nullptr; }
  void enqueueScheduleEventDispatchOnUpdate(bool) override { ++checks; }
  void scheduleEventDispatchOnUpdate(bool) override {}
  void scheduleIntervalDispatch() override {}
  void storeQuickEventToDB(const Events&) override {}
  DispatchQueue queue{"test.manager"};
  std::atomic<int> checks{0};
};

Events record(const std::string& id) {
  Events e;
  e.eventUUID = id;
  e.event = {{"eventName", id}};
  return e;
}

class StoreEventsQueueTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<SQLiteDatabase> db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  std::shared_ptr<QuorvelOption> option = std::make_shared<QuorvelOption>();
  std::shared_ptr<FakeManager> manager = std::make_shared<FakeManager>();
  StoreEventsQueue queue{option, nullptr, manager, db};

  std::vector<std::string> ids() {
    std::vector<Events> all;
    db->databaseQueue().sync([&] { all = db->readAllEvents(); });
    std::vector<std::string> out;
    for (const auto& e : all) out.push_back(e.eventUUID);
    return out;
  }
};

TEST_F(StoreEventsQueueTest, TrimsExactlyToTheLimitOldestFirst) {
  option->setMaxCacheSize(3);
  for (const char* id : {"A", "B", "C"}) queue.insertAndCheckCacheSize(record(id));
  EXPECT_EQ(ids(), (std::vector<std::string>{"A", "B", "C"}));  // at the limit: nothing goes
  LogCapture log;
  queue.insertAndCheckCacheSize(record("D"));
  EXPECT_EQ(ids(), (std::vector<std::string>{"B", "C", "D"}));
  auto lines = log.messages(LogLevel::info);
  size_t listed = 0;
  for (const auto& line : lines) {
    if (line.rfind("eventsToDelete - ", 0) == 0) {
      ++listed;
      EXPECT_NE(line.find("eventUUID: A"), std::string::npos);
      EXPECT_EQ(line.find("eventUUID: B"), std::string::npos);
    }
  }
  EXPECT_EQ(listed, 1u);
  option->setMaxCacheSize(1);  // a lowered limit takes several at once
  queue.checkCacheSize();
  EXPECT_EQ(ids(), std::vector<std::string>{"D"});
  EXPECT_EQ(manager->checks.load(), 5);  // a size check after every call
}

// A read that fails part-way names fewer rows than must go: nothing is deleted.
TEST_F(StoreEventsQueueTest, AShortReadDeletesNothing) {
  db.reset();
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "kelvorDB.sqlite").c_str(), &raw), SQLITE_OK);
    // The second-oldest row fails when read (json() of bad text) but counts like any other, so
    // a read of the two oldest returns one.
    const char* setup =
        "DROP TABLE events;"
        "CREATE TABLE data(eventUUID TEXT PRIMARY KEY,events TEXT,page TEXT,user TEXT,"
        "version TEXT);"
        "INSERT INTO data VALUES('X','{}','{}','{}','1.3.0'),('BAD','{}','{}','{}','1.3.0'),"
        "('Y','{}','{}','{}','1.3.0');"
        "CREATE VIEW events AS SELECT eventUUID,events,page,user,"
        "CASE WHEN eventUUID='BAD' THEN json('not json') ELSE version END AS version FROM data;";
    ASSERT_EQ(sqlite3_exec(raw, setup, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
  }
  db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  StoreEventsQueue broken{option, nullptr, manager, db};
  option->setMaxCacheSize(1);
  LogCapture log;
  broken.checkCacheSize();
  std::optional<int64_t> count;
  db->databaseQueue().sync([&] { count = db->count(); });
  EXPECT_EQ(count, std::optional<int64_t>(3));
  EXPECT_EQ(log.count(LogLevel::info, "eventsToDelete"), 0u);
  EXPECT_EQ(log.count(LogLevel::info, "Rows Deleted"), 0u);
  EXPECT_EQ(log.count(LogLevel::info, "Unable to delete the rows"), 0u);  // no delete tried
  EXPECT_EQ(manager->checks.load(), 1);
}

}  // namespace
}  // namespace kelvor
