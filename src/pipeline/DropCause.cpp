#include "pipeline/DropCause.hpp"

namespace kelvor {

std::string DropCause::text() const {
  if (!stall.empty()) {
    return std::string(stall) +
           ", and of the events reported while they cannot be delivered at most maxCacheSize (" +
           std::to_string(maxCacheSize) +
           ") are kept beside those stored before; they go out once the endpoint, the network "
           "and consent allow";
  }
  return "the event store holds at most " + std::to_string(storeBytes / (1024 * 1024)) +
         " MiB of events; they arrive faster than the endpoint takes them";
}

}  // namespace kelvor
