#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kelvor::testing {

// A store file as another program sees it: a connection of the test's own, not the library's.

// Runs the statements; true when all succeeded.
inline bool rawExec(const std::filesystem::path& file, const std::string& sql) {
  sqlite3* raw = nullptr;
  const bool ok = sqlite3_open(file.c_str(), &raw) == SQLITE_OK &&
                  sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(raw);
  return ok;
}

// The first column of every row one statement yields, as text.
inline std::vector<std::string> rawColumn(const std::filesystem::path& file, const char* sql) {
  std::vector<std::string> out;
  sqlite3* raw = nullptr;
  sqlite3_stmt* read = nullptr;
  if (sqlite3_open(file.c_str(), &raw) == SQLITE_OK &&
      sqlite3_prepare_v2(raw, sql, -1, &read, nullptr) == SQLITE_OK) {
    while (sqlite3_step(read) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(read, 0));
      out.emplace_back(text != nullptr ? text : "");
    }
  }
  sqlite3_finalize(read);
  sqlite3_close(raw);
  return out;
}

}  // namespace kelvor::testing
