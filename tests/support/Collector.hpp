#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <kelvor/Json.hpp>

#include "support/Process.hpp"
#include "support/TempDir.hpp"

namespace kelvor::testing {

// Runs the real quorvel-collector on 127.0.0.1 for one test, with its own certificate.
class Collector {
 public:
  // Extra flags such as {"--status", "500"}. port 0 picks a free one.
  explicit Collector(std::vector<std::string> flags = {}, int port = 0);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  bool started() const { return port_ > 0; }
  std::string baseUrl() const { return "https://127.0.0.1:" + std::to_string(port_) + "/"; }
  const std::filesystem::path& caFile() const { return caFile_; }
  // The page and API ("http://127.0.0.1:N/"), started with --ui-port; empty without.
  const std::string& uiUrl() const { return uiUrl_; }

  // Every request recorded so far, one JSON object each.
  std::vector<Json> records() const;
  // Waits (up to the limit) until the predicate holds for the records; returns the records.
  std::vector<Json> waitFor(const std::function<bool(const std::vector<Json>&)>& done,
                            std::chrono::seconds limit = std::chrono::seconds(30)) const;
  // The events of every accepted batch, in arrival order.
  static std::vector<Json> acceptedEvents(const std::vector<Json>& records);
  // Their names, in order.
  static std::vector<std::string> names(const std::vector<Json>& events);
  std::vector<std::string> acceptedNames() const { return names(acceptedEvents(records())); }
  // How many distinct event ids they carry.
  static size_t distinct(const std::vector<Json>& events);
  // The sizes of the accepted batches, in order.
  static std::vector<size_t> batchSizes(const std::vector<Json>& records);
  size_t posts() const;
  void stop();
  // Starts again on the same port with the same certificate, with other flags; false when the
  // port could not be taken again.
  bool restart(std::vector<std::string> flags = {});

 private:
  void spawn(std::vector<std::string> flags, int port);

  TempDir dir_;
  std::filesystem::path caFile_;
  std::filesystem::path outFile_;
  Process process_;
  int port_ = -1;
  std::string uiUrl_;
};

}  // namespace kelvor::testing
