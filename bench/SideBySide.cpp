// kelvor_side_by_side: the pipeline's figures beside raw baselines measured in the same run.
//
// Without arguments it starts the collector and runs every scenario in a process of its own (so
// each peak RSS and CPU figure is that scenario's alone), then prints one table. With
// `--scenario NAME ...` it runs one scenario and prints one JSON line.
#include <curl/curl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <kelvor/Quorvel.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Samples.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/StoredRow.hpp"
#include "support/Collector.hpp"
#include "support/TempDir.hpp"
#include "transport/OrvaService.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kelvor::Json;
using kelvor::bench::peakRssMiB;
using kelvor::bench::properties;
using kelvor::bench::rssMiB;
using kelvor::bench::sampleRow;
using kelvor::bench::tenProperties;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuMillis() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

struct Args {
  std::string scenario;
  std::string url;
  std::string ca;
  std::string folder;
  long n = 0;
  long m = 0;
};

kelvor::Quorvel* start(const Args& a, bool defaults = false) {
  kelvor::QuorvelOption option;
  if (!defaults) option.batchSize(50).maxCacheSize(200);
  return kelvor::bench::startOrExit(a.folder, a.url, a.ca, option);
}

void print(const Json& result) {
  std::cout << result.dump() << std::endl;
}

// A burst reported as fast as one thread can, then a flush.
void burst(const Args& a, bool defaults = false) {
  auto* q = start(a, defaults);
  q->flush(std::chrono::seconds(10));
  const double rest = rssMiB();
  const double cpuBefore = cpuMillis();
  const auto t0 = Clock::now();
  for (long i = 0; i < a.n; ++i) q->setEventProperties("bench", properties(static_cast<int>(i)));
  const double reported = secondsSince(t0);
  const bool flushed = q->flush(std::chrono::seconds(120));
  const double total = secondsSince(t0);
  auto stats = q->deliveryStats();
  print({{"reported", a.n},
         {"sent", stats.sent},
         {"dropped", stats.droppedByCacheCap},
         {"flushed", flushed},
         {"report_s", reported},
         {"total_s", total},
         {"cpu_ms", cpuMillis() - cpuBefore},
         {"rss_mib", peakRssMiB()},
         {"rest_mib", rest}});
}

// Until everything is committed, with the endpoint never answering (one batch stays out).
void stored(const Args& a) {
  auto* q = start(a);
  const auto t0 = Clock::now();
  for (long i = 0; i < a.n; ++i) q->setEventProperties("bench", properties(static_cast<int>(i)));
  while (q->deliveryStats().stored < static_cast<uint64_t>(a.n)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (secondsSince(t0) > 60) break;
  }
  print({{"rate", a.n / secondsSince(t0)}, {"stored", q->deliveryStats().stored}});
  std::_Exit(0);  // the silent endpoint would hold the exit
}

// Per-call latency of an event of ten properties from `m` threads; with `locked`, another
// connection holds the store's write lock and the calls are paced at 500 a second.
void latency(const Args& a, bool locked = false, bool paced = false) {
  auto* q = start(a);
  paced = paced || locked;
  sqlite3* holder = nullptr;
  if (locked) {
    sqlite3_open((a.folder + "/documents/kelvorDB.sqlite").c_str(), &holder);
    sqlite3_exec(holder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
  }
  const int threads = static_cast<int>(a.m);
  std::vector<std::vector<double>> samples(threads);
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      auto& mine = samples[t];
      mine.reserve(a.n);
      Json props = tenProperties(t);
      const auto t0 = Clock::now();
      for (long i = 0; i < a.n; ++i) {
        const auto before = Clock::now();
        q->setEventProperties("bench", props);
        mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
        if (paced) std::this_thread::sleep_until(t0 + std::chrono::milliseconds(2 * (i + 1)));
      }
    });
  }
  for (auto& w : workers) w.join();
  if (holder != nullptr) {
    sqlite3_exec(holder, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
  }
  q->flush(std::chrono::seconds(paced ? 5 : 120));
  std::vector<double> all;
  for (auto& s : samples) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  auto at = [&](double p) { return all[std::min(all.size() - 1, size_t(p * all.size()))]; };
  print({{"p50", at(0.50)}, {"p99", at(0.99)}, {"max", all.back()}});
  if (paced) std::_Exit(0);  // the silent endpoint would hold the exit
}

