#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "Certificate.hpp"
#include "CollectorOptions.hpp"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace kelvor::collector {

// The local ingestion endpoint: checks and records POST /fp batches and GET /fp identity
// requests, and injects the faults it was asked for.
class CollectorServer {
 public:
  CollectorServer(CollectorOptions options, const Certificate& certificate);
  ~CollectorServer();

  // Binds 127.0.0.1; returns the port, or -1.
  int bind();
  void listen();  // blocks until stop()
  void stop();

  // One request each; public so the fuzz target can hand them over without a socket.
  void handlePost(const httplib::Request& req, httplib::Response& res);
  void handleGet(const httplib::Request& req, httplib::Response& res);

 private:
  enum class Fault { none, drop, fail };
  Fault nextFault();
  void record(nlohmann::json entry, const std::string& summary);
  static void dropConnection(const httplib::Request& req);
  // The --status answer, while its window lasts.
  int forcedStatus() const;
  void answer(httplib::Response& res, int status, const std::string& problem);
  // --never-answer: holds the request until the server stops.
  void hold();

  CollectorOptions options_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::atomic<uint64_t> requests_{0};
  std::mutex outputMutex_;
  std::ofstream out_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::mutex holdMutex_;
  std::condition_variable holdCv_;
  bool stopping_ = false;
};

}  // namespace kelvor::collector
