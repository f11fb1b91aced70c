#include "pipeline/EventsList.hpp"

namespace kelvor {

std::string EventsList::toString() const {
  std::string out = "Events [ [";
  for (size_t i = 0; i < events.size(); ++i) {
    if (i > 0) out += ", ";
    out += events[i].description();
  }
  return out + "] ]";
}

}  // namespace kelvor
