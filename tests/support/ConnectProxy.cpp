#include "support/ConnectProxy.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace kelvor::testing {

ConnectProxy::ConnectProxy(const std::string& divert) {
  const auto portFile = dir_.path() / "port";
  std::vector<std::string> args = {
      "python3",         "-B",    KELVOR_CONNECT_PROXY_SCRIPT,           "--port-file",
      portFile.string(), "--log", (dir_.path() / "tunnels.log").string()};
  if (!divert.empty()) args.insert(args.end(), {"--divert", divert});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  for (int i = 0; i < 1000 && pid_ > 0; ++i) {
    std::ifstream in(portFile);
    if (in >> port_) break;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ConnectProxy::~ConnectProxy() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
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
