#pragma once

#include <string>
#include <vector>

#include "support/Process.hpp"
#include "support/TempDir.hpp"

namespace kelvor::testing {

// A CONNECT proxy on 127.0.0.1 for one test (connect_proxy.py beside this file). With `divert`
// ("127.0.0.1:PORT") it tunnels every CONNECT there instead of where it was asked: a proxy that
// intercepts TLS and presents a certificate of its own.
class ConnectProxy {
 public:
  explicit ConnectProxy(const std::string& divert = {});
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;

  bool started() const { return port_ > 0; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // The "host:port" of every CONNECT so far.
  std::vector<std::string> tunnels() const;

 private:
  TempDir dir_;
  Process process_;
  int port_ = -1;
};

}  // namespace kelvor::testing
