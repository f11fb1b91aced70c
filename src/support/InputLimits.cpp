#include "support/InputLimits.hpp"

#include <array>

namespace kelvor {

bool InputLimits::nestsDeeperThan(const Json& value, size_t limit) {
  if (!value.is_structured()) return false;
  if (limit == 0) return true;
  // One iterator per open level, in a fixed array: no recursion and no allocation, since the
  // walk never goes deeper than the limit it checks.
  struct Level {
    Json::const_iterator next;
    Json::const_iterator end;
  };
  std::array<Level, maxNestingDepth> fixed;
  std::vector<Level> larger;
  Level* levels = fixed.data();
  if (limit > fixed.size()) {
    larger.resize(limit);
    levels = larger.data();
  }
  size_t depth = 1;
  levels[0] = {value.cbegin(), value.cend()};
  while (depth > 0) {
    Level& level = levels[depth - 1];
    if (level.next == level.end) {
      --depth;
      continue;
    }
    const Json& child = *level.next;
    ++level.next;
    if (!child.is_structured()) continue;
    if (depth == limit) return true;
    levels[depth++] = {child.cbegin(), child.cend()};
  }
  return false;
}

}  // namespace kelvor