// Four threads report a burst, then main returns: the driver counts what the store holds.
void exitBurst(const Args& a) {
  auto* q = start(a, true);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (long i = t; i < a.n; i += 4) q->setEventProperties("bench", properties(int(i)));
    });
  }
  for (auto& thread : threads) thread.join();
  const auto now =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  print({{"returning_us", now}});
}

// `n` events a second for `m` seconds, paced in 1 ms slices, then a flush.
void steady(const Args& a) {
  auto* q = start(a);
  const long perSlice = std::max<long>(1, a.n / 1000);
  const auto t0 = Clock::now();
  long reported = 0;
  for (long slice = 0; slice < a.m * 1000; ++slice) {
    for (long i = 0; i < perSlice; ++i) q->setEventProperties("bench", properties(int(reported++)));
    std::this_thread::sleep_until(t0 + std::chrono::milliseconds(slice + 1));
  }
  const auto f0 = Clock::now();
  const bool flushed = q->flush(std::chrono::seconds(60));
  auto stats = q->deliveryStats();
  print({{"reported", reported},
         {"sent", stats.sent},
         {"dropped", stats.droppedByCacheCap},
         {"flushed", flushed},
         {"flush_s", secondsSince(f0)}});
}

// A stored backlog drained by a flush: requests a second.
void drain(const Args& a) {
  kelvor::Log::setEnabled(false);
  {
    auto db =
        kelvor::SQLiteDatabase::open(a.folder + "/documents", kelvor::SQLiteDatabase::fileName);
    std::vector<kelvor::StoredRow> rows;
    for (long i = 0; i < a.n; ++i) rows.push_back(sampleRow(static_cast<int>(i)));
    db->databaseQueue().sync([&] { db->insertRows(rows); });
  }
  auto* q = start(a);
  const auto t0 = Clock::now();
  const bool flushed = q->flush(std::chrono::seconds(120));
  const double seconds = secondsSince(t0);
  const double requests = std::ceil(static_cast<double>(q->deliveryStats().sent) / 50.0);
  print({{"requests_per_s", requests / seconds},
         {"sent", q->deliveryStats().sent},
         {"flushed", flushed}});
}

// Reported while the endpoint cannot be reached; then main returns.
void offline(const Args& a) {
  auto* q = start(a);
  const double rest = rssMiB();
  for (long i = 0; i < a.n; ++i) q->setEventProperties("bench", properties(static_cast<int>(i)));
  auto stats = q->deliveryStats();
  const auto now =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  print({{"rss_mib", peakRssMiB()},
         {"rest_mib", rest},
         {"dropped", stats.droppedByCacheCap},
         {"returning_us", now}});
}

