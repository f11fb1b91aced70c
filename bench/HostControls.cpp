// kelvor_host_controls: what the host's controls over what leaves the device cost (make bench).
//
// The caller's latency with no control, with a rate limit that lets everything through, with one
// that drops nearly everything, and with an event filter of ten property edits (it runs on the
// library's queue, so the caller should not see it); and how many events a second that filter
// lets through into the store. Without arguments it starts the collectors and runs each case in
// a process of its own, three times, and prints the medians; `--scenario ...` runs one case.
#include <kelvor/Quorvel.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Samples.hpp"
#include "support/Collector.hpp"
#include "support/TempDir.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using kelvor::Json;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Ten edits, as a host scrubbing what it sends might make them.
std::optional<Json> tenEdits(Json record) {
  Json& event = record["event"];
  event["sku"] = "****";
  event["note"] = "****";
  event.erase("campaign");
  event["shipping"].erase("address_line");
  event["shipping"].erase("zip");
  event["price"] = static_cast<int64_t>(event.value("price", 0.0));
  event["screen"] = "checkout";
  Json& user = record["user"];
  user.erase("carrier");
  user.erase("device_model_identifier");
  user["os_version"] = "";
  return record;
}

kelvor::Quorvel* start(const std::string& mode, const std::string& url, const std::string& ca,
                       const std::string& folder) {
  if (mode == "limit") kelvor::Platform::setEventRateLimit(1e9, 1e9);
  if (mode == "limit-dropping") kelvor::Platform::setEventRateLimit(100, 100);
  if (mode == "filter") kelvor::Platform::setEventFilter(tenEdits);
  kelvor::QuorvelOption option;
  option.batchSize(50).maxCacheSize(200);
  return kelvor::bench::startOrExit(folder, url, ca, option);
}

// Per-call latency of n events of ten properties from one thread, to a healthy endpoint.
void latency(kelvor::Quorvel* q, long n) {
  std::vector<double> samples;
  samples.reserve(n);
  const Json props = kelvor::bench::tenProperties(0);
  for (long i = 0; i < n; ++i) {
    const auto before = Clock::now();
    q->setEventProperties("bench", props);
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  q->flush(std::chrono::seconds(120));
  std::sort(samples.begin(), samples.end());
  auto at = [&](double p) { return samples[std::min(samples.size() - 1, size_t(p * n))]; };
  const auto stats = q->deliveryStats();
  std::cout << Json{{"p50", at(0.5)},
                    {"p99", at(0.99)},
                    {"max", samples.back()},
                    {"sent", stats.sent},
                    {"limited", stats.droppedByRateLimit}}
                   .dump()
            << std::endl;
}

// Events a second that reach the store, the endpoint never answering (one batch stays out).
void through(kelvor::Quorvel* q, long n) {
  const auto t0 = Clock::now();
  for (long i = 0; i < n; ++i) q->setEventProperties("bench", kelvor::bench::tenProperties(int(i)));
  for (;;) {
    const auto stats = q->deliveryStats();
    if (stats.stored + stats.droppedByFilter >= uint64_t(n) || secondsSince(t0) > 120) break;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  std::cout << Json{{"rate", n / secondsSince(t0)}, {"stored", q->deliveryStats().stored}}.dump()
            << std::endl;
  std::_Exit(0);  // the silent endpoint would hold the exit
}

Json run(const char* self, const std::string& scenario, const std::string& mode,
         const kelvor::testing::Collector& endpoint, long n) {
  kelvor::testing::TempDir folder;
  const std::string out = (folder.path() / "out.json").string();
  std::ostringstream command;
  command << "'" << self << "' --scenario " << scenario << " " << mode << " '" << endpoint.baseUrl()
          << "' '" << endpoint.caFile().string() << "' '" << folder.path().string() << "' " << n
          << " > '" << out << "' 2> /dev/null";
  std::cerr << "  " << scenario << " " << mode << std::endl;
  std::system(command.str().c_str());
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  Json result = Json::parse(line, nullptr, false);
  return result.is_discarded() ? Json::object() : result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

int driver(const char* self) {
  kelvor::testing::Collector healthy({"--out", "/dev/null"});
  kelvor::testing::Collector silent({"--never-answer", "--out", "/dev/null"});
  if (!healthy.started() || !silent.started()) {
    std::cerr << "cannot start quorvel-collector" << std::endl;
    return 1;
  }
  const std::vector<std::string> modes = {"none", "limit", "limit-dropping", "filter"};
  std::vector<std::vector<Json>> latencies(modes.size());
  std::vector<std::vector<double>> rates(2);
  std::cerr << "measuring the host's controls (one process per case, three rounds):" << std::endl;
  for (int round = 0; round < 3; ++round) {
    for (size_t m = 0; m < modes.size(); ++m) {
      latencies[m].push_back(run(self, "latency", modes[m], healthy, 20000));
    }
    rates[0].push_back(run(self, "through", "none", silent, 20000).value("rate", 0.0));
    rates[1].push_back(run(self, "through", "filter", silent, 20000).value("rate", 0.0));
  }
  const char* labels[] = {"no limit, no filter", "rate limit set, never reached",
                          "rate limit 100/s, burst 100 (99 % dropped at the call)",
                          "event filter of ten edits"};
  std::printf("\n| caller, ten properties, one thread, medians of 3 | p50 | p99 | max | sent |\n");
  std::printf("|---|---|---|---|---|\n");
  for (size_t m = 0; m < modes.size(); ++m) {
    auto pick = [&](const char* key) {
      std::vector<double> v;
      for (const Json& r : latencies[m]) v.push_back(r.value(key, 0.0));
      return median(v);
    };
    std::printf("| %s | %.1f µs | %.1f µs | %.0f µs | %.0f |\n", labels[m], pick("p50"),
                pick("p99"), pick("max"), pick("sent"));
  }
  std::printf(
      "\n| events a second into the store, ten properties, medians of 3 | rate | ratio |\n"
      "|---|---|---|\n| no filter | %.0f | 1.00 |\n| event filter of ten edits | %.0f | %.2f |\n",
      median(rates[0]), median(rates[1]), median(rates[1]) / std::max(1.0, median(rates[0])));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 8 && std::string(argv[1]) == "--scenario") {
    const std::string scenario = argv[2];
    kelvor::Quorvel* q = start(argv[3], argv[4], argv[5], argv[6]);
    const long n = std::atol(argv[7]);
    if (scenario == "latency") latency(q, n);
    if (scenario == "through") through(q, n);
    return 0;
  }
  return driver(argv[0]);
}
