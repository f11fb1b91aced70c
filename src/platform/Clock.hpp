#pragma once

#include <cstdint>
#include <string>

namespace kelvor {

class Clock {
 public:
  // Seconds since 1970-01-01 00:00:00 UTC, with the fraction.
  static double secondsSinceEpoch();
  // Whole milliseconds, the fraction cut off towards zero.
  static int64_t millisFromSeconds(double seconds);
};

}  // namespace kelvor
