#include <gtest/gtest.h>

#include "pipeline/Events.hpp"
#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/UploadLock.hpp"
#include "support/LogCapture.hpp"
#include "support/RawStore.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

StoredRow row(const std::string& id, const std::string& name = "buy") {
  Events e;
  e.eventUUID = id;
  e.event = {{"eventName", name}, {"eventTimestamp", "1701781234567"}};
  e.user = {{"network_type", "wi-fi"}};
  return StoredRow::fromRecord(e);
}

// Runs f on the store's queue, as the library does, and returns what it returned.
template <class F>
auto onQueue(SQLiteDatabase& db, F&& f) {
  decltype(f()) result;
  db.databaseQueue().sync([&] { result = f(); });
  return result;
}

class SQLiteDatabaseTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<SQLiteDatabase> db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");

  std::vector<StoredRow> insert(std::vector<StoredRow> rows) {
    EXPECT_TRUE(onQueue(*db, [&] { return db->insertRows(rows); }));
    return rows;
  }
  std::vector<std::string> storedIds(int64_t limit = 100) {
    std::vector<std::string> out;
    for (const auto& r : onQueue(*db, [&] { return db->readAfter(0, limit); }))
      out.push_back(r.eventUUID);
    return out;
  }
};

TEST_F(SQLiteDatabaseTest, RowsComeBackOldestFirstAndAnIdIsStoredOnce) {
  LogCapture log;
  // Invalid UTF-8 is replaced when the row is made, not lost.
  auto rows = insert({row("E"), row("B"), row("D", std::string("caf\xC3", 4)), row("A")});
  EXPECT_EQ(storedIds(3), (std::vector<std::string>{"E", "B", "D"}));
  auto after = onQueue(*db, [&] { return db->readAfter(rows[1].rowid, 1); });
  ASSERT_EQ(after.size(), 1u);
  EXPECT_TRUE(after[0].decode());
  EXPECT_EQ(after[0].toRecord().event["eventName"], "caf\xEF\xBF\xBD");
  // A second row with a stored id is refused; the first stays and the rest of the batch goes.
  rows = insert({row("B", "other"), row("C")});
  EXPECT_EQ(rows[0].rowid, -1);
  EXPECT_EQ(log.count(LogLevel::error, "UNIQUE"), 1u);
  EXPECT_EQ(storedIds(), (std::vector<std::string>{"E", "B", "D", "A", "C"}));
  EXPECT_EQ(onQueue(*db, [&] { return db->readAfter(0, 2); })[1].toRecord().event["eventName"],
            "buy");
  EXPECT_EQ(onQueue(*db, [&] { return db->count(); }), std::optional<int64_t>(5));
}

// A delete names exactly its rows, whatever bytes the ids hold: a quote cannot widen the
// statement, and an id that is not UTF-8 (a tampered row) still goes.
TEST_F(SQLiteDatabaseTest, DeletesNameExactlyTheirRows) {
  const std::string notUtf8("\xFF\xFE", 2);
  auto rows = insert({row("A"), row("B"), row("C"), row("x') OR ('1'='1"), row("q\"uote"),
                      row(notUtf8), row("D")});
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteIds({}); }));
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteIds({"nope"}); }));
  EXPECT_EQ(storedIds().size(), 7u);
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteIds({"x') OR ('1'='1"}); }));
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteIds({"A", "C"}); }));
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteIds({notUtf8, "q\"uote"}); }));
  EXPECT_TRUE(onQueue(*db, [&] { return db->deleteRowids({rows[6].rowid}); }));
  EXPECT_EQ(storedIds(), std::vector<std::string>{"B"});
  onQueue(*db, [&] { return db->deleteAll(); });
  EXPECT_EQ(onQueue(*db, [&] { return db->count(); }), std::optional<int64_t>(0));
}

TEST(SQLiteDatabaseFileTest, RowsSurviveReopenFilesAreOwnerOnlyAndAFileInTheWayRaises) {
  testing::TempDir dir;
  auto documents = dir.path() / "missing" / "documents";
  {
    auto db = SQLiteDatabase::open(documents, "kelvorDB.sqlite");
    std::vector<StoredRow> rows{row("A")};
    db->databaseQueue().sync([&] { db->insertRows(rows); });
  }
  auto db = SQLiteDatabase::open(documents, "kelvorDB.sqlite");
  EXPECT_EQ(onQueue(*db, [&] { return db->count(); }), std::optional<int64_t>(1));
  EXPECT_EQ(testing::mode(documents / "kelvorDB.sqlite"), 0600u);
  // A file where the folder should be: the open raises.
  EXPECT_THROW(SQLiteDatabase::open(documents / "kelvorDB.sqlite" / "sub", "kelvorDB.sqlite"),
               std::exception);
}

// Another process of the app moved a damaged store aside and made a fresh one: this process's
// next write goes to the fresh file, not into the one moved aside.
TEST(SQLiteDatabaseFileTest, AStoreReplacedByAnotherProcessIsFollowed) {
  testing::TempDir dir;
  auto ours = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  const auto file = ours->location();
  for (const char* suffix : {"", "-wal", "-shm"}) {
    std::error_code ec;
    std::filesystem::rename(file.string() + suffix, file.string() + ".corrupt-1" + suffix, ec);
  }
  auto theirs = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");  // the fresh store
  LogCapture log;
  std::vector<StoredRow> rows{row("after-heal")};
  EXPECT_TRUE(onQueue(*ours, [&] { return ours->insertRows(rows); }));
  const auto fresh = onQueue(*theirs, [&] { return theirs->readAfter(0, 10); });
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(fresh[0].eventUUID, "after-heal");
  EXPECT_TRUE(log.contains(LogLevel::warning, "was replaced by another process"));
}

// Without its lock file the upload lock is not taken: another process could send the same rows.
TEST(UploadLockTest, FailsClosedWithoutItsFile) {
  testing::TempDir dir;
  LogCapture log;
  UploadLock missing(dir.path() / "no-such-folder" / "kelvorDB.sqlite.upload-lock");
  EXPECT_FALSE(missing.tryLock());
  EXPECT_FALSE(missing.tryLock());
  EXPECT_EQ(log.count(LogLevel::warning, "cannot open the upload lock"), 1u);
  UploadLock present(dir.path() / "kelvorDB.sqlite.upload-lock");
  EXPECT_TRUE(present.tryLock());
}

// A store written before its schema was numbered is migrated with its rows. One written by a
// newer version: AppSandboxTest.AStoreOfANewerVersionIsLeftAlone.
TEST(SQLiteDatabaseFileTest, AnOlderStoreMigratesWithItsRows) {
  testing::TempDir dir;
  const auto file = dir.path() / "kelvorDB.sqlite";
  ASSERT_TRUE(testing::rawExec(
      file, std::string(SQLQuery::createTable) +
                "INSERT INTO events VALUES ('A','{\"eventName\":\"a\"}','{}','{}','1');"));
  auto db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  auto rows = onQueue(*db, [&] { return db->readAfter(0, 10); });
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_TRUE(rows[0].decode());
  EXPECT_EQ(testing::rawColumn(file, "PRAGMA user_version;"),
            std::vector<std::string>{std::to_string(SQLiteDatabase::currentSchemaVersion)});
}

}  // namespace
}  // namespace kelvor
