#pragma once

namespace kelvor {

// Every statement the store runs. Values are always bound, never written into the text; a list
// of ids travels as one JSON array parameter.
struct SQLQuery {
  static constexpr const char* createTable =
      "CREATE TABLE IF NOT EXISTS events(eventUUID TEXT PRIMARY KEY,events TEXT,page TEXT,user "
      "TEXT,version TEXT);";
  static constexpr const char* insert =
      "INSERT INTO events (eventUUID,events,page,user,version) VALUES (?, ?, ?, ?, ?);";
  static constexpr const char* count = "SELECT COUNT(*) FROM events;";
  static constexpr const char* deleteAll = "DELETE FROM events";

  static constexpr const char* begin = "BEGIN IMMEDIATE;";
  static constexpr const char* commit = "COMMIT;";
  static constexpr const char* rollback = "ROLLBACK;";
  static constexpr const char* dataVersion = "PRAGMA data_version;";
  static constexpr const char* userVersion = "PRAGMA user_version;";
  static constexpr const char* setUserVersion = "PRAGMA user_version = ";  // + the number
  static constexpr const char* journalWal = "PRAGMA journal_mode=WAL;";
  static constexpr const char* synchronousNormal = "PRAGMA synchronous=NORMAL;";
  static constexpr const char* pageCount = "PRAGMA page_count;";
  static constexpr const char* freelistCount = "PRAGMA freelist_count;";
  static constexpr const char* pageSize = "PRAGMA page_size;";

  static constexpr const char* readAfter =
      "SELECT rowid,eventUUID,events,page,user,version FROM events WHERE rowid > ? ORDER BY rowid "
      "LIMIT ?;";
  // The report time of the oldest row, read once at open.
  static constexpr const char* oldestTimestamp =
      "SELECT json_extract(events,'$.eventTimestamp') FROM events WHERE json_valid(events) ORDER "
      "BY rowid LIMIT 1;";
  // Counting stops at the limit: a flush only asks whether anything is left.
  static constexpr const char* countThrough =
      "SELECT COUNT(*) FROM (SELECT 1 FROM events WHERE rowid <= ? LIMIT ?);";
  static constexpr const char* maxRowid = "SELECT MAX(rowid) FROM events;";
  static constexpr const char* countAfter = "SELECT COUNT(*) FROM events WHERE rowid > ?;";
  // The bytes each row takes, oldest first: trimming by size stops as soon as enough is freed.
  static constexpr const char* oldestSizes =
      "SELECT rowid, length(CAST(eventUUID AS BLOB)) + length(CAST(events AS BLOB)) + "
      "ifnull(length(CAST(page AS BLOB)), 0) + ifnull(length(CAST(user AS BLOB)), 0) + "
      "ifnull(length(CAST(version AS BLOB)), 0) FROM events WHERE rowid > ? ORDER BY rowid;";

  // The one parameter is a JSON array: ids as strings, rowids as numbers.
  static constexpr const char* deleteIds =
      "DELETE FROM events WHERE eventUUID IN (SELECT value FROM json_each(?));";
  static constexpr const char* deleteId = "DELETE FROM events WHERE eventUUID = ?;";
  static constexpr const char* deleteRowids =
      "DELETE FROM events WHERE rowid IN (SELECT value FROM json_each(?));";
  static constexpr const char* deleteOldest =
      "DELETE FROM events WHERE rowid IN (SELECT rowid FROM events WHERE rowid > ? ORDER BY rowid "
      "LIMIT ?);";
  static constexpr const char* deleteRange = "DELETE FROM events WHERE rowid > ? AND rowid <= ?;";

  // Carrying the rows of a file that left the path into the store now at the path.
  static constexpr const char* readAllRows =
      "SELECT rowid,eventUUID,events,page,user,version FROM events ORDER BY rowid;";
  static constexpr const char* insertCarried =
      "INSERT OR IGNORE INTO events (rowid,eventUUID,events,page,user,version) VALUES "
      "(?,?,?,?,?,?);";
  static constexpr const char* deleteEveryRow = "DELETE FROM events;";
};

}  // namespace kelvor
