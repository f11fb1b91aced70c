#pragma once

#include <cstdint>

namespace kelvor {

// Counts the host's changes of the bundle info, so that what is made from it (the agent text,
// the device context) is made again only after a change, at the cost of one atomic read.
class BundleInfoVersion {
 public:
  static uint64_t current();
  static void changed();
};

}  // namespace kelvor
