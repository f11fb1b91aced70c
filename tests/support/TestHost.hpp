#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/Collector.hpp"
#include "support/Process.hpp"
#include "support/TempDir.hpp"

namespace kelvor::testing {

// Runs quorvel-test-host (tests/integration/host) as a process of its own.
class TestHost {
 public:
  // `environment` changes the host's environment: "NAME=value" sets, "NAME" removes.
  TestHost(const std::string& scenario, const std::filesystem::path& folder,
           const Collector& collector, int events,
           const std::vector<std::string>& environment = {});
  TestHost(const TestHost&) = delete;
  TestHost& operator=(const TestHost&) = delete;

  // The exit code, or 128 + the signal that ended it.
  int wait() { return process_.wait(); }
  void kill() { process_.stop(); }
  // What it wrote on standard output and on standard error.
  std::string output() const { return read("out"); }
  std::string errors() const { return read("err"); }

 private:
  std::string read(const char* name) const;
  TempDir dir_;
  Process process_;
};

}  // namespace kelvor::testing
