#include "support/ConnectProxy.hpp"

#include <fstream>

namespace kelvor::testing {

ConnectProxy::ConnectProxy(const std::string& divert) {
  const auto portFile = dir_.path() / "port";
  std::vector<std::string> args = {
      "python3",         "-B",    KELVOR_CONNECT_PROXY_SCRIPT,           "--port-file",
      portFile.string(), "--log", (dir_.path() / "tunnels.log").string()};
  if (!divert.empty()) args.insert(args.end(), {"--divert", divert});
  process_.start(args);
  const auto ports = process_.numbersIn(portFile);
  if (!ports.empty()) port_ = ports[0];
}

std::vector<std::string> ConnectProxy::tunnels() const {
  std::vector<std::string> out;
  std::ifstream in(dir_.path() / "tunnels.log");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("CONNECT ", 0) == 0) out.push_back(line.substr(8));
  }
  return out;
}

}  // namespace kelvor::testing
