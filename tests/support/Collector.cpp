#include "support/Collector.hpp"

#include <algorithm>
#include <fstream>
#include <set>
#include <thread>

namespace kelvor::testing {
Collector::Collector(std::vector<std::string> flags, int port)
    : caFile_(dir_.path() / "ca.pem"), outFile_(dir_.path() / "requests.jsonl") {
  spawn(std::move(flags), port);
}

bool Collector::restart(std::vector<std::string> flags) {
  const int port = port_;
  stop();
  auto cert = dir_.path() / "cert.pem";
  std::error_code ec;
  std::filesystem::copy_file(caFile_, cert, std::filesystem::copy_options::overwrite_existing, ec);
  flags.insert(flags.end(), {"--cert", cert.string(), "--key", (dir_.path() / "key.pem").string()});
  port_ = -1;
  spawn(std::move(flags), port);
  return started();
}

void Collector::spawn(std::vector<std::string> flags, int port) {
  const auto portFile = dir_.path() / "port";
  std::error_code ec;
  std::filesystem::remove(portFile, ec);
  std::vector<std::string> args = {
      KELVOR_COLLECTOR_PATH, "--port", std::to_string(port), "--ca-out",
      caFile_.string(),      "--out",  outFile_.string(),    "--port-file",
      portFile.string()};
  // The key is kept so that a restart presents the same certificate.
  if (std::find(flags.begin(), flags.end(), "--key") == flags.end()) {
    args.insert(args.end(), {"--key-out", (dir_.path() / "key.pem").string()});
  }
  args.insert(args.end(), flags.begin(), flags.end());
  process_.start(args, dir_.path() / "stdout.txt", dir_.path() / "stderr.txt");
  // The file appears, whole, once the ports listen: the port, then the page's when there is one.
  const auto ports = process_.numbersIn(portFile);
  if (!ports.empty()) port_ = ports[0];
  if (ports.size() > 1 && ports[1] > 0)
    uiUrl_ = "http://127.0.0.1:" + std::to_string(ports[1]) + "/";
}

Collector::~Collector() {
  stop();
}

void Collector::stop() {
  // Idle keep-alive connections hold a graceful stop for seconds; every record is already on
  // disk, so a short grace is enough.
  process_.stop(std::chrono::milliseconds(300));
}

std::vector<Json> Collector::records() const {
  std::vector<Json> out;
  std::ifstream in(outFile_);
  std::string line;
  while (std::getline(in, line)) {
    Json parsed = Json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) out.push_back(std::move(parsed));
  }
  return out;
}

std::vector<Json> Collector::waitFor(const std::function<bool(const std::vector<Json>&)>& done,
                                     std::chrono::seconds limit) const {
  auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto all = records();
    if (done(all) || std::chrono::steady_clock::now() > deadline) return all;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::vector<std::string> Collector::names(const std::vector<Json>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) out.push_back(e["event"].value("eventName", ""));
  return out;
}

size_t Collector::distinct(const std::vector<Json>& events) {
  std::set<std::string> ids;
  for (const auto& e : events) ids.insert(e["eventUUID"].get<std::string>());
  return ids.size();
}

std::vector<size_t> Collector::batchSizes(const std::vector<Json>& records) {
  std::vector<size_t> sizes;
  for (const auto& r : records) {
    if (r["method"] == "POST" && r["status"] == 200) sizes.push_back(r["body"]["events"].size());
  }
  return sizes;
}

size_t Collector::posts() const {
  size_t n = 0;
  for (const auto& r : records()) n += r["method"] == "POST";
  return n;
}

std::vector<Json> Collector::acceptedEvents(const std::vector<Json>& records) {
  std::vector<Json> events;
  for (const auto& r : records) {
    if (r.value("method", "") != "POST") continue;
    int status = r.value("status", 0);
    if (status < 200 || status > 299) continue;
    for (const auto& e : r["body"]["events"]) events.push_back(e);
  }
  return events;
}

}  // namespace kelvor::testing
