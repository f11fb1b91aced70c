#include "FaultSwitches.hpp"

namespace kelvor::collector {

using nlohmann::json;

FaultSwitches::FaultSwitches(State initial) : state_(initial) {}

FaultSwitches::State FaultSwitches::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

json FaultSwitches::toJson() const {
  State s = state();
  return {{"outage", s.outage},
          {"delayMs", s.delayMs},
          {"refuseNext", s.refuseNext},
          {"neverAnswer", s.neverAnswer}};
}

bool FaultSwitches::update(const json& change, std::string& error) {
  if (!change.is_object()) {
    error = "expected a JSON object such as {\"outage\":true}";
    return false;
  }
  std::unique_lock lock(mutex_);
  State next = state_;
  for (const auto& [key, value] : change.items()) {
    if (key == "outage" || key == "neverAnswer") {
      if (!value.is_boolean()) {
        error = key + " takes true or false";
        return false;
      }
      (key == "outage" ? next.outage : next.neverAnswer) = value.get<bool>();
    } else if (key == "delayMs" || key == "refuseNext") {
      const int max = key == "delayMs" ? 600000 : 1000000;
      if (!value.is_number_integer() || value.get<long long>() < 0 ||
          value.get<long long>() > max) {
        error = key + " takes a whole number from 0 to " + std::to_string(max);
        return false;
      }
      (key == "delayMs" ? next.delayMs : next.refuseNext) = value.get<int>();
    } else {
      error = "unknown switch " + key;
      return false;
    }
  }
  state_ = next;
  lock.unlock();
  // Requests held without an answer go once the switch is off.
  changed_.notify_all();
  return true;
}

bool FaultSwitches::takeRefusal() {
  std::lock_guard lock(mutex_);
  if (state_.refuseNext <= 0) return false;
  --state_.refuseNext;
  return true;
}

bool FaultSwitches::holdWhileNeverAnswer() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopping_ || !state_.neverAnswer; });
  return !stopping_;
}

void FaultSwitches::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
}

}  // namespace kelvor::collector
