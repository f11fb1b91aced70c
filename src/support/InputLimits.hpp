#pragma once

#include <cstddef>
#include <vector>

#include <kelvor/Json.hpp>

namespace kelvor {

// Limits that keep what the app hands over from hurting the library or the host: checked at
// the call, without recursion, so no value can exhaust the caller's stack.
class InputLimits {
 public:
  static constexpr size_t maxNestingDepth = 64;
  // The largest event the store takes (its JSON columns together).
  static constexpr size_t maxStoredEventBytes = 256 * 1024;

  // Whether `value` nests arrays or objects deeper than `limit` levels (a flat map is 1).
  static bool nestsDeeperThan(const Json& value, size_t limit = maxNestingDepth);
};

}  // namespace kelvor
