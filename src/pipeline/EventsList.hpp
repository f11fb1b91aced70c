#pragma once

#include <string>
#include <vector>

#include "pipeline/Events.hpp"

namespace kelvor {

// Diagnostic text of a list of records: "Events [ ... ]".
struct EventsList {
  std::vector<Events> events;
  std::string toString() const;
};

}  // namespace kelvor
