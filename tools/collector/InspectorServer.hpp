#pragma once

#include <memory>
#include <string>
#include <thread>

#include "FaultSwitches.hpp"
#include "Inspector.hpp"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace kelvor::collector {

// The live page and the JSON API, on plain HTTP on 127.0.0.1 so a browser opens it without a
// certificate warning. It reads the inspector and turns the fault switches.
class InspectorServer {
 public:
  InspectorServer(Inspector& inspector, FaultSwitches& faults);
  ~InspectorServer();
  InspectorServer(const InspectorServer&) = delete;
  InspectorServer& operator=(const InspectorServer&) = delete;

  // Binds 127.0.0.1 (port 0: any); returns the port, or -1.
  int bind(int port);
  // Serves on a thread of its own until stop() or destruction.
  void start();
  void stop();

 private:
  // Only requests addressed to this loopback port: a web page elsewhere that resolves its own
  // name to 127.0.0.1 cannot read the API through the browser.
  bool addressedHere(const httplib::Request& req) const;
  void events(const httplib::Request& req, httplib::Response& res);

  Inspector& inspector_;
  FaultSwitches& faults_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = -1;
};

}  // namespace kelvor::collector
