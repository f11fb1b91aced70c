#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/Events.hpp"

namespace kelvor {

// The store's statement texts.
struct SQLQuery {
  static constexpr const char* createTable =
      "CREATE TABLE IF NOT EXISTS events(eventUUID TEXT PRIMARY KEY,events TEXT,page TEXT,user "
      "TEXT,version TEXT);";
  static constexpr const char* insert =
      "INSERT INTO events (eventUUID,events,page,user,version) VALUES (?, ?, ?, ?, ?);";
  static constexpr const char* count = "SELECT COUNT(*) FROM events;";
  static constexpr const char* readAll = "SELECT * FROM events";
  static constexpr const char* deleteAll = "DELETE FROM events";

  static std::string readFirst(int64_t limit);
  // DELETE FROM events WHERE eventUUID in ('A','B'). A quote inside an id is doubled, so a
  // tampered row cannot change the statement.
  static std::string deleteQuery(const std::vector<Events>& events);
  static std::string deleteQuery(const std::vector<std::string>& ids);
};

}  // namespace kelvor
