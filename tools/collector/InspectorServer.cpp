#include "InspectorServer.hpp"

#include <httplib.h>

#include <cstdlib>

#include "InspectorPage.hpp"

namespace kelvor::collector {
namespace {

using nlohmann::json;

void reply(httplib::Response& res, const json& value, int status = 200) {
  res.status = status;
  res.set_header("Cache-Control", "no-store");
  res.set_content(value.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void refuse(httplib::Response& res, int status, const std::string& why) {
  reply(res, {{"error", why}}, status);
}

// ?since=SEQ: a whole number, 0 when absent.
bool sinceOf(const httplib::Request& req, uint64_t& since) {
  since = 0;
  if (!req.has_param("since")) return true;
  const std::string text = req.get_param_value("since");
  char* end = nullptr;
  since = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && text[0] != '-';
}

}  // namespace

InspectorServer::InspectorServer(Inspector& inspector, FaultSwitches& faults)
    : inspector_(inspector), faults_(faults), server_(std::make_unique<httplib::Server>()) {
  // A browser keeps up to six connections open per page, each holding a worker while idle.
  server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
  server_->set_tcp_nodelay(true);
  server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    if (!addressedHere(req)) {
      refuse(res, 403, "this page answers only at 127.0.0.1 or localhost");
      return httplib::Server::HandlerResponse::Handled;
    }
    // A form on another site can post only form types; JSON needs the page's own script.
    if (req.method == "POST" && req.get_header_value("Content-Type") != "application/json") {
      refuse(res, 415, "POST takes Content-Type: application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server_->Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(InspectorPage::html(), "text/html; charset=utf-8");
  });
  server_->Get("/api/events",
               [this](const httplib::Request& req, httplib::Response& res) { events(req, res); });
  server_->Get("/api/requests", [this](const httplib::Request& req, httplib::Response& res) {
    uint64_t since = 0;
    if (!sinceOf(req, since)) return refuse(res, 400, "since takes a whole number");
    reply(res, inspector_.requests(since));
  });
  server_->Get("/api/summary", [this](const httplib::Request&, httplib::Response& res) {
    json summary = inspector_.summary();
    summary["faults"] = faults_.toJson();
    reply(res, summary);
  });
  server_->Post("/api/reset", [this](const httplib::Request&, httplib::Response& res) {
    inspector_.reset();
    reply(res, {{"ok", true}});
  });
  server_->Get("/api/faults", [this](const httplib::Request&, httplib::Response& res) {
    reply(res, faults_.toJson());
  });
  server_->Post("/api/faults", [this](const httplib::Request& req, httplib::Response& res) {
    std::string error;
    if (!faults_.update(json::parse(req.body, nullptr, false), error)) {
      return refuse(res, 400, error);
    }
    reply(res, faults_.toJson());
  });
  server_->set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                    std::exception_ptr) { refuse(res, 500, "internal"); });
}

InspectorServer::~InspectorServer() {
  stop();
}

int InspectorServer::bind(int port) {
  port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                    : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  return port_;
}

void InspectorServer::start() {
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void InspectorServer::stop() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

bool InspectorServer::addressedHere(const httplib::Request& req) const {
  const std::string host = req.get_header_value("Host");
  const std::string port = ":" + std::to_string(port_);
  return host == "127.0.0.1" + port || host == "localhost" + port;
}

void InspectorServer::events(const httplib::Request& req, httplib::Response& res) {
  Inspector::EventFilter filter;
  if (!sinceOf(req, filter.since)) return refuse(res, 400, "since takes a whole number");
  filter.name = req.get_param_value("name");
  filter.verdict = req.get_param_value("verdict");
  if (!filter.verdict.empty() && filter.verdict != "ok" && filter.verdict != "violation" &&
      filter.verdict != "refused") {
    return refuse(res, 400, "verdict is ok, violation or refused");
  }
  reply(res, inspector_.events(filter));
}

}  // namespace kelvor::collector
