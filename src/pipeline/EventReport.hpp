#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <kelvor/Json.hpp>

#include "pipeline/TextArena.hpp"

namespace kelvor {

// What the app's thread hands over for one report: its own data, and the page and user data
// in force at that moment (shared, never copied: a later change makes new ones).
struct EventReport {
  enum class Kind : uint8_t { event, instant, pageChange, userChange };

  Kind kind = Kind::event;
  uint64_t seq = 0;  // report order in this process
  int64_t timestampMillis = 0;
  int connection = 0;  // Reachability connection code of the moment
  std::string name;
  // An event's own properties as compact JSON text, the two base keys left out ("" for none):
  // text is smaller than the value and needs no second serialisation.
  TextArena::Text propertiesText;
  // The properties of a user-property change (they merge into the user data).
  Json properties;
  std::shared_ptr<const Json> page;
  std::shared_ptr<const Json> userPayload;
};

}  // namespace kelvor
