#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "Certificate.hpp"
#include "CollectorOptions.hpp"
#include "FaultSwitches.hpp"
#include "Inspector.hpp"
#include "TrackingPlan.hpp"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace kelvor::collector {

// The local ingestion endpoint: checks and records POST /fp batches and GET /fp identity
// requests, checks events against a tracking plan, and injects the faults it was asked for.
class CollectorServer {
 public:
  CollectorServer(CollectorOptions options, const Certificate& certificate,
                  std::shared_ptr<const TrackingPlan> plan = nullptr);
  ~CollectorServer();

  // Binds 127.0.0.1; returns the port, or -1.
  int bind();
  void listen();  // blocks until stop()
  void stop();

  // One request each; public so the fuzz target can hand them over without a socket.
  void handlePost(const httplib::Request& req, httplib::Response& res);
  void handleGet(const httplib::Request& req, httplib::Response& res);

  // What the page shows (null without --ui-port), and the switches it turns.
  Inspector* inspector() { return inspector_.get(); }
  FaultSwitches& faults() { return faults_; }

 private:
  enum class Fault { none, drop, fail };
  Fault nextFault();
  void record(nlohmann::json entry, const std::string& summary);
  static void dropConnection(const httplib::Request& req);
  // The --status answer, while its window lasts.
  int forcedStatus() const;
  void answer(httplib::Response& res, int status, const std::string& problem);
  // This server's clock (the machine's, moved by --clock-skew), as its Date header says it.
  std::time_t clock() const;
  // The status the faults in force give a well-formed request (200 without one), and their
  // name in the entry.
  int faultStatus(Fault fault, nlohmann::json& entry, bool batch);
  // Never answer: holds the request until the switch goes off or the server stops.
  void hold(const httplib::Request& req);
  void delay();

  CollectorOptions options_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::atomic<uint64_t> requests_{0};
  std::mutex outputMutex_;
  std::ofstream out_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::shared_ptr<const TrackingPlan> plan_;
  FaultSwitches faults_;
  std::unique_ptr<Inspector> inspector_;
};

}  // namespace kelvor::collector
