// Event store throughput against a raw SQLite loop on the same file settings.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>

#include <kelvor/Log.hpp>

#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/Uuid.hpp"

namespace {

using kelvor::Events;
using kelvor::Json;

std::filesystem::path freshDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvor-bench-XXXXXX").string();
  return mkdtemp(pattern.data());
}

Events sample() {
  Events e;
  e.eventUUID = kelvor::Uuid::random();
  e.event = {
      {"eventName", "product_viewed"}, {"eventTimestamp", "1765000000000"}, {"sku", "SKU-1"}};
  e.page = Json{{"screen", "catalogue"}};
  e.user = {{"ki", kelvor::Uuid::random()},
            {"network_type", "wi-fi"},
            {"country", "DE"},
            {"carrier", "Simulator"},
            {"app_name", "Bench"},
            {"app_version", "1.0"},
            {"device_model_identifier", "x86_64"},
            {"os_type", "Debian GNU/Linux"},
            {"os_version", "12"}};
  return e;
}

// The store never holds more than maxCacheSize (at most 200) rows; both loops empty the table
// every 200 rows so COUNT(*) scans what it would scan in use.
constexpr int64_t kCacheRows = 200;

// Baseline: a prepared INSERT and COUNT per row on the caller's thread, no queue, no JSON
// serialisation, WAL with synchronous=NORMAL.
void BM_RawSqliteInsertAndCount(benchmark::State& state) {
  auto dir = freshDir();
  sqlite3* db = nullptr;
  sqlite3_open((dir / "raw.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
               nullptr);
  sqlite3_exec(db, kelvor::SQLQuery::createTable, nullptr, nullptr, nullptr);
  Events e = sample();
  std::string event = e.event.dump(), page = e.page->dump(), user = e.user.dump();
  int64_t rows = 0;
  for (auto _ : state) {
    std::string id = kelvor::Uuid::random();
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(
        db, "INSERT INTO events (eventUUID,events,page,user,version) VALUES (?, ?, ?, ?, ?);", -1,
        &statement, nullptr);
    sqlite3_bind_text(statement, 1, id.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 2, event.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 3, page.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 4, user.c_str(), -1, SQLITE_STATIC);
    sqlite3_bind_text(statement, 5, "1.3.0", -1, SQLITE_STATIC);
    rows += sqlite3_step(statement) == SQLITE_DONE;
    sqlite3_finalize(statement);
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM events;", -1, &statement, nullptr);
    sqlite3_step(statement);
    int count = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    if (count >= kCacheRows) sqlite3_exec(db, "DELETE FROM events", nullptr, nullptr, nullptr);
  }
  state.counters["rows"] = static_cast<double>(rows);
  state.SetItemsProcessed(state.iterations());
  sqlite3_close(db);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RawSqliteInsertAndCount)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The store's part of capturing one event: insert, count and trim (one run-and-wait task on the
// store's queue), then the size trigger's count (another).
void BM_StoreInsertAndCount(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  auto dir = freshDir();
  auto db = kelvor::SQLiteDatabase::open(dir, "kelvorDB.sqlite");
  Events e = sample();
  std::optional<int64_t> count;
  int64_t rows = 0;
  for (auto _ : state) {
    e.eventUUID = kelvor::Uuid::random();
    db->databaseQueue().sync([&] {
      db->insert(e);
      count = db->count();
    });
    db->databaseQueue().sync([&] { count = db->count(); });
    benchmark::DoNotOptimize(count);
    if (count.value_or(0) >= kCacheRows) {
      rows += *count;
      db->databaseQueue().sync([&] { db->deleteAll(); });
    }
  }
  state.counters["rows"] = static_cast<double>(rows + count.value_or(0) % kCacheRows);  // checksum
  state.SetItemsProcessed(state.iterations());
  db.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StoreInsertAndCount)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Reading and deleting one batch of 50, as an accepted upload does (the 50 inserts that refill
// the table are part of each iteration and measured as well).
void BM_StoreRefillReadDeleteBatch50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  auto dir = freshDir();
  auto db = kelvor::SQLiteDatabase::open(dir, "kelvorDB.sqlite");
  Events e = sample();
  int64_t deleted = 0;
  for (auto _ : state) {
    db->databaseQueue().sync([&] {
      for (int i = 0; i < 50; ++i) {
        e.eventUUID = kelvor::Uuid::random();
        db->insert(e);
      }
    });
    std::vector<Events> batch;
    db->databaseQueue().sync([&] { batch = db->readEvents(50); });
    db->databaseQueue().sync([&] { db->deleteEvents(batch); });
    deleted += static_cast<int64_t>(batch.size());
  }
  std::optional<int64_t> left;
  db->databaseQueue().sync([&] { left = db->count(); });
  state.counters["deleted"] = static_cast<double>(deleted);
  state.counters["left"] = static_cast<double>(left.value_or(-1));  // checksum: 0
  state.SetItemsProcessed(state.iterations() * 50);
  db.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StoreRefillReadDeleteBatch50)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Baseline for the one above: the same 50 inserts alone.
void BM_StoreRefill50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  auto dir = freshDir();
  auto db = kelvor::SQLiteDatabase::open(dir, "kelvorDB.sqlite");
  Events e = sample();
  for (auto _ : state) {
    db->databaseQueue().sync([&] {
      for (int i = 0; i < 50; ++i) {
        e.eventUUID = kelvor::Uuid::random();
        db->insert(e);
      }
    });
  }
  state.SetItemsProcessed(state.iterations() * 50);
  db.reset();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_StoreRefill50)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
