#include "CollectorServer.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <optional>
#include <thread>

namespace kelvor::collector {
namespace {

using nlohmann::json;

std::optional<std::string> base64Decode(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::string out(text.size() / 4 * 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  size_t padding = (text.back() == '=') + (text[text.size() - 2] == '=');
  out.resize(static_cast<size_t>(n) - padding);
  return out;
}

json queryOf(const httplib::Request& req) {
  json query = json::object();
  for (const auto& [key, value] : req.params) query[key] = value;
  return query;
}

// An HTTP date (RFC 9110 IMF-fixdate).
std::string httpDate(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

std::string dumpSafe(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

CollectorServer::CollectorServer(CollectorOptions options, const Certificate& certificate,
                                 std::shared_ptr<const TrackingPlan> plan)
    : options_(std::move(options)),
      server_(std::make_unique<httplib::SSLServer>(certificate.x509(), certificate.key())),
      plan_(std::move(plan)),
      faults_(
          FaultSwitches::State{.delayMs = options_.delayMs, .neverAnswer = options_.neverAnswer}) {
  // Only a collector with a page keeps what it received in memory (a fleet run sends plenty).
  if (options_.uiPort >= 0) inspector_ = std::make_unique<Inspector>();
  if (!options_.outFile.empty()) out_.open(options_.outFile, std::ios::app);
  // Without it Nagle's algorithm and delayed acknowledgements hold each request ~45 ms.
  server_->set_tcp_nodelay(true);
  server_->set_keep_alive_max_count(100000);
  // Each kept-alive connection holds a worker; enough of them that a client's parallel
  // connections never wait for an idle one to time out.
  server_->new_task_queue = [] { return new httplib::ThreadPool(64); };
  server_->set_payload_max_length(64 * 1024 * 1024);
  server_->Post(
      "/fp", [this](const httplib::Request& req, httplib::Response& res) { handlePost(req, res); });
  server_->Get(
      "/fp", [this](const httplib::Request& req, httplib::Response& res) { handleGet(req, res); });
  server_->set_exception_handler(
      [this](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.set_header("Date", httpDate(clock()));
        res.status = 500;
        res.set_content("{\"error\":\"internal\"}", "application/json");
      });
}

CollectorServer::~CollectorServer() = default;

int CollectorServer::bind() {
  if (!server_->is_valid()) return -1;
  if (options_.port == 0) return server_->bind_to_any_port("127.0.0.1");
  return server_->bind_to_port("127.0.0.1", options_.port) ? options_.port : -1;
}

void CollectorServer::listen() {
  server_->listen_after_bind();
}

void CollectorServer::stop() {
  faults_.stop();
  server_->stop();
}

void CollectorServer::hold(const httplib::Request& req) {
  // Switched off from the page: the held request ends without an answer, as a lost one would.
  if (faults_.holdWhileNeverAnswer()) dropConnection(req);
}

void CollectorServer::delay() {
  const int ms = faults_.state().delayMs;
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int CollectorServer::forcedStatus() const {
  if (options_.status == 0) return 0;
  const auto elapsed = std::chrono::steady_clock::now() - started_;
  const auto from = std::chrono::milliseconds(options_.statusAfterMs);
  if (elapsed < from) return 0;
  if (options_.statusForMs > 0 &&
      elapsed - from >= std::chrono::milliseconds(options_.statusForMs)) {
    return 0;
  }
  return options_.status;
}

std::time_t CollectorServer::clock() const {
  return std::time(nullptr) + options_.clockSkew;
}

void CollectorServer::answer(httplib::Response& res, int status, const std::string& problem) {
  res.status = status;
  // As real servers do: a client reads a Retry-After date against this clock.
  const std::time_t now = clock();
  res.set_header("Date", httpDate(now));
  if (status >= 400 && !options_.retryAfter.empty()) {
    // "+N": a date N seconds after this server's own clock.
    res.set_header("Retry-After", options_.retryAfter[0] == '+'
                                      ? httpDate(now + std::atoll(options_.retryAfter.c_str() + 1))
                                      : options_.retryAfter);
  }
  // 204 and 304 carry no body: bytes after one would be read as the start of the next answer
  // on a reused connection.
  if (status == 204 || status == 304) return;
  res.set_content(status >= 200 && status < 300 ? "{\"ok\":true}" : json{{"error", problem}}.dump(),
                  "application/json");
}

CollectorServer::Fault CollectorServer::nextFault() {
  uint64_t n = ++requests_;
  if (options_.dropEvery > 0 && n % static_cast<uint64_t>(options_.dropEvery) == 0)
    return Fault::drop;
  if (options_.failEvery > 0 && n % static_cast<uint64_t>(options_.failEvery) == 0)
    return Fault::fail;
  return Fault::none;
}

// cpp-httplib gives a handler no access to its socket; find it by the peer's port and shut it
// down, so the client sees the connection close without an answer.
void CollectorServer::dropConnection(const httplib::Request& req) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd <= 2) continue;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) continue;
    int port = -1;
    if (peer.ss_family == AF_INET) port = ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6) port = ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    if (port == req.remote_port) {
      ::shutdown(fd, SHUT_RDWR);
      break;
    }
  }
  closedir(dir);
}

void CollectorServer::handlePost(const httplib::Request& req, httplib::Response& res) {
  Fault fault = nextFault();
  delay();

  json entry = {
      {"method", "POST"}, {"path", req.path}, {"target", req.target}, {"query", queryOf(req)}};
  entry["headers"] = {{"authorization", req.get_header_value("Authorization")},
                      {"content-type", req.get_header_value("Content-Type")},
                      {"user-agent", req.get_header_value("User-Agent")}};
  json body = json::parse(req.body, nullptr, false);
  entry["body"] = body.is_discarded() ? json(req.body) : body;
  entry["size"] = req.body.size();

  int status = 200;
  std::string problem;
  const std::string auth = req.get_header_value("Authorization");
  std::optional<std::string> credential;
  if (auth.rfind("Basic ", 0) == 0) credential = base64Decode(auth.substr(6));
  if (credential && credential->rfind("w_k:", 0) == 0) entry["write_key"] = credential->substr(4);
  if (!credential || credential->rfind("w_k:", 0) != 0 || credential->size() == 4 ||
      (!options_.writeKey.empty() && *credential != "w_k:" + options_.writeKey)) {
    status = 401;
    problem = "bad credential";
  } else if (req.get_header_value("Content-Type") != "application/json") {
    status = 415;
    problem = "content type is not application/json";
  } else if (options_.maxBody > 0 && static_cast<long long>(req.body.size()) > options_.maxBody) {
    status = 413;
    problem = "body of " + std::to_string(req.body.size()) + " bytes is above " +
              std::to_string(options_.maxBody);
  } else if (body.is_discarded() || !body.is_object() || !body.contains("events") ||
             !body["events"].is_array()) {
    status = 400;
    problem = "body is not {\"events\":[...]}";
  } else if (!options_.refuseText.empty() &&
             req.body.find(options_.refuseText) != std::string::npos) {
    status = 400;
    problem = "body contains the refused text";
  } else {
    status = faultStatus(fault, entry, true);
  }
  size_t count = (body.is_object() && body.contains("events") && body["events"].is_array())
                     ? body["events"].size()
                     : 0;

  if (fault == Fault::drop) {
    entry["status"] = 0;
    entry["fault"] = "connection closed without an answer (--drop-every)";
    record(entry, "POST /fp dropped (events=" + std::to_string(count) + ")");
    dropConnection(req);
    return;
  }
  if (faults_.state().neverAnswer) {
    entry["status"] = 0;
    entry["fault"] = "held without an answer (never answer)";
    record(entry, "POST /fp held without an answer (events=" + std::to_string(count) + ")");
    hold(req);
    return;
  }
  entry["status"] = status;
  if (!problem.empty()) entry["problem"] = problem;
  const std::string why = problem.empty() ? entry.value("fault", "") : problem;
  record(entry, "POST /fp " + std::to_string(status) + " events=" + std::to_string(count) +
                    (why.empty() ? "" : " (" + why + ")"));
  answer(res, status, why);
}

void CollectorServer::handleGet(const httplib::Request& req, httplib::Response& res) {
  Fault fault = nextFault();
  delay();

  json entry = {
      {"method", "GET"}, {"path", req.path}, {"target", req.target}, {"query", queryOf(req)}};
  entry["size"] = req.target.size();
  entry["headers"] = {{"authorization", req.get_header_value("Authorization")},
                      {"content-type", req.get_header_value("Content-Type")},
                      {"user-agent", req.get_header_value("User-Agent")}};
  int status = 200;
  std::string problem;
  std::optional<std::string> payload;
  if (req.has_param("payload")) payload = base64Decode(req.get_param_value("payload"));
  std::optional<std::string> writeKey;
  if (req.has_param("w_k")) writeKey = base64Decode(req.get_param_value("w_k"));
  json decoded = payload ? json::parse(*payload, nullptr, false) : json();
  if (payload && !decoded.is_discarded()) entry["payload"] = decoded;
  if (writeKey) entry["write_key"] = *writeKey;

  if (!writeKey || writeKey->empty() ||
      (!options_.writeKey.empty() && *writeKey != options_.writeKey)) {
    status = 401;
    problem = "bad w_k";
  } else if (!payload || decoded.is_discarded() || !decoded.is_object()) {
    status = 400;
    problem = "payload is not Base64 of a JSON object";
  } else {
    status = faultStatus(fault, entry, false);
  }
  if (fault == Fault::drop) {
    entry["status"] = 0;
    entry["fault"] = "connection closed without an answer (--drop-every)";
    record(entry, "GET /fp dropped");
    dropConnection(req);
    return;
  }
  if (faults_.state().neverAnswer) {
    entry["status"] = 0;
    entry["fault"] = "held without an answer (never answer)";
    record(entry, "GET /fp held without an answer");
    hold(req);
    return;
  }
  entry["status"] = status;
  if (!problem.empty()) entry["problem"] = problem;
  std::string keys;
  if (decoded.is_object()) {
    for (const auto& item : decoded.items()) keys += (keys.empty() ? "" : ",") + item.key();
  }
  const std::string why = problem.empty() ? entry.value("fault", "") : problem;
  record(entry, "GET /fp " + std::to_string(status) + " identity keys=[" + keys + "]" +
                    (why.empty() ? "" : " (" + why + ")"));
  answer(res, status, why);
}

int CollectorServer::faultStatus(Fault fault, json& entry, bool batch) {
  if (faults_.state().outage) {
    entry["fault"] = "outage (503 to every request)";
    return 503;
  }
  if (batch && faults_.takeRefusal()) {
    entry["fault"] = "refused by the refuse-next-batch switch";
    return 503;
  }
  if (int forced = forcedStatus(); forced != 0) {
    entry["fault"] = "--status " + std::to_string(forced);
    return forced;
  }
  if (fault == Fault::fail) {
    entry["fault"] = "--fail-every " + std::to_string(options_.failEvery);
    return 500;
  }
  return 200;
}

void CollectorServer::record(json entry, const std::string& summary) {
  // Wall-clock time, so a run's requests can be counted per second beside other processes.
  entry["received_ms"] = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  if (const int ms = faults_.state().delayMs; ms > 0) entry["delay_ms"] = ms;
  const json& list =
      entry.contains("body") && entry["body"].is_object() && entry["body"].contains("events")
          ? entry["body"]["events"]
          : json();
  if (plan_ && list.is_array()) {
    json verdicts = json::array();
    for (const auto& e : list) {
      verdicts.push_back(
          {{"eventUUID", e.is_object() && e.contains("eventUUID") ? e["eventUUID"] : json()},
           {"violations", plan_->check(e)}});
    }
    entry["verdicts"] = std::move(verdicts);
  }
  std::lock_guard lock(outputMutex_);
  if (out_.is_open()) {
    out_ << dumpSafe(entry) << '\n';
    out_.flush();
  }
  // Under the same lock as the file, so the page lists requests in the record's order.
  if (inspector_) inspector_->add(entry);
  std::cout << summary << std::endl;
}

}  // namespace kelvor::collector
