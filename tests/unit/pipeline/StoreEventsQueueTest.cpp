#include <gtest/gtest.h>

#include <atomic>

#include <kelvor/QuorvelOption.hpp>

#include "pipeline/StoreEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

// Counts the size checks the store queue runs, and says whether delivery is stalled.
class FakeManager : public OrvaEventManagerCallbacks {
 public:
  DispatchQueue& dispatchQueue() override { return queue; }
  std::shared_ptr<IdentityProvider> identityProvider() const override { return nullptr; }
  void scheduleEventDispatchOnUpdate() override { ++checks; }
  void scheduleIntervalDispatch() override {}
  void storeQuickEventToDB(StoredRow) override {}
  std::string stallCause() const override { return stalled ? "there is no network" : ""; }
  void scheduleRetry(std::chrono::milliseconds) override {}
  DispatchQueue queue{"test.manager"};
  std::atomic<int> checks{0};
  std::atomic<bool> stalled{false};
};

Events record(const std::string& id) {
  Events e;
  e.eventUUID = id;
  e.event = {{"eventName", id}};
  return e;
}

TEST(StoreEventsQueueTest, KeepsABurstWhileDeliveryWorksAndTrimsOldestFirstOnceItStalls) {
  testing::TempDir dir;
  auto db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  auto option = std::make_shared<QuorvelOption>();
  option->setMaxCacheSize(3);
  auto manager = std::make_shared<FakeManager>();
  auto counters = std::make_shared<DeliveryCounters>();
  auto queue = std::make_shared<StoreEventsQueue>(option, nullptr, manager, db, counters);
  auto ids = [&] {
    std::vector<std::string> out;
    db->databaseQueue().sync([&] {
      for (const auto& e : db->readAllEvents()) out.push_back(e.eventUUID);
    });
    return out;
  };

  for (const char* id : {"A", "B", "C", "D", "E"}) queue->insertAndCheckCacheSize(record(id));
  EXPECT_EQ(ids().size(), 5u);  // uploads succeed: the burst stays whole

  manager->stalled = true;
  LogCapture log;
  queue->checkCacheSize();
  EXPECT_EQ(ids(), (std::vector<std::string>{"C", "D", "E"}));
  size_t listed = 0;
  for (const auto& line : log.messages(LogLevel::info)) {
    if (line.rfind("eventsToDelete - ", 0) != 0) continue;
    ++listed;
    EXPECT_NE(line.find("eventUUID: A"), std::string::npos);
    EXPECT_NE(line.find("eventUUID: B"), std::string::npos);
    EXPECT_EQ(line.find("eventUUID: C"), std::string::npos);
  }
  EXPECT_EQ(listed, 1u);
  EXPECT_TRUE(log.contains(LogLevel::warning, "dropped 2 of the oldest events"));
  EXPECT_EQ(counters->droppedByCacheCap.load(), 2u);
  EXPECT_EQ(counters->stored.load(), 5u);
  EXPECT_EQ(manager->checks.load(), 6);  // a size check after every commit and every trim
}

}  // namespace
}  // namespace kelvor
