#include "pipeline/SQLiteDatabase.hpp"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>

#include <kelvor/Json.hpp>
#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteError.hpp"
#include "platform/PrivateDirectory.hpp"
#include "support/ProcessFork.hpp"
#include "support/Render.hpp"

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

// Leaves a kept statement ready for its next use, so no read transaction stays open.
struct Reset {
  sqlite3_stmt* handle;
  ~Reset() {
    if (handle != nullptr) {
      sqlite3_reset(handle);
      sqlite3_clear_bindings(handle);
    }
  }
};

std::string columnText(sqlite3_stmt* statement, int index) {
  const unsigned char* text = sqlite3_column_text(statement, index);
  if (text == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(statement, index)));
}

bool unreadable(int code) {
  code &= 0xff;
  return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

ino_t inodeOf(const std::filesystem::path& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

std::string newerSchemaMessage(const std::filesystem::path& file, int64_t version) {
  return "the event store " + file.string() + " was written by a newer version of the " +
         "library (schema " + std::to_string(version) + ", this version reads up to " +
         std::to_string(SQLiteDatabase::currentSchemaVersion) + "); it is left untouched";
}

// A file name as SQLite reads it in a URI.
std::string fileUri(const std::filesystem::path& file) {
  std::string uri = "file:";
  for (char c : file.string()) {
    if (c == '%' || c == '?' || c == '#') {
      static constexpr char hex[] = "0123456789ABCDEF";
      uri += '%';
      uri += hex[static_cast<unsigned char>(c) >> 4];
      uri += hex[static_cast<unsigned char>(c) & 0xf];
    } else {
      uri += c;
    }
  }
  return uri;
}

// The store's schema number, read without a connection that could write: the store of a newer
// version, its write-ahead log and shared-memory files included, stays byte for byte as it is
// (closing a writing connection would checkpoint the log into the store and delete both files).
// Without a log the file alone is read, as immutable; with one, through its shared memory,
// read-only. Nothing when it cannot be read this way (no store yet, a damaged file, a log
// without its shared memory): the writing connection reads it then.
std::optional<int64_t> schemaWithoutWriting(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return std::nullopt;
  const auto wal = std::filesystem::path(file.string() + "-wal");
  const auto shm = std::filesystem::path(file.string() + "-shm");
  std::string uri = fileUri(file);
  if (!std::filesystem::exists(wal, ec)) {
    uri += "?immutable=1";
  } else if (std::filesystem::exists(shm, ec)) {
    uri += "?mode=ro&readonly_shm=1";
  } else {
    return std::nullopt;
  }
  sqlite3* db = nullptr;
  std::optional<int64_t> version;
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) ==
      SQLITE_OK) {
    sqlite3_stmt* read = nullptr;
    if (sqlite3_prepare_v2(db, SQLQuery::userVersion, -1, &read, nullptr) == SQLITE_OK &&
        sqlite3_step(read) == SQLITE_ROW) {
      version = sqlite3_column_int64(read, 0);
    }
    sqlite3_finalize(read);
  }
  sqlite3_close(db);
  return version;
}

}  // namespace

std::shared_ptr<SQLiteDatabase> SQLiteDatabase::open(const std::string& path) {
  return open(Platform::documentsDirectory(), path);
}

std::shared_ptr<SQLiteDatabase> SQLiteDatabase::open(const std::filesystem::path& directory,
                                                     const std::string& path) {
  // A missing documents directory is made, instead of opening an unnamed temporary database
  // that would lose every event at exit.
  (void)PrivateDirectory::prepare(directory);
  std::shared_ptr<SQLiteDatabase> db(new SQLiteDatabase(directory / path, path));
  // No fork copies the reading connection in the middle of a statement (and SQLite's locks).
  ProcessFork::guardMutex(ProcessFork::storeReader, db, &db->readerMutex_);
  bool damaged = false;
  std::string message;
  if (!db->connect(damaged, message)) {
    if (db->newerSchema_) throw SQLiteError(SQLiteError::Kind::NewerSchema, message);
    if (!damaged) throw SQLiteError(SQLiteError::Kind::OpenDatabase, message);
    db->heal(message);
    if (db->db_ == nullptr) throw SQLiteError(SQLiteError::Kind::OpenDatabase, message);
  }
  Log::info("Successfully opened connection to database at " + path);
  return db;
}

