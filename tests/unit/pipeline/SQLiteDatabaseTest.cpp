#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/SQLiteError.hpp"
#include "pipeline/UploadLock.hpp"
#include "support/LogCapture.hpp"
#include "support/RawStore.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

Events record(const std::string& id) {
  Events e;
  e.eventUUID = id;
  e.event = {{"eventName", "buy"}, {"eventTimestamp", "1701781234567"}};
  e.user = {{"network_type", "wi-fi"}};
  return e;
}

class SQLiteDatabaseTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  std::shared_ptr<SQLiteDatabase> db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");

  template <class F>
  auto onQueue(F&& f) {
    decltype(f()) result;
    db->databaseQueue().sync([&] { result = f(); });
    return result;
  }
  void run(const std::function<void()>& f) { db->databaseQueue().sync(f); }
  std::vector<std::string> ids(const std::vector<Events>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.eventUUID);
    return out;
  }
};

TEST_F(SQLiteDatabaseTest, ReadsComeOldestFirstAndCountIsZeroNotAbsent) {
  EXPECT_EQ(onQueue([&] { return db->count(); }), std::optional<int64_t>(0));
  LogCapture log;
  EXPECT_TRUE(onQueue([&] { return db->readEvents(3); }).empty());
  EXPECT_TRUE(log.messages(LogLevel::error).empty());
  for (const char* id : {"E", "B", "D", "A", "C"}) run([&] { db->insert(record(id)); });
  EXPECT_EQ(ids(onQueue([&] { return db->readEvents(3); })),
            (std::vector<std::string>{"E", "B", "D"}));
  EXPECT_EQ(ids(onQueue([&] { return db->readAllEvents(); })),
            (std::vector<std::string>{"E", "B", "D", "A", "C"}));
  EXPECT_EQ(onQueue([&] { return db->count(); }), std::optional<int64_t>(5));
}

TEST_F(SQLiteDatabaseTest, DuplicateIdIsRefusedAndTheFirstRowStays) {
  run([&] { db->insert(record("SAME")); });
  Events second = record("SAME");
  second.event["eventName"] = "other";
  LogCapture log;
  run([&] { db->insert(second); });
  EXPECT_EQ(log.count(LogLevel::error, "UNIQUE"), 1u);
  auto all = onQueue([&] { return db->readAllEvents(); });
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].event["eventName"], "buy");
}

// Deletes name exactly their rows, in one statement of the listed ids; an id with a quote in it
// (ids are not escaped) cannot widen the statement to other rows.
TEST_F(SQLiteDatabaseTest, DeletesNameExactlyTheirRows) {
  EXPECT_EQ(SQLQuery::deleteQuery({record("A"), record("B")}),
            "DELETE FROM events WHERE eventUUID in ('A','B')");
  for (const char* id : {"A", "B", "C", "x') OR ('1'='1"}) run([&] { db->insert(record(id)); });
  LogCapture log;
  run([&] { db->deleteEvents({}); });
  EXPECT_TRUE(log.lines().empty());  // nothing prepared, nothing logged
  run([&] { db->deleteEvents({record("nope")}); });
  EXPECT_TRUE(log.contains(LogLevel::info, "Rows Deleted"));
  run([&] { db->deleteEvents({record("x') OR ('1'='1")}); });
  run([&] { db->deleteEvents({record("A"), record("C")}); });
  EXPECT_EQ(ids(onQueue([&] { return db->readAllEvents(); })), std::vector<std::string>{"B"});
  run([&] { db->deleteAll(); });
  EXPECT_TRUE(log.contains(LogLevel::info, "Deleted all rows"));
  EXPECT_EQ(onQueue([&] { return db->count(); }), std::optional<int64_t>(0));
}

TEST_F(SQLiteDatabaseTest, InvalidUtf8IsReplacedNotLost) {
  Events bad = record("U");
  bad.event["eventName"] = std::string("caf\xC3", 4);
  run([&] { db->insert(bad); });
  auto all = onQueue([&] { return db->readAllEvents(); });
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].event["eventName"], "caf\xEF\xBF\xBD");
}

TEST(SQLiteDatabaseFileTest, RowsSurviveReopenAndFilesAreOwnerOnly) {
  testing::TempDir dir;
  auto documents = dir.path() / "missing" / "documents";
  {
    LogCapture log;
    auto db = SQLiteDatabase::open(documents, "kelvorDB.sqlite");
    EXPECT_TRUE(log.contains(LogLevel::info,
                             "Successfully opened connection to database at kelvorDB.sqlite"));
    db->databaseQueue().sync([&] { db->insert(record("A")); });
  }
  auto db = SQLiteDatabase::open(documents, "kelvorDB.sqlite");
  std::optional<int64_t> count;
  db->databaseQueue().sync([&] { count = db->count(); });
  EXPECT_EQ(count, std::optional<int64_t>(1));
  struct stat st {};
  ASSERT_EQ(stat((documents / "kelvorDB.sqlite").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(SQLiteDatabaseFileTest, AnUnopenableLocationRaises) {
  testing::TempDir dir;
  auto blocker = dir.path() / "file";
  std::ofstream(blocker) << "x";  // a file where the directory should be
  EXPECT_THROW(SQLiteDatabase::open(blocker / "sub", "kelvorDB.sqlite"), std::exception);
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
  std::vector<StoredRow> rows{StoredRow::fromRecord(record("after-heal"))};
  bool stored = false;
  ours->databaseQueue().sync([&] { stored = ours->insertRows(rows); });
  EXPECT_TRUE(stored);
  std::vector<Events> fresh;
  theirs->databaseQueue().sync([&] { fresh = theirs->readAllEvents(); });
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

// The store records its schema: one written before it was numbered is migrated with its rows,
// one written by a newer version is refused and left exactly as it was.
TEST(SQLiteDatabaseFileTest, OlderStoresMigrateAndNewerOnesAreLeftUntouched) {
  auto make = [](const std::filesystem::path& file, int version) {
    ASSERT_TRUE(testing::rawExec(
        file, std::string(SQLQuery::createTable) +
                  "INSERT INTO events VALUES ('A','{\"eventName\":\"a\"}','{}','{}','1');"
                  "PRAGMA user_version = " +
                  std::to_string(version) + ";"));
  };
  auto version = [](const std::filesystem::path& file) {
    return testing::rawColumn(file, "PRAGMA user_version;");
  };
  auto bytes = [](const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  {
    testing::TempDir dir;
    make(dir.path() / "kelvorDB.sqlite", 0);
    auto db = SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
    std::vector<StoredRow> rows;
    db->databaseQueue().sync([&] { rows = db->readAfter(0, 10); });
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].decode());
    EXPECT_EQ(version(dir.path() / "kelvorDB.sqlite"),
              std::vector<std::string>{std::to_string(SQLiteDatabase::currentSchemaVersion)});
  }
  {
    testing::TempDir dir;
    const auto file = dir.path() / "kelvorDB.sqlite";
    make(file, SQLiteDatabase::currentSchemaVersion + 1);
    const std::string before = bytes(file);
    try {
      SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
      ADD_FAILURE() << "a newer store was opened";
    } catch (const SQLiteError& error) {
      EXPECT_EQ(error.kind(), SQLiteError::Kind::NewerSchema);
      EXPECT_NE(error.message().find("newer version"), std::string::npos) << error.message();
    }
    EXPECT_TRUE(bytes(file) == before) << "the newer store was changed";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      (void)entry;
      ++files;
    }
    EXPECT_EQ(files, 1u);  // nothing moved aside, no journal left beside it
  }
}

}  // namespace
}  // namespace kelvor