// flush(1 s) while another thread reports every 100 µs.
void flushOverrun(const Args& a) {
  auto* q = start(a);
  for (int i = 0; i < 100; ++i) q->setEventProperties("before");
  std::atomic<bool> stop{false};
  std::thread reporter([&] {
    while (!stop) {
      q->setEventProperties("busy");
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const auto t0 = Clock::now();
  const bool flushed = q->flush(std::chrono::seconds(1));
  const double elapsed = secondsSince(t0);
  stop = true;
  reporter.join();
  print({{"elapsed_ms", elapsed * 1000}, {"flushed", flushed}});
  std::_Exit(0);
}

// Baselines: the same rows straight into SQLite, one commit each or grouped.
void rawSqlite(const Args& a, bool grouped) {
  sqlite3* db = nullptr;
  sqlite3_open((a.folder + "/raw.sqlite").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
               nullptr);
  sqlite3_exec(db,
               "CREATE TABLE events(eventUUID TEXT PRIMARY KEY,events TEXT,page TEXT,user "
               "TEXT,version TEXT);",
               nullptr, nullptr, nullptr);
  std::vector<kelvor::StoredRow> rows;
  for (long i = 0; i < a.n; ++i) rows.push_back(sampleRow(static_cast<int>(i)));
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO events VALUES (?, ?, ?, ?, ?);", -1, &insert, nullptr);
  const auto t0 = Clock::now();
  for (long i = 0; i < a.n; ++i) {
    if (grouped && i % 500 == 0) sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    kelvor::bench::rawInsert(insert, rows[i]);
    if (grouped && (i % 500 == 499 || i == a.n - 1)) {
      sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    }
  }
  const double seconds = secondsSince(t0);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  print({{"rate", a.n / seconds}});
}

size_t discard(char*, size_t size, size_t count, void*) {
  return size * count;
}

// Baseline: one kept-alive curl handle posting the same 50-event body again and again.
void rawCurl(const Args& a) {
  const std::string body = kelvor::bench::batchBody(50);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  CURL* easy = curl_easy_init();
  curl_slist* headers = nullptr;
  headers = curl_slist_append(
      headers, ("Authorization: Basic " + kelvor::OrvaService::credential("bench-key")).c_str());
  headers = curl_slist_append(headers, "Content-Type: application/json");
  const std::string url = a.url + "fp?optin=yes&identify=true&track=true";
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_CAINFO, a.ca.c_str());
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
  const auto t0 = Clock::now();
  long posts = 0;
  while (secondsSince(t0) < static_cast<double>(a.n)) {
    if (curl_easy_perform(easy) == CURLE_OK) ++posts;
  }
  const double seconds = secondsSince(t0);
  curl_slist_free_all(headers);
  curl_easy_cleanup(easy);
  print({{"posts_per_s", posts / seconds}});
}

int runScenario(const Args& a) {
  const std::string& s = a.scenario;
  if (s == "burst")
    burst(a);
  else if (s == "stored")
    stored(a);
  else if (s == "burst-default")
    burst(a, true);
  else if (s == "latency")
    latency(a);
  else if (s == "latency-locked")
    latency(a, true);
  else if (s == "latency-paced")
    latency(a, false, true);
  else if (s == "exit-burst")
    exitBurst(a);
  else if (s == "steady")
    steady(a);
  else if (s == "drain")
    drain(a);
  else if (s == "offline")
    offline(a);
  else if (s == "flush-overrun")
    flushOverrun(a);
  else if (s == "raw-sqlite-single")
    rawSqlite(a, false);
  else if (s == "raw-sqlite-grouped")
    rawSqlite(a, true);
  else if (s == "raw-curl")
    rawCurl(a);
  else
    return 2;
  return 0;
}

// The driver: one process per scenario; its JSON line and, for `offline`, when it ended.
struct Run {
  Json result;
  double exitAfterMainMs = 0;
  int64_t storedRows = 0;  // in the store once the process ended
};

Run run(const char* self, const std::string& scenario, const std::string& url,
        const std::string& ca, long n, long m) {
  kelvor::testing::TempDir folder;
  const std::string out = (folder.path() / "out.json").string();
  std::ostringstream command;
  command << "'" << self << "' --scenario " << scenario << " '" << url << "' '" << ca << "' '"
          << folder.path().string() << "' " << n << " " << m << " > '" << out << "' 2> '"
          << (folder.path() / "err.txt").string() << "'";
  std::cerr << "  " << scenario << " " << n << " " << m << std::endl;
  std::system(command.str().c_str());
  const auto ended =
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
          .count();
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  Run r;
  r.result = Json::parse(line, nullptr, false);
  if (r.result.is_discarded()) r.result = Json::object();
  sqlite3* db = nullptr;
  const auto file = folder.path() / "documents" / "kelvorDB.sqlite";
  if (std::filesystem::exists(file) && sqlite3_open(file.c_str(), &db) == SQLITE_OK) {
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM events;", -1, &count, nullptr);
    if (sqlite3_step(count) == SQLITE_ROW) r.storedRows = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
  }
  sqlite3_close(db);
  if (r.result.contains("returning_us")) {
    // Includes the shell's own exit; a few milliseconds at most.
    r.exitAfterMainMs = (ended - r.result["returning_us"].get<int64_t>()) / 1000.0;
  }
  return r;
}

std::string fixed(double v, int digits = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  if (digits > 0) return text;
  // Whole numbers with thousands separators.
  const std::string whole = text;
  std::string out;
  for (size_t i = 0; i < whole.size(); ++i) {
    const size_t left = whole.size() - i;
    if (i > 0 && left % 3 == 0 && whole[i - 1] != '-') out.push_back(',');
    out.push_back(whole[i]);
  }
  return out;
}

int driver(const char* self) {
  kelvor::testing::Collector healthy({"--out", "/dev/null"});
  kelvor::testing::Collector silent({"--never-answer", "--out", "/dev/null"});
  kelvor::testing::Collector slow({"--delay-ms", "300", "--out", "/dev/null"});
  if (!healthy.started() || !silent.started() || !slow.started()) {
    std::cerr << "cannot start quorvel-collector" << std::endl;
    return 1;
  }
  const std::string url = healthy.baseUrl();
  const std::string ca = healthy.caFile().string();
  std::cerr << "measuring (one process per scenario):" << std::endl;
  auto rawSingle = run(self, "raw-sqlite-single", url, ca, 20000, 0).result;
  auto rawGrouped = run(self, "raw-sqlite-grouped", url, ca, 20000, 0).result;
  auto rawCurl = run(self, "raw-curl", url, ca, 3, 0).result;
  auto burst20k = run(self, "burst", url, ca, 20000, 0).result;
  auto burst1k = run(self, "burst", url, ca, 1000, 0).result;
  auto storedRate =
      run(self, "stored", silent.baseUrl(), silent.caFile().string(), 20000, 0).result;
  auto burstDefault = run(self, "burst-default", url, ca, 20000, 0).result;
  auto exitBurst = run(self, "exit-burst", slow.baseUrl(), slow.caFile().string(), 20000, 0);
  auto lat1 = run(self, "latency", url, ca, 20000, 1).result;
  auto lat4 = run(self, "latency", url, ca, 5000, 4).result;
  auto latLocked =
      run(self, "latency-locked", silent.baseUrl(), silent.caFile().string(), 2000, 1).result;
  auto latPaced =
      run(self, "latency-paced", silent.baseUrl(), silent.caFile().string(), 2000, 1).result;
  auto drained = run(self, "drain", url, ca, 20000, 0).result;
  long lossless = 0;
  for (long rate : {2000L, 5000L, 10000L, 20000L, 40000L, 80000L}) {
    auto r = run(self, "steady", url, ca, rate, 3).result;
    const bool kept = r.value("sent", 0L) == r.value("reported", -1L) &&
                      r.value("flush_s", 99.0) < 1.0 && r.value("dropped", 1L) == 0;
    if (!kept) break;
    lossless = rate;
  }
  auto offline = run(self, "offline", "https://127.0.0.1:9/", ca, 100000, 0);
  auto overrunBusy = run(self, "flush-overrun", url, ca, 0, 0).result;
  auto overrunSilent =
      run(self, "flush-overrun", silent.baseUrl(), silent.caFile().string(), 0, 0).result;

  const double cpuPer1000 =
      burst20k.value("cpu_ms", 0.0) / std::max(1.0, burst20k.value("sent", 0.0)) * 1000.0;
  const double stored = storedRate.value("rate", 0.0);
  const double single = rawSingle.value("rate", 1.0);
  const double drainRate = drained.value("requests_per_s", 0.0);
  const double curlRate = rawCurl.value("posts_per_s", 1.0);
  std::printf("\n| figure | library | raw baseline, same run | ratio | target |\n");
  std::printf("|---|---|---|---|---|\n");
  std::printf("| events delivered of a 20,000 burst (healthy endpoint) | %s | — | — | 20,000 |\n",
              fixed(burst20k.value("sent", 0.0)).c_str());
  std::printf("| events delivered of a 1,000 burst | %s | — | — | 1,000 |\n",
              fixed(burst1k.value("sent", 0.0)).c_str());
  std::printf(
      "| highest steady rate with nothing lost (tried 2k–80k/s, 3 s each) | %s events/s "
      "| — | — | ≥ 10,000 |\n",
      fixed(static_cast<double>(lossless)).c_str());
  std::printf(
      "| events stored per second, one app thread | %s | %s single-row inserts/s; %s "
      "grouped | %.2f× single | ≥ 1× single |\n",
      fixed(stored).c_str(), fixed(single).c_str(), fixed(rawGrouped.value("rate", 0.0)).c_str(),
      stored / single);
  std::printf(
      "| events delivered of a 20,000 burst, default options (maxCacheSize 100) | %s "
      "(dropped %s) | — | — | 20,000 |\n",
      fixed(burstDefault.value("sent", 0.0)).c_str(),
      fixed(burstDefault.value("dropped", 0.0)).c_str());
  std::printf(
      "| stored at exit of a 20,000 burst from four threads (slow endpoint), exit after main "
      "| %s stored, %.0f ms | — | — | 20,000, ≤ ~1,000 ms |\n",
      fixed(static_cast<double>(exitBurst.storedRows)).c_str(), exitBurst.exitAfterMainMs);
  std::printf(
      "| caller latency p50 / p99 / max, ten properties, one thread | %.1f / %.1f / %.0f µs "
      "| — | — | p50 ≤ 3, p99 ≤ 15 µs |\n",
      lat1.value("p50", 0.0), lat1.value("p99", 0.0), lat1.value("max", 0.0));
  std::printf(
      "| caller latency p50 / p99 / max, ten properties, four threads | %.1f / %.1f / %.0f µs "
      "| — | — | p50 ≤ 3, p99 ≤ 15 µs |\n",
      lat4.value("p50", 0.0), lat4.value("p99", 0.0), lat4.value("max", 0.0));
  std::printf(
      "| caller latency p50 / p99 / max, 500/s while another connection holds the write lock "
      "| %.1f / %.1f / %.0f µs | %.1f / %.1f / %.0f µs at 500/s, no lock | %.2f× p99 | p99 ≤ "
      "100 µs |\n",
      latLocked.value("p50", 0.0), latLocked.value("p99", 0.0), latLocked.value("max", 0.0),
      latPaced.value("p50", 0.0), latPaced.value("p99", 0.0), latPaced.value("max", 0.0),
      latLocked.value("p99", 0.0) / std::max(0.001, latPaced.value("p99", 0.0)));
  std::printf(
      "| drain of a stored backlog (20,000 events), requests/s | %s | %s keep-alive "
      "POSTs/s | %.0f %% | ≥ 50 %% |\n",
      fixed(drainRate).c_str(), fixed(curlRate).c_str(), 100.0 * drainRate / curlRate);
  std::printf("| CPU per 1,000 events delivered (20,000 burst) | %.0f ms | — | — | ≤ 60 ms |\n",
              cpuPer1000);
  std::printf(
      "| peak RSS during a 20,000 burst | %.1f MiB | %.1f MiB at rest after initialize "
      "| +%.1f MiB | ≤ 16 MiB |\n",
      burst20k.value("rss_mib", 0.0), burst20k.value("rest_mib", 0.0),
      burst20k.value("rss_mib", 0.0) - burst20k.value("rest_mib", 0.0));
  std::printf(
      "| peak RSS, 100,000 events reported offline | %.1f MiB | %.1f MiB at rest after "
      "initialize | +%.1f MiB | ≤ 16 MiB |\n",
      offline.result.value("rss_mib", 0.0), offline.result.value("rest_mib", 0.0),
      offline.result.value("rss_mib", 0.0) - offline.result.value("rest_mib", 0.0));
  std::printf("| exit after main returns (100,000 offline) | %.0f ms | — | — | ≤ 1,000 ms |\n",
              offline.exitAfterMainMs);
  std::printf(
      "| flush(1 s) while another thread reports every 100 µs | %.0f ms (%s) | — | — "
      "| ≤ 1,000 ms |\n",
      overrunBusy.value("elapsed_ms", 0.0), overrunBusy.value("flushed", false) ? "true" : "false");
  std::printf(
      "| flush(1 s) with an endpoint that never answers | %.0f ms (%s) | — | — | "
      "≤ 1,000 ms |\n",
      overrunSilent.value("elapsed_ms", 0.0),
      overrunSilent.value("flushed", false) ? "true" : "false");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "--scenario") {
    if (argc != 8) return 2;
    Args a{argv[2], argv[3], argv[4], argv[5], std::atol(argv[6]), std::atol(argv[7])};
    return runScenario(a);
  }
  return driver(argv[0]);
}
