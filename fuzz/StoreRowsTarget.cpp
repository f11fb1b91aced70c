// Rows of a damaged or foreign store: whatever each column holds, a row either goes out as valid
// JSON or is dropped, and the ids it holds can be deleted.
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <kelvor/Log.hpp>

#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "Sandbox.hpp"
#include "pipeline/Events.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor::fuzz {

int storeRows(const uint8_t* data, size_t size) {
  static auto* db = [] {
    Log::setEnabled(false);
    return new std::shared_ptr<SQLiteDatabase>(
        SQLiteDatabase::open(sandbox() / "store", SQLiteDatabase::fileName));
  }();
  static sqlite3* raw = [] {
    sqlite3* handle = nullptr;
    sqlite3_open((*db)->location().c_str(), &handle);
    return handle;
  }();
  FuzzInput in(data, size);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(raw, "INSERT INTO events VALUES (?, ?, ?, ?, ?);", -1, &insert, nullptr);
  for (int rows = 1 + in.byte() % 3; rows > 0 && !in.empty(); --rows) {
    for (int column = 1; column <= 5; ++column) {
      const std::string text = in.text(600);
      if (in.byte() % 8 == 0) {
        sqlite3_bind_null(insert, column);
      } else {
        sqlite3_bind_text(insert, column, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
      }
    }
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  (*db)->databaseQueue().sync([&] {
    std::vector<std::string> ids;
    for (auto& row : (*db)->readAfter(0, 10)) {
      if (!row.eventUUID.empty()) ids.push_back(row.eventUUID);
      if (row.decode()) {
        const std::string wire = OrvaService::batchBody({row.texts()});
        // A row that decodes must splice into valid JSON, or it would spoil its whole batch.
        if (!Json::accept(wire)) {
          std::fprintf(stderr, "decoded row spliced into invalid JSON: %s\n", wire.c_str());
          std::abort();
        }
      }
      (void)row.toRecord();
    }
    // Whatever bytes an id holds, deleting it by id removes exactly that row.
    (*db)->deleteIds(ids);
    for (const auto& row : (*db)->readAfter(0, 10)) {
      if (std::count(ids.begin(), ids.end(), row.eventUUID) > 0) std::abort();
    }
    (*db)->deleteAll();
  });
  return 0;
}

}  // namespace kelvor::fuzz
