#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>

#include <kelvor/QuorvelOption.hpp>

#include "pipeline/Events.hpp"
#include "pipeline/StoreEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/FakeTimeSource.hpp"
#include "support/LogCapture.hpp"
#include "support/RawStore.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

// Says whether delivery is stalled.
class FakeManager : public OrvaEventManagerCallbacks {
 public:
  DispatchQueue& dispatchQueue() override { return queue; }
  void storeQuickEventToDB(StoredRow) override {}
  std::string_view stallCause() const override { return stalled ? "there is no network" : ""; }
  void storeTakesWrites() override {}
  DispatchQueue queue{"test.manager"};
  std::atomic<bool> stalled{false};
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
  std::shared_ptr<DeliveryCounters> counters = std::make_shared<DeliveryCounters>();
  DeliveryScheduler::Hooks nothingGoes{[](DeliveryScheduler::Trigger) {}, [] { return false; },
                                       [] { return false; }};
  std::shared_ptr<StoreEventsQueue> queue = std::make_shared<StoreEventsQueue>(
      option, nullptr, manager, db, counters,
      std::make_shared<DeliveryScheduler>(option, db, std::make_shared<testing::FakeTimeSource>(),
                                          nothingGoes));

  void SetUp() override { option->setMaxCacheSize(100); }
  int64_t stored() { return db->knownCount(); }
  void commit(std::vector<StoredRow> rows) {
    queue->enqueue(std::move(rows));
    db->databaseQueue().drainAll();
  }
  static std::vector<StoredRow> rows(int count, size_t size, const std::string& prefix) {
    std::vector<StoredRow> out;
    for (int i = 0; i < count; ++i) {
      StoredRow row = StoredRow::fromRecord(record(prefix + std::to_string(i)));
      row.event = "{\"eventName\":\"" + prefix + "\",\"pad\":\"" + std::string(size, 'x') + "\"}";
      out.push_back(std::move(row));
    }
    return out;
  }
};

// While delivery works the store is bounded by its size, not by maxCacheSize: a burst far beyond
// it is kept whole, and only what passes the size bound goes, oldest first, said as such. While
// delivery is stalled, maxCacheSize bounds what is stored during the stall (the backlog held when
// it began stays), and one warning names why, however many events go one by one.
TEST_F(StoreEventsQueueTest, HealthyBoundIsTheSizeAndStalledBoundIsMaxCacheSize) {
  LogCapture log;
  commit(rows(400, 10, "small"));  // far beyond maxCacheSize, and beyond 100 times it
  EXPECT_EQ(stored(), 400);
  EXPECT_FALSE(log.contains(LogLevel::warning, "dropped"));

  manager->stalled = true;
  queue->checkCacheSize();
  EXPECT_EQ(stored(), 400);  // the backlog a healthy endpoint was taking
  for (int i = 0; i < 100; ++i) commit(rows(1, 10, "stalled" + std::to_string(i) + "-"));
  EXPECT_EQ(stored(), 500);
  EXPECT_FALSE(log.contains(LogLevel::info, "eventsToDelete - "));
  commit(rows(1, 10, "stalled100-"));  // the 101st trims the oldest of the stall
  EXPECT_EQ(stored(), 500);
  const auto trimmed = log.messages(LogLevel::info);
  const auto line = std::find_if(trimmed.begin(), trimmed.end(), [](const std::string& m) {
    return m.rfind("eventsToDelete - ", 0) == 0;
  });
  ASSERT_NE(line, trimmed.end());
  EXPECT_NE(line->find("stalled0-0"), std::string::npos);
  EXPECT_EQ(line->find("stalled1-0"), std::string::npos);
  for (int i = 101; i < 150; ++i) commit(rows(1, 10, "stalled" + std::to_string(i) + "-"));
  EXPECT_EQ(stored(), 500);
  EXPECT_EQ(counters->droppedByCacheCap.load(), 50u);
  EXPECT_EQ(log.count(LogLevel::warning, "there is no network"), 1u);  // not one per event
  manager->stalled = false;

  // 80 events of 1 MiB pass the 64 MiB the store holds.
  for (int i = 0; i < 8; ++i) commit(rows(10, 1024 * 1024, "big" + std::to_string(i) + "-"));
  auto used = [&] {
    std::optional<int64_t> bytes;
    db->databaseQueue().sync([&] { bytes = db->usedBytes(); });
    return bytes.value_or(-1);
  };
  EXPECT_LE(used(), StoreEventsQueue::healthyBoundBytes);
  EXPECT_GT(stored(), 3);
  EXPECT_TRUE(log.contains(LogLevel::warning, "holds at most 64 MiB"));
  // The ids alone, read with a connection of the test's own: parsing 64 MiB of rows is slow.
  const auto names =
      testing::rawColumn(db->location(), "SELECT eventUUID FROM events ORDER BY rowid;");
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.back(), "big7-9");  // the newest stay
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.rfind("small", 0) == 0; }),
            0);  // the oldest went first
  EXPECT_EQ(counters->droppedByCacheCap.load() + static_cast<uint64_t>(stored()),
            counters->stored.load());
}

// Rows that wait in memory while the store's queue is busy keep the stalled bound too: the
// oldest beyond maxCacheSize go before the commit runs, not one later.
TEST_F(StoreEventsQueueTest, RowsWaitingForTheStoreKeepTheStalledBound) {
  manager->stalled = true;
  std::promise<void> release;
  db->databaseQueue().async([busy = release.get_future().share()] { busy.wait(); });
  for (int i = 0; i < 105; ++i) queue->enqueue(rows(1, 10, "w" + std::to_string(i) + "-"));
  const size_t waiting = queue->waiting();
  release.set_value();
  db->databaseQueue().drainAll();
  EXPECT_EQ(waiting, 100u);
  EXPECT_EQ(counters->droppedByCacheCap.load(), 5u);
  EXPECT_EQ(stored(), 100);
}

}  // namespace
}  // namespace kelvor
