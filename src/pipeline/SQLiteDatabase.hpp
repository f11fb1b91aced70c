#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/StoredRow.hpp"
#include "platform/DispatchQueue.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvor {

// The event store: one SQLite file with the table `events`, one row per record. Every operation
// runs on databaseQueue(); statements are prepared once and kept. Errors are logged and give an
// empty result; only open() raises.
//
// Faults a real disk meets are handled here: another connection's lock is waited for (busy
// timeout), and a file SQLite cannot read (not a database, malformed) is moved aside and replaced
// by a fresh store, at open and whenever a statement reports it later.
class SQLiteDatabase {
 public:
  static constexpr const char* fileName = "kelvorDB.sqlite";
  static constexpr int busyTimeoutMs = 5000;
  // The layout this version writes, recorded in the file's user_version; an older one is
  // migrated at open, a newer one refused and left untouched.
  static constexpr int64_t currentSchemaVersion = 1;

  // Opens (creating when missing, owner-only) `path` in the documents directory. Throws
  // SQLiteError.
  static std::shared_ptr<SQLiteDatabase> open(const std::string& path);
  static std::shared_ptr<SQLiteDatabase> open(const std::filesystem::path& directory,
                                              const std::string& path);
  ~SQLiteDatabase();
  SQLiteDatabase(const SQLiteDatabase&) = delete;
  SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

  DispatchQueue& databaseQueue() { return databaseQueue_; }
  const std::filesystem::path& location() const { return location_; }

  // Rows in the store; kept in memory and counted again only when another connection wrote.
  std::optional<int64_t> count();
  // How many rows went; nothing on failure.
  std::optional<int64_t> deleteAll();
  // Inserts the rows in one transaction and gives each its rowid. False when the transaction
  // could not commit (busy, read-only, full, replaced after corruption): nothing was stored.
  bool insertRows(std::vector<StoredRow>& rows);
  // The oldest rows above `afterRowid`, oldest first.
  std::vector<StoredRow> readAfter(int64_t afterRowid, int64_t limit);
  // Deletes the rows with these ids in one statement; false when it failed.
  bool deleteIds(const std::vector<std::string>& ids);
  bool deleteRowids(const std::vector<int64_t>& rowids);
  // Deletes the `count` oldest rows above `afterRowid`; how many went, nothing on failure.
  std::optional<int64_t> deleteOldest(int64_t afterRowid, int64_t count);
  // Deletes the oldest rows above `afterRowid` that together take at least `bytes`; how many
  // went, nothing on failure.
  std::optional<int64_t> deleteOldestBytes(int64_t afterRowid, int64_t bytes);
  // Rows with rowid up to `rowid`, counted up to `limit`; nothing on failure.
  std::optional<int64_t> countThrough(int64_t rowid, int64_t limit);
  // Rows above `rowid` (a range of the rowid index, however large the store); nothing on failure.
  std::optional<int64_t> countAfter(int64_t rowid);
  int64_t maxRowid();
  // Bytes the rows take in the file (its pages less the free ones); nothing on failure.
  std::optional<int64_t> usedBytes();
  // Rows in the file now, other processes' commits included; from any thread, on a read-only
  // connection of its own, so it never waits for this store's queue. The known count when the
  // file cannot be read.
  int64_t countNow();
  // Rows in the store as last known, readable from any thread.
  int64_t knownCount() const { return knownCount_.load(); }
  // Store's queue: when the file was deleted under this connection (its folder removed by a
  // cleanup job) or replaced, the folder and a store are made again at the path and the rows
  // not yet sent are carried over. Every commit checks this; the exit calls it too.
  void keepFileAtPath() { followReplacedFile(); }
  // The report time (ms since 1970) of the oldest row when the store was opened; 0 when it was
  // empty. A process that lives shorter than the upload interval sends an overdue backlog.
  int64_t oldestEventMillisAtOpen() const { return oldestAtOpen_.load(); }

 private:
  SQLiteDatabase(std::filesystem::path location, std::string path);
  // Opens the connection and makes the table; false when the file cannot be read as a store.
  bool connect(bool& unreadable, std::string& message);
  void disconnect();
  int schemaVersion(int64_t& version);
  // Runs a kept DELETE taking two integers; how many rows went, nothing on failure. Throws
  // SQLiteError when the statement cannot be prepared.
  std::optional<int64_t> deleteBetween(const char* query, int64_t first, int64_t second);
  // Runs a kept DELETE whose one parameter is the text `value`; false on failure.
  bool deleteList(const char* query, const std::string& value);
  int migrate(int64_t from);
  // Moves an unreadable file aside (with its -wal and -shm) and opens a fresh one.
  void heal(const std::string& message);
  // A statement kept for the life of the connection.
  sqlite3_stmt* statement(const char* query);
  // The first column of a one-row query with these values bound; none when it failed.
  std::optional<int64_t> integerOf(const char* query, std::initializer_list<int64_t> values);
  sqlite3_stmt* prepareStatement(const std::string& query);  // throws SQLiteError
  // Another process of the app moved a damaged file aside and made a fresh one: this
  // connection would write into the moved file, so it opens the one at the path instead.
  void followReplacedFile();
  // Copies the rows of `from` (the file that left the path) into the open store and empties
  // `from`; how many went, nothing when the copy failed (the open store is then unchanged).
  std::optional<int64_t> carryRows(sqlite3* from);
  void readOldest();
  // Result codes that mean the file is damaged start healing; true when it did.
  bool healIfUnreadable(int code);
  int exec(const char* sql);
  int createTable();
  std::string errorMessage() const;
  void refreshCount();
  void setCount(int64_t count);

  std::filesystem::path location_;
  std::string path_;
  sqlite3* db_ = nullptr;
  ino_t inode_ = 0;
  bool newerSchema_ = false;
  bool pathLost_ = false;  // said once until the store is at its path again
  std::map<std::string, sqlite3_stmt*> statements_;
  int64_t count_ = 0;
  int64_t dataVersion_ = -1;
  std::atomic<int64_t> knownCount_{0};
  std::atomic<uint64_t> generation_{0};  // bumped each time the file was replaced
  std::atomic<int64_t> oldestAtOpen_{0};
  std::mutex readerMutex_;
  sqlite3* reader_ = nullptr;  // countNow's connection
  ino_t readerInode_ = 0;
  DispatchQueue databaseQueue_{"com.quorvel.SQLiteDatabase"};
};

}  // namespace kelvor
