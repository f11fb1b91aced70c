// The store's and the transport's share of one batch, each against a raw baseline measured in
// the same run: grouped SQLite inserts, and a kept-alive curl handle posting the same body.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sqlite3.h>

#include <future>

#include <kelvor/Log.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "Samples.hpp"
#include "pipeline/SQLQuery.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/Uuid.hpp"
#include "support/Collector.hpp"
#include "support/TempDir.hpp"
#include "transport/OrvaService.hpp"

namespace {

using kelvor::StoredRow;

std::vector<StoredRow> rows(int count) {
  std::vector<StoredRow> out;
  for (int i = 0; i < count; ++i) out.push_back(kelvor::bench::sampleRow(i));
  return out;
}

// Baseline: 50 prepared inserts in one transaction on the caller's thread.
void BM_RawSqliteGroupedInsert50(benchmark::State& state) {
  kelvor::testing::TempDir dir;
  sqlite3* db = nullptr;
  sqlite3_open((dir.path() / "raw.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
               nullptr);
  sqlite3_exec(db, kelvor::SQLQuery::createTable, nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, kelvor::SQLQuery::insert, -1, &insert, nullptr);
  auto batch = rows(50);
  for (auto _ : state) {
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    for (auto& r : batch) {
      r.eventUUID = kelvor::Uuid::random();
      kelvor::bench::rawInsert(insert, r);
    }
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_RawSqliteGroupedInsert50)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The store's commit of 50 rows, handed to its queue and waited for.
void BM_StoreInsertRows50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  kelvor::testing::TempDir dir;
  auto db = kelvor::SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  auto batch = rows(50);
  int64_t stored = 0;
  for (auto _ : state) {
    for (auto& r : batch) r.eventUUID = kelvor::Uuid::random();
    db->databaseQueue().sync([&] { stored += db->insertRows(batch) ? 50 : 0; });
  }
  state.counters["stored"] = static_cast<double>(stored);  // checksum: 50 × iterations
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_StoreInsertRows50)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What an accepted upload costs the store: read 50 rows, splice the body, delete them (the
// refill is measured too; subtract BM_StoreInsertRows50).
void BM_StoreRefillReadSpliceDelete50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  kelvor::testing::TempDir dir;
  auto db = kelvor::SQLiteDatabase::open(dir.path(), "kelvorDB.sqlite");
  auto batch = rows(50);
  size_t bytes = 0;
  for (auto _ : state) {
    for (auto& r : batch) r.eventUUID = kelvor::Uuid::random();
    db->databaseQueue().sync([&] {
      db->insertRows(batch);
      auto read = db->readAfter(0, 50);
      std::string body = "{\"events\":[";
      std::vector<std::string> ids;
      for (auto& row : read) {
        row.decode();
        kelvor::OrvaService::appendEvent(body, row.texts());
        body += ',';
        ids.push_back(row.eventUUID);
      }
      bytes += body.size();
      db->deleteIds(ids);
    });
  }
  state.counters["left"] = static_cast<double>(db->knownCount());  // checksum: 0
  benchmark::DoNotOptimize(bytes);
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_StoreRefillReadSpliceDelete50)->Unit(benchmark::kMicrosecond)->UseRealTime();

kelvor::testing::Collector& collector() {
  static auto* c = new kelvor::testing::Collector({"--out", "/dev/null"});
  return *c;
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Baseline: one reused curl handle (one kept-alive connection) posting the same body.
void BM_RawCurlPost50(benchmark::State& state) {
  auto& c = collector();
  const std::string body = kelvor::bench::batchBody(50);
  const std::string url = c.baseUrl() + "fp?optin=yes";
  const std::string auth = "Authorization: Basic " + kelvor::OrvaService::credential("key");
  CURL* easy = curl_easy_init();
  curl_slist* headers = curl_slist_append(nullptr, auth.c_str());
  headers = curl_slist_append(headers, "Content-Type: application/json");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, c.caFile().c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  int64_t accepted = 0;
  for (auto _ : state) accepted += curl_easy_perform(easy) == CURLE_OK;
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  state.counters["accepted"] = static_cast<double>(accepted);
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_RawCurlPost50)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The library's road for the same body: the networking thread and back.
void BM_OrvaServicePost50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  auto& c = collector();
  auto http = std::make_shared<kelvor::HttpService>(c.caFile());
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->setApiKey("key");
  kelvor::OrvaService orva(http, option, c.baseUrl(), [] { return std::string("bench"); });
  const std::string body = kelvor::bench::batchBody(50);
  int64_t accepted = 0;
  for (auto _ : state) {
    std::promise<bool> done;
    orva.sendEvents(
        body, {true, true, {}},
        [&](int64_t, const std::optional<kelvor::HttpResponse>&, const kelvor::TransferError&) {
          done.set_value(true);
        },
        [&](int64_t, const std::optional<kelvor::HttpResponse>&, const kelvor::TransferError&) {
          done.set_value(false);
        });
    accepted += done.get_future().get();
  }
  state.counters["accepted"] = static_cast<double>(accepted);
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_OrvaServicePost50)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
