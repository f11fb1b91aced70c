#pragma once

#include <condition_variable>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

namespace kelvor::collector {

// The faults a developer turns on and off while the collector runs (from the page or the API),
// so an app can be watched backing off and catching up. Read by every request thread.
class FaultSwitches {
 public:
  struct State {
    bool outage = false;       // 503 to every /fp request
    int delayMs = 0;           // wait before answering
    int refuseNext = 0;        // batches still to refuse with 503
    bool neverAnswer = false;  // hold requests without an answer
  };

  explicit FaultSwitches(State initial);

  State state() const;
  nlohmann::json toJson() const;
  // Applies the fields present in `change` (outage, delayMs, refuseNext, neverAnswer); false
  // and a reason for a field of the wrong type or range, and then nothing changes.
  bool update(const nlohmann::json& change, std::string& error);
  // True (and one fewer to refuse) when this batch is to be refused.
  bool takeRefusal();
  // Holds the caller while never-answer is on; false when it ended because of stop().
  bool holdWhileNeverAnswer();
  void stop();

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  State state_;
  bool stopping_ = false;
};

}  // namespace kelvor::collector
