#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pipeline/Events.hpp"
#include "platform/DispatchQueue.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace kelvor {

// The event store: one SQLite file with the table `events`, one row per record. Callers run
// every operation on databaseQueue() and wait for it, so statements never overlap. Errors are
// logged and give an empty result; only open() raises.
class SQLiteDatabase {
 public:
  static constexpr const char* fileName = "kelvorDB.sqlite";

  // Opens (creating when missing, owner-only) `path` in the documents directory. Throws
  // SQLiteError.
  static std::shared_ptr<SQLiteDatabase> open(const std::string& path);
  static std::shared_ptr<SQLiteDatabase> open(const std::filesystem::path& directory,
                                              const std::string& path);
  ~SQLiteDatabase();
  SQLiteDatabase(const SQLiteDatabase&) = delete;
  SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

  DispatchQueue& databaseQueue() { return databaseQueue_; }

  void insert(const Events& event);
  std::vector<Events> readEvents(int64_t limit);
  std::vector<Events> readAllEvents();
  std::optional<int64_t> count();
  void deleteEvents(const std::vector<Events>& events);
  void deleteAll();

 private:
  explicit SQLiteDatabase(sqlite3* db);
  sqlite3_stmt* prepareStatement(const std::string& query);  // throws SQLiteError
  void createTable();
  std::vector<Events> read(const std::string& query);
  std::string errorMessage() const;

  sqlite3* db_;
  std::string dbPath_ = "eventDb.sqlite";
  DispatchQueue databaseQueue_{"com.quorvel.SQLiteDatabase"};
};

}  // namespace kelvor
