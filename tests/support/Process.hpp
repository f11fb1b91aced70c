#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvor::testing {

// One program a test starts: the collector, the test host, the connect proxy. Killed, if still
// running, when the object goes.
class Process {
 public:
  Process() = default;
  ~Process() { stop(); }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts args[0] (looked up in PATH when it holds no "/") with its standard output and error
  // in the files given, if any. `environment` changes this process's: "NAME=value" sets, "NAME"
  // removes.
  bool start(std::vector<std::string> args, const std::filesystem::path& out = {},
             const std::filesystem::path& err = {},
             const std::vector<std::string>& environment = {});
  // The numbers the program writes into `file` once it is ready; empty when it ended first or
  // did not write them in time.
  std::vector<int> numbersIn(const std::filesystem::path& file,
                             std::chrono::seconds limit = std::chrono::seconds(30));
  // The exit code, or 128 + the signal that ended it.
  int wait();
  // SIGTERM, then SIGKILL after `grace` (at once without one).
  void stop(std::chrono::milliseconds grace = {});
  bool running() const { return pid_ > 0; }

 private:
  bool ended();
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace kelvor::testing