SQLiteDatabase::SQLiteDatabase(std::filesystem::path location, std::string path)
    : location_(std::move(location)), path_(std::move(path)) {}

SQLiteDatabase::~SQLiteDatabase() {
  databaseQueue_.stop();
  disconnect();
  if (reader_ != nullptr) sqlite3_close(reader_);
}

bool SQLiteDatabase::connect(bool& damaged, std::string& message) {
  damaged = false;
  if (auto version = schemaWithoutWriting(location_); version && *version > currentSchemaVersion) {
    message = newerSchemaMessage(location_, *version);
    newerSchema_ = true;
    return false;
  }
  // Created owner-only before SQLite sees it; the WAL and shared-memory files follow its mode.
  int fd = ::open(location_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  sqlite3* db = nullptr;
  int rc = sqlite3_open(location_.c_str(), &db);
  if (rc != SQLITE_OK) {
    message = messageOf(db);
    if (db != nullptr) sqlite3_close(db);
    return false;
  }
  db_ = db;
  inode_ = inodeOf(location_);
  // Another process of the app may hold the write lock for a moment: wait for it.
  sqlite3_busy_timeout(db_, busyTimeoutMs);
  // The schema is read before anything is written: a newer library's store is left exactly as
  // it is, for that version to use.
  int64_t version = 0;
  rc = schemaVersion(version);
  // WAL with synchronous=NORMAL: every committed event survives an app crash without paying
  // an fsync per insert.
  if (rc == SQLITE_OK && version <= currentSchemaVersion) rc = exec(SQLQuery::journalWal);
  if (rc == SQLITE_OK && version <= currentSchemaVersion) rc = exec(SQLQuery::synchronousNormal);
  if (rc == SQLITE_OK && version <= currentSchemaVersion) {
    databaseQueue_.sync([&] {
      rc = version < currentSchemaVersion ? migrate(version) : createTable();
      if (rc != SQLITE_OK) return;
      // Counting walks every page of the table: a truncated file shows itself here.
      Statement count{nullptr};
      rc = sqlite3_prepare_v2(db_, SQLQuery::count, -1, &count.handle, nullptr);
      if (rc != SQLITE_OK) return;
      rc = sqlite3_step(count.handle);
      if (rc == SQLITE_ROW) {
        setCount(sqlite3_column_int64(count.handle, 0));
        rc = SQLITE_OK;
        if (count_ > 0 && generation_.load() == 0) readOldest();
      }
    });
  }
  if (rc == SQLITE_OK && version > currentSchemaVersion) {
    message = newerSchemaMessage(location_, version);
    newerSchema_ = true;
    // Its write-ahead log stays as the newer version left it.
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    disconnect();
    return false;
  }
  const bool ok = rc == SQLITE_OK;
  if (ok) return true;
  message = messageOf(db_);
  damaged = unreadable(rc);
  disconnect();
  return false;
}

int SQLiteDatabase::schemaVersion(int64_t& version) {
  Statement read{nullptr};
  int rc = sqlite3_prepare_v2(db_, SQLQuery::userVersion, -1, &read.handle, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_step(read.handle);
  if (rc != SQLITE_ROW) return rc;
  version = sqlite3_column_int64(read.handle, 0);
  return SQLITE_OK;
}

int SQLiteDatabase::migrate(int64_t from) {
  // One transaction: a process that dies half-way leaves the older store as it was. Stores made
  // before the schema was numbered (0) have the current layout already.
  int rc = exec(SQLQuery::begin);
  if (rc != SQLITE_OK) return rc;
  rc = createTable();
  if (rc == SQLITE_OK) {
    rc = exec((SQLQuery::setUserVersion + std::to_string(currentSchemaVersion) + ";").c_str());
  }
  if (rc == SQLITE_OK) rc = exec(SQLQuery::commit);
  if (rc != SQLITE_OK) {
    exec(SQLQuery::rollback);
    return rc;
  }
  if (from > 0) {
    Log::info("the event store was migrated from schema " + std::to_string(from) + " to " +
              std::to_string(currentSchemaVersion));
  }
  return SQLITE_OK;
}

void SQLiteDatabase::disconnect() {
  for (auto& [query, statement] : statements_) sqlite3_finalize(statement);
  statements_.clear();
  if (db_ != nullptr) sqlite3_close(db_);
  db_ = nullptr;
  dataVersion_ = -1;
}

void SQLiteDatabase::heal(const std::string& message) {
  const bool open = db_ != nullptr;
  const ino_t ours = inode_;
  disconnect();
  const std::string aside = location_.string() + ".corrupt-" + std::to_string(std::time(nullptr));
  // Another process of the app may have replaced the file already: only ours is moved.
  const ino_t now = inodeOf(location_);
  if (now != 0 && (!open || now == ours)) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::error_code ec;
      std::filesystem::rename(location_.string() + suffix, aside + suffix, ec);
    }
    Log::error("SQLiteError: the event store " + location_.string() + " cannot be read (" +
               message + "); it was moved aside as " + aside + " and a fresh store was created");
  }
  setCount(0);
  generation_.fetch_add(1);
  bool damaged = false;
  std::string again;
  if (!connect(damaged, again)) {
    Log::error("SQLiteError: cannot create a fresh event store at " + location_.string() + " (" +
               again + "); events stay in memory until it can be written");
  }
}

