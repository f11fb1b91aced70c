// Sequential batch POSTs to the local collector over HTTPS, against a raw libcurl loop that
// reuses one handle (and so its connection) the same way.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include <kelvor/Log.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "platform/Uuid.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace {

using kelvor::Events;
using kelvor::Json;

// One collector for the whole run.
struct Endpoint {
  std::filesystem::path dir;
  pid_t pid = -1;
  std::string url;
  std::string ca;
  Endpoint() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvor-bench-XXXXXX").string();
    dir = mkdtemp(pattern.data());
    ca = (dir / "ca.pem").string();
    std::string out = (dir / "stdout.txt").string();
    std::vector<std::string> args = {KELVOR_COLLECTOR_PATH, "--port", "0", "--ca-out", ca};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int i = 0; i < 500 && url.empty(); ++i) {
      std::ifstream in(out);
      std::stringstream text;
      text << in.rdbuf();
      auto at = text.str().find("https://");
      auto end = text.str().find('\n', at);
      if (at != std::string::npos && end != std::string::npos)
        url = text.str().substr(at, end - at);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Endpoint() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(dir);
  }
};

Endpoint& endpoint() {
  static Endpoint e;
  return e;
}

std::vector<Events> batch(size_t n) {
  std::vector<Events> events;
  for (size_t i = 0; i < n; ++i) {
    Events e;
    e.eventUUID = kelvor::Uuid::random();
    e.event = {{"eventName", "product_viewed"}, {"eventTimestamp", "1765000000000"}, {"i", i}};
    e.user = {{"ki", "K"}, {"network_type", "wi-fi"}, {"os_type", "Debian GNU/Linux"}};
    events.push_back(std::move(e));
  }
  return events;
}

void BM_RawCurlPostBatch50(benchmark::State& state) {
  Endpoint& e = endpoint();
  Json body = {{"events", Json::array()}};
  for (const auto& record : batch(50)) body["events"].push_back(record.toDictionary());
  std::string text = body.dump();
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Content-Type: application/json");
  headers = curl_slist_append(
      headers, ("Authorization: Basic " + kelvor::OrvaService::credential("key")).c_str());
  std::string url = e.url + "fp";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.c_str());
  curl_easy_setopt(curl, CURLOPT_CAINFO, e.ca.c_str());
  curl_easy_setopt(
      curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t s, size_t n, void*) { return s * n; });
  int64_t accepted = 0;
  for (auto _ : state) {
    long code = 0;
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    accepted += code == 200;
  }
  state.counters["accepted"] = static_cast<double>(accepted);
  state.SetItemsProcessed(state.iterations() * 50);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
}
BENCHMARK(BM_RawCurlPostBatch50)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The library's road: OrvaService builds the body and credential, HttpService sends it on its
// networking thread; the next POST starts when the callback came back.
void BM_OrvaServicePostBatch50(benchmark::State& state) {
  kelvor::Log::setEnabled(false);
  Endpoint& e = endpoint();
  auto http = std::make_shared<kelvor::HttpService>(e.ca);
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->setApiKey("key");
  kelvor::OrvaService orva(http, option, e.url);
  auto records = batch(50);
  kelvor::QueryMap query = {{"optin", "yes"},
                            {"track", "true"},
                            {"identify", "true"},
                            {"cookieSync", "false"},
                            {"env", "mApp"}};
  int64_t accepted = 0;
  for (auto _ : state) {
    std::promise<bool> done;
    orva.sendEvents(
        records, query,
        [&](int64_t, const std::optional<kelvor::HttpResponse>&) { done.set_value(true); },
        [&](int64_t, const std::optional<kelvor::HttpResponse>&) { done.set_value(false); });
    accepted += done.get_future().get();
  }
  state.counters["accepted"] = static_cast<double>(accepted);
  state.SetItemsProcessed(state.iterations() * 50);
}
BENCHMARK(BM_OrvaServicePostBatch50)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
