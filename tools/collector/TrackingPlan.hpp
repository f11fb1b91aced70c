#pragma once

#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace valijson {
class Schema;
}

namespace kelvor::collector {

// A tracking plan: the events an app is meant to send, each with a JSON Schema (draft 7) of its
// properties, and whether events outside the plan are allowed. Read-only once loaded, so request
// threads check events against it at once.
//
//   {"allowUnplannedEvents": false,
//    "events": [{"name": "purchase", "description": "...", "schema": {...}}]}
class TrackingPlan {
 public:
  ~TrackingPlan();
  TrackingPlan(const TrackingPlan&) = delete;
  TrackingPlan& operator=(const TrackingPlan&) = delete;

  // nullptr and a reason when the file cannot be read or is not a plan.
  static std::unique_ptr<TrackingPlan> load(const std::string& file, std::string& error);
  static std::unique_ptr<TrackingPlan> fromJson(const nlohmann::json& plan, std::string& error);

  // The violations of one event as sent (an element of a batch's "events"): an array of
  // {"type", "pointer", "message", "schema"}, empty when the event is as planned. Types:
  // unplanned_event, missing_property, wrong_type, out_of_range, unplanned_property, schema.
  nlohmann::json check(const nlohmann::json& event) const;

 private:
  struct Planned {
    nlohmann::json schema;
    std::unique_ptr<valijson::Schema> compiled;
  };
  TrackingPlan() = default;

  std::map<std::string, Planned> events_;
  bool allowUnplanned_ = true;
};

}  // namespace kelvor::collector