void SQLiteDatabase::followReplacedFile() {
  if (db_ == nullptr) return;
  const ino_t now = inodeOf(location_);
  if (now == inode_) return;
  // The file left the path under this connection: deleted with its folder (a cleanup job),
  // moved aside by another process of the app that found it damaged, or replaced. Rows written
  // into it now would go with it, so the store is made again at the path (the folder too,
  // owner-only) and the rows not yet sent are carried over.
  const bool deleted = now == 0;
  // Made again owner-only; one that someone else made meanwhile is not written into.
  const auto unusable = PrivateDirectory::prepare(location_.parent_path());
  sqlite3* old = db_;
  auto oldStatements = std::move(statements_);
  statements_.clear();
  const ino_t oldInode = inode_;
  const int64_t oldCount = count_;
  db_ = nullptr;
  dataVersion_ = -1;
  bool damaged = false;
  std::string message;
  std::optional<int64_t> carried;
  if (unusable) {
    message = *unusable;
  } else if (connect(damaged, message)) {
    carried = carryRows(old);
    if (!carried) {
      message = messageOf(db_);
      disconnect();
    }
  }
  if (!carried) {
    // The old file still takes writes: nothing is lost while this process runs, and the next
    // commit tries again.
    db_ = old;
    statements_ = std::move(oldStatements);
    inode_ = oldInode;
    setCount(oldCount);
    if (!pathLost_) {
      Log::error("SQLiteError: the event store " + location_.string() + " was " +
                 (deleted ? "deleted" : "replaced") + " while in use and cannot be made again (" +
                 message + "); events are kept in the old file until it can");
    }
    pathLost_ = true;
    return;
  }
  pathLost_ = false;
  for (auto& [query, statement] : oldStatements) sqlite3_finalize(statement);
  // SQLite deletes the WAL file by its name when the last connection to a file closes: that
  // name is now the new store's WAL. Kept, the old connection closes without touching it.
  int persist = 1;
  sqlite3_file_control(old, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
  sqlite3_close(old);
  generation_.fetch_add(1);
  const std::string moved = *carried > 0 ? " and the " + std::to_string(*carried) +
                                               " events not yet sent were carried over"
                                         : std::string();
  if (deleted) {
    Log::warning("the event store " + location_.string() +
                 " was deleted while in use (its folder removed?); a fresh store was made there" +
                 moved);
  } else {
    Log::warning("the event store " + location_.string() +
                 " was replaced by another process of this app; this process now uses the new "
                 "file" +
                 moved);
  }
}

std::optional<int64_t> SQLiteDatabase::carryRows(sqlite3* from) {
  auto rollback = [from] { sqlite3_exec(from, SQLQuery::rollback, nullptr, nullptr, nullptr); };
  // The old file's write lock is held until its rows are gone: another process of the app that
  // carries them too waits for it, then finds none.
  int rc = sqlite3_exec(from, SQLQuery::begin, nullptr, nullptr, nullptr);
  if ((rc & 0xff) == SQLITE_BUSY) return std::nullopt;
  if (rc != SQLITE_OK) return 0;  // damaged: nothing can be read from it
  Statement read{nullptr};
  if (sqlite3_prepare_v2(from, SQLQuery::readAllRows, -1, &read.handle, nullptr) != SQLITE_OK) {
    rollback();
    return 0;
  }
  Statement insert{nullptr};
  if (exec(SQLQuery::begin) != SQLITE_OK) {
    rollback();
    return std::nullopt;
  }
  if (sqlite3_prepare_v2(db_, SQLQuery::insertCarried, -1, &insert.handle, nullptr) != SQLITE_OK) {
    exec(SQLQuery::rollback);
    rollback();
    return std::nullopt;
  }
  // In a fresh store the rows keep their rowids, so the marks of the upload queue stay true.
  const bool keepRowids = count_ == 0;
  int64_t carried = 0;
  while ((rc = sqlite3_step(read.handle)) == SQLITE_ROW) {
    if (keepRowids) {
      sqlite3_bind_int64(insert.handle, 1, sqlite3_column_int64(read.handle, 0));
    } else {
      sqlite3_bind_null(insert.handle, 1);
    }
    for (int column = 1; column <= 5; ++column) {
      sqlite3_bind_value(insert.handle, column + 1, sqlite3_column_value(read.handle, column));
    }
    if (sqlite3_step(insert.handle) != SQLITE_DONE) {
      exec(SQLQuery::rollback);
      rollback();
      return std::nullopt;
    }
    carried += sqlite3_changes(db_);
    sqlite3_reset(insert.handle);
  }
  // What a damaged file still gave is kept; the rest is gone with it.
  const bool readAll = rc == SQLITE_DONE;
  sqlite3_reset(read.handle);
  if (exec(SQLQuery::commit) != SQLITE_OK) {
    exec(SQLQuery::rollback);
    rollback();
    return std::nullopt;
  }
  if (readAll &&
      sqlite3_exec(from, SQLQuery::deleteEveryRow, nullptr, nullptr, nullptr) == SQLITE_OK &&
      sqlite3_exec(from, SQLQuery::commit, nullptr, nullptr, nullptr) == SQLITE_OK) {
  } else {
    rollback();
  }
  setCount(count_ + carried);
  return carried;
}

void SQLiteDatabase::readOldest() {
  Statement oldest{nullptr};
  int64_t millis = 0;
  if (sqlite3_prepare_v2(db_, SQLQuery::oldestTimestamp, -1, &oldest.handle, nullptr) ==
          SQLITE_OK &&
      sqlite3_step(oldest.handle) == SQLITE_ROW) {
    millis = sqlite3_column_int64(oldest.handle, 0);
  }
  oldestAtOpen_.store(millis);
}

bool SQLiteDatabase::healIfUnreadable(int code) {
  if (!unreadable(code)) return false;
  heal(messageOf(db_));
  return true;
}

int SQLiteDatabase::exec(const char* sql) {
  return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

std::string SQLiteDatabase::errorMessage() const {
  return messageOf(db_);
}

sqlite3_stmt* SQLiteDatabase::prepareStatement(const std::string& query) {
  sqlite3_stmt* statement = nullptr;
  if (db_ == nullptr) {
    throw SQLiteError(SQLiteError::Kind::Prepare, "the event store is not open");
  }
  if (sqlite3_prepare_v2(db_, query.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    int code = sqlite3_errcode(db_);
    std::string message = errorMessage();
    healIfUnreadable(code);
    throw SQLiteError(SQLiteError::Kind::Prepare, message);
  }
  Log::infoLazy([&] { return "prepareStatement - query: " + query; });
  return statement;
}

sqlite3_stmt* SQLiteDatabase::statement(const char* query) {
  auto found = statements_.find(query);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* prepared = prepareStatement(query);
  statements_.emplace(query, prepared);
  return prepared;
}

void SQLiteDatabase::setCount(int64_t count) {
  count_ = count < 0 ? 0 : count;
  knownCount_.store(count_);
}

void SQLiteDatabase::refreshCount() {
  if (db_ == nullptr) return;
  try {
    // data_version moves only when another connection (another process of the app) committed.
    sqlite3_stmt* version = statement(SQLQuery::dataVersion);
    Reset reset{version};
    if (sqlite3_step(version) != SQLITE_ROW) return;
    int64_t now = sqlite3_column_int64(version, 0);
    if (now == dataVersion_) return;
    dataVersion_ = now;
    sqlite3_stmt* count = statement(SQLQuery::count);
    Reset resetCount{count};
    int rc = sqlite3_step(count);
    if (rc == SQLITE_ROW) {
      setCount(sqlite3_column_int64(count, 0));
    } else {
      healIfUnreadable(rc);
    }
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
}

int SQLiteDatabase::createTable() {
  sqlite3_stmt* handle = nullptr;
  int rc = sqlite3_prepare_v2(db_, SQLQuery::createTable, -1, &handle, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(handle);
    Log::error(SQLiteError(SQLiteError::Kind::Prepare, errorMessage()).what());
    return rc;
  }
  Statement statement{handle};
  Log::infoLazy([] { return std::string("prepareStatement - query: ") + SQLQuery::createTable; });
  rc = sqlite3_step(statement.handle);
  if (rc != SQLITE_DONE) {
    Log::error(SQLiteError(SQLiteError::Kind::Step, errorMessage()).what());
    return rc;
  }
  return SQLITE_OK;
}

bool SQLiteDatabase::insertRows(std::vector<StoredRow>& rows) {
  if (rows.empty()) return true;
  followReplacedFile();
  if (db_ == nullptr) {
    bool damaged = false;
    std::string message;
    if (!connect(damaged, message)) return false;
  }
  refreshCount();
  try {
    sqlite3_stmt* begin = statement(SQLQuery::begin);
    Reset resetBegin{begin};
    int rc = sqlite3_step(begin);
    if (rc != SQLITE_DONE) {
      if (!healIfUnreadable(rc))
        Log::error(SQLiteError(SQLiteError::Kind::Step, errorMessage()).what());
      return false;
    }
    sqlite3_stmt* insert = statement(SQLQuery::insert);
    int64_t inserted = 0;
    for (auto& row : rows) {
      Reset reset{insert};
      bindText(insert, 1, row.eventUUID);
      bindText(insert, 2, row.event);
      static const std::string empty = "{}";
      bindText(insert, 3, row.page ? *row.page : empty);
      bindText(insert, 4, row.user ? *row.user : empty);
      bindText(insert, 5, row.version);
      rc = sqlite3_step(insert);
      if (rc == SQLITE_DONE) {
        row.rowid = sqlite3_last_insert_rowid(db_);
        ++inserted;
        Log::info("Successfully inserted row.");
        continue;
      }
      if ((rc & 0xff) == SQLITE_CONSTRAINT) {
        // One row refused (an id already stored): the others still go.
        row.rowid = -1;
        Log::error(SQLiteError(SQLiteError::Kind::Step, errorMessage()).what());
        continue;
      }
      std::string message = errorMessage();
      exec(SQLQuery::rollback);
      if (!healIfUnreadable(rc)) Log::error(SQLiteError(SQLiteError::Kind::Step, message).what());
      return false;
    }
    sqlite3_stmt* commit = statement(SQLQuery::commit);
    Reset resetCommit{commit};
    rc = sqlite3_step(commit);
    if (rc != SQLITE_DONE) {
      std::string message = errorMessage();
      exec(SQLQuery::rollback);
      if (!healIfUnreadable(rc)) Log::error(SQLiteError(SQLiteError::Kind::Step, message).what());
      return false;
    }
    setCount(count_ + inserted);
    return true;
  } catch (const SQLiteError& error) {
    Log::error(error.what());
    if (db_ != nullptr && !sqlite3_get_autocommit(db_)) exec(SQLQuery::rollback);
    return false;
  }
}

std::vector<StoredRow> SQLiteDatabase::readAfter(int64_t afterRowid, int64_t limit) {
  std::vector<StoredRow> rows;
  if (limit <= 0) return rows;
  followReplacedFile();
  if (db_ == nullptr) return rows;
  try {
    sqlite3_stmt* read = statement(SQLQuery::readAfter);
    Reset reset{read};
    sqlite3_bind_int64(read, 1, afterRowid);
    sqlite3_bind_int64(read, 2, limit);
    int rc;
    while ((rc = sqlite3_step(read)) == SQLITE_ROW) {
      StoredRow row;
      row.rowid = sqlite3_column_int64(read, 0);
      row.eventUUID = columnText(read, 1);
      row.event = columnText(read, 2);
      row.page = StoredRow::text(columnText(read, 3));
      row.user = StoredRow::text(columnText(read, 4));
      row.version = columnText(read, 5);
      rows.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      // What was read before the damage still goes out; the rest is gone with the file.
      std::string message = errorMessage();
      if (!healIfUnreadable(rc)) Log::error(SQLiteError(SQLiteError::Kind::Step, message).what());
    }
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return rows;
}

std::optional<int64_t> SQLiteDatabase::count() {
  if (db_ == nullptr) return std::nullopt;
  refreshCount();
  return count_;
}

bool SQLiteDatabase::deleteIds(const std::vector<std::string>& ids) {
  if (ids.empty()) return true;
  bool deleted = false;
  try {
    deleted = deleteList(SQLQuery::deleteIds,
                         Json(ids).dump(-1, ' ', false, Json::error_handler_t::strict));
  } catch (const Json::exception&) {
    // JSON cannot carry an id that is not UTF-8 (only a tampered row has one): one by one then.
    deleted = std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
      return deleteList(SQLQuery::deleteId, id);
    });
  }
  Log::info(deleted ? "Rows Deleted" : "Unable to delete the rows");
  return deleted;
}

bool SQLiteDatabase::deleteRowids(const std::vector<int64_t>& rowids) {
  if (rowids.empty()) return true;
  return deleteList(SQLQuery::deleteRowids, Json(rowids).dump());
}

bool SQLiteDatabase::deleteList(const char* query, const std::string& value) {
  try {
    sqlite3_stmt* remove = statement(query);
    Reset reset{remove};
    bindText(remove, 1, value);
    int rc = sqlite3_step(remove);
    if (rc == SQLITE_DONE) {
      setCount(count_ - sqlite3_changes(db_));
      return true;
    }
    healIfUnreadable(rc);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return false;
}

std::optional<int64_t> SQLiteDatabase::deleteOldest(int64_t afterRowid, int64_t count) {
  if (count <= 0) return 0;
  try {
    return deleteBetween(SQLQuery::deleteOldest, afterRowid, count);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return std::nullopt;
}

std::optional<int64_t> SQLiteDatabase::deleteBetween(const char* query, int64_t first,
                                                     int64_t second) {
  sqlite3_stmt* trim = statement(query);
  Reset reset{trim};
  sqlite3_bind_int64(trim, 1, first);
  sqlite3_bind_int64(trim, 2, second);
  int rc = sqlite3_step(trim);
  if (rc == SQLITE_DONE) {
    int64_t gone = sqlite3_changes(db_);
    setCount(count_ - gone);
    return gone;
  }
  std::string message = errorMessage();
  if (!healIfUnreadable(rc)) Log::error(SQLiteError(SQLiteError::Kind::Step, message).what());
  return std::nullopt;
}

std::optional<int64_t> SQLiteDatabase::deleteOldestBytes(int64_t afterRowid, int64_t bytes) {
  if (bytes <= 0) return 0;
  try {
    int64_t through = afterRowid;
    {
      sqlite3_stmt* sizes = statement(SQLQuery::oldestSizes);
      Reset reset{sizes};
      sqlite3_bind_int64(sizes, 1, afterRowid);
      int64_t freed = 0;
      int rc;
      while (freed < bytes && (rc = sqlite3_step(sizes)) == SQLITE_ROW) {
        through = sqlite3_column_int64(sizes, 0);
        freed += sqlite3_column_int64(sizes, 1);
      }
      if (freed < bytes && rc != SQLITE_DONE) {
        if (!healIfUnreadable(rc))
          Log::error(SQLiteError(SQLiteError::Kind::Step, errorMessage()).what());
        return std::nullopt;
      }
    }
    if (through == afterRowid) return 0;
    return deleteBetween(SQLQuery::deleteRange, afterRowid, through);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return std::nullopt;
}

std::optional<int64_t> SQLiteDatabase::integerOf(const char* query,
                                                 std::initializer_list<int64_t> values) {
  try {
    sqlite3_stmt* select = statement(query);
    Reset reset{select};
    int index = 0;
    for (int64_t value : values) sqlite3_bind_int64(select, ++index, value);
    int rc = sqlite3_step(select);
    if (rc == SQLITE_ROW) return sqlite3_column_int64(select, 0);
    healIfUnreadable(rc);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return std::nullopt;
}

std::optional<int64_t> SQLiteDatabase::countThrough(int64_t rowid, int64_t limit) {
  return integerOf(SQLQuery::countThrough, {rowid, limit});
}

std::optional<int64_t> SQLiteDatabase::countAfter(int64_t rowid) {
  return integerOf(SQLQuery::countAfter, {rowid});
}

int64_t SQLiteDatabase::maxRowid() {
  return integerOf(SQLQuery::maxRowid, {}).value_or(0);
}

std::optional<int64_t> SQLiteDatabase::deleteAll() {
  followReplacedFile();
  try {
    Statement statement{prepareStatement(SQLQuery::deleteAll)};
    int rc = sqlite3_step(statement.handle);
    if (rc == SQLITE_DONE) {
      const int64_t gone = sqlite3_changes(db_);
      setCount(0);
      Log::info("Deleted all rows");
      return gone;
    }
    Log::info("Unable to delete all the rows");
    healIfUnreadable(rc);
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return std::nullopt;
}

std::optional<int64_t> SQLiteDatabase::usedBytes() {
  try {
    int64_t values[3] = {0, 0, 0};
    const char* pragmas[3] = {SQLQuery::pageCount, SQLQuery::freelistCount, SQLQuery::pageSize};
    for (int i = 0; i < 3; ++i) {
      sqlite3_stmt* pragma = statement(pragmas[i]);
      Reset reset{pragma};
      int rc = sqlite3_step(pragma);
      if (rc != SQLITE_ROW) {
        healIfUnreadable(rc);
        return std::nullopt;
      }
      values[i] = sqlite3_column_int64(pragma, 0);
    }
    return std::max<int64_t>(0, values[0] - values[1]) * values[2];
  } catch (const SQLiteError& error) {
    Log::error(error.what());
  }
  return std::nullopt;
}

int64_t SQLiteDatabase::countNow() {
  std::lock_guard lock(readerMutex_);
  const ino_t now = inodeOf(location_);
  if (reader_ != nullptr && now != readerInode_) {
    sqlite3_close(reader_);
    reader_ = nullptr;
  }
  if (reader_ == nullptr && now != 0) {
    if (sqlite3_open_v2(location_.c_str(), &reader_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
      sqlite3_close(reader_);
      reader_ = nullptr;
    } else {
      readerInode_ = now;
      // A writer mid-checkpoint may hold the file briefly; a stale answer beats a long wait.
      sqlite3_busy_timeout(reader_, 100);
    }
  }
  if (reader_ == nullptr) return knownCount();
  sqlite3_stmt* handle = nullptr;
  if (sqlite3_prepare_v2(reader_, SQLQuery::count, -1, &handle, nullptr) != SQLITE_OK) {
    sqlite3_finalize(handle);
    return knownCount();
  }
  Statement count{handle};
  if (sqlite3_step(handle) != SQLITE_ROW) return knownCount();
  return sqlite3_column_int64(handle, 0);
}

}  // namespace kelvor
