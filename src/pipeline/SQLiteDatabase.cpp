#include "pipeline/SQLiteDatabase.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "support/Render.hpp"
#include "identity/Utility.hpp"
#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteError.hpp"

namespace kelvor {
namespace {

std::string messageOf(sqlite3* db) {
  const char* message = db != nullptr ? sqlite3_errmsg(db) : nullptr;
  if (message == nullptr || message[0] == '\0') return "No error message provided from sqlite.";
  return message;
}

// Finalizes on every path after a successful prepare.
struct Statement {
  sqlite3_stmt* handle;
  ~Statement() { sqlite3_finalize(handle); }
};

std::string columnText(sqlite3_stmt* statement, int index) {
  const unsigned char* text = sqlite3_column_text(statement, index);
  return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

Json parsedOrEmpty(const std::string& text) {
  auto parsed = Utility::dictionaryFromJSONString(text);
  return parsed ? *parsed : Json::object();
}

}  // namespace

std::shared_ptr<SQLiteDatabase> SQLiteDatabase::open(const std::string& path) {
  return open(Platform::documentsDirectory(), path);
}

std::shared_ptr<SQLiteDatabase> SQLiteDatabase::open(const std::filesystem::path& directory,
                                                     const std::string& path) {
  // A missing documents directory is made, instead of opening an unnamed temporary database
  // that would lose every event at exit.
  std::error_code ec;
  if (!std::filesystem::is_directory(directory, ec)) {
    std::filesystem::create_directories(directory, ec);
    if (!ec) {
      std::filesystem::permissions(directory, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, ec);
    }
  }
  auto location = directory / path;
  // Created owner-only before SQLite sees it; the WAL and shared-memory files follow its mode.
  int fd = ::open(location.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);

  sqlite3* db = nullptr;
  int rc = sqlite3_open(location.c_str(), &db);
  if (rc != SQLITE_OK) {
    std::string message = messageOf(db);
    if (db != nullptr) sqlite3_close(db);
    throw SQLiteError(SQLiteError::Kind::OpenDatabase, message);
  }
  // WAL with synchronous=NORMAL: every committed event survives an app crash without paying
  // an fsync per insert.
  sqlite3_exec(db, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
  Log::info("Successfully opened connection to database at " + path);
  return std::shared_ptr<SQLiteDatabase>(new SQLiteDatabase(db));
}

SQLiteDatabase::SQLiteDatabase(sqlite3* db) : db_(db) {
  databaseQueue_.sync([this] { createTable(); });
}

SQLiteDatabase::~SQLiteDatabase() {
  databaseQueue_.drain();
  sqlite3_close(db_);
}

std::string SQLiteDatabase::errorMessage() const {
  return messageOf(db_);
}

sqlite3_stmt* SQLiteDatabase::prepareStatement(const std::string& query) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, query.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    throw SQLiteError(SQLiteError::Kind::Prepare, errorMessage());
  }
  Log::info("prepareStatement - query: " + query);
  return statement;
}

void SQLiteDatabase::createTable() {
  try {
    Statement statement{prepareStatement(SQLQuery::createTable)};
    if (sqlite3_step(statement.handle) != SQLITE_DONE) {
      throw SQLiteError(SQLiteError::Kind::Step, errorMessage());
    }
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
}

void SQLiteDatabase::insert(const Events& event) {
  try {
    Statement statement{prepareStatement(SQLQuery::insert)};
    // Invalid UTF-8 is replaced rather than losing the whole column.
    const std::string eventText = render(event.event);
    const std::string pageText = render(event.page ? *event.page : Json::object());
    const std::string userText = render(event.user);
    sqlite3_bind_text(statement.handle, 1, event.eventUUID.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement.handle, 2, eventText.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement.handle, 3, pageText.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement.handle, 4, userText.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement.handle, 5, event.version.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(statement.handle) != SQLITE_DONE) {
      throw SQLiteError(SQLiteError::Kind::Step, errorMessage());
    }
    Log::info("Successfully inserted row.");
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
}

std::vector<Events> SQLiteDatabase::read(const std::string& query) {
  std::vector<Events> records;
  try {
    Statement statement{prepareStatement(query)};
    while (sqlite3_step(statement.handle) == SQLITE_ROW) {
      Events record;
      record.eventUUID = columnText(statement.handle, 0);
      record.event = parsedOrEmpty(columnText(statement.handle, 1));
      record.page = parsedOrEmpty(columnText(statement.handle, 2));
      record.user = parsedOrEmpty(columnText(statement.handle, 3));
      record.version = columnText(statement.handle, 4);
      records.push_back(std::move(record));
    }
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return records;
}

std::vector<Events> SQLiteDatabase::readEvents(int64_t limit) {
  return read(SQLQuery::readFirst(limit));
}

std::vector<Events> SQLiteDatabase::readAllEvents() {
  return read(SQLQuery::readAll);
}

std::optional<int64_t> SQLiteDatabase::count() {
  try {
    Statement statement{prepareStatement(SQLQuery::count)};
    if (sqlite3_step(statement.handle) != SQLITE_ROW) return std::nullopt;
    return static_cast<int64_t>(sqlite3_column_int(statement.handle, 0));
  } catch (const SQLiteError& error) {
    Log::error(error.what());
    return std::nullopt;
  }
}

void SQLiteDatabase::deleteEvents(const std::vector<Events>& events) {
  if (events.empty()) return;
  try {
    Statement statement{prepareStatement(SQLQuery::deleteQuery(events))};
    Log::info(sqlite3_step(statement.handle) == SQLITE_DONE ? "Rows Deleted"
                                                            : "Unable to delete the rows");
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
}

void SQLiteDatabase::deleteAll() {
  try {
    Statement statement{prepareStatement(SQLQuery::deleteAll)};
    Log::info(sqlite3_step(statement.handle) == SQLITE_DONE ? "Deleted all rows"
                                                            : "Unable to delete all the rows");
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
}

}  // namespace kelvor
