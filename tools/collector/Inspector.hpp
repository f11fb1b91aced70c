#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace kelvor::collector {

// What the page and the API show: the requests received, their events with a verdict each, and
// counters. Fed by the request threads, read by the page's; every member is behind one mutex.
class Inspector {
 public:
  struct EventFilter {
    std::string name;     // empty: every name
    uint64_t since = 0;   // events numbered above it
    std::string verdict;  // empty, ok, violation or refused
  };

  // Keeps the newest `keep` requests and `keep` * 10 events; the counters count everything.
  explicit Inspector(size_t keep = 5000);

  // One recorded request (the JSON line, with its plan verdicts when a plan is loaded).
  void add(const nlohmann::json& entry);
  // {"requests": [...], "last": N}: the requests numbered above `since`.
  nlohmann::json requests(uint64_t since) const;
  // {"events": [...], "last": N}
  nlohmann::json events(const EventFilter& filter) const;
  nlohmann::json summary() const;
  void reset();

  // The write key as the page shows it: its first 4 characters (when it has 12 or more) and its
  // length.
  static std::string maskKey(const std::string& key);

 private:
  struct Counters {
    uint64_t requests = 0;
    uint64_t events = 0;
    uint64_t batches = 0;
    uint64_t identities = 0;
    uint64_t refused = 0;
    uint64_t duplicates = 0;
    uint64_t violations = 0;
    uint64_t eventsWithViolations = 0;
    std::map<std::string, uint64_t> byName;
    std::map<std::string, uint64_t> byViolation;
  };

  const size_t keep_;
  mutable std::mutex mutex_;
  std::deque<nlohmann::json> requests_;
  std::deque<nlohmann::json> events_;
  std::set<std::string> acceptedIds_;
  uint64_t lastRequest_ = 0;
  uint64_t lastEvent_ = 0;
  Counters counters_;
};

}  // namespace kelvor::collector
