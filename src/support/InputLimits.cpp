#include "support/InputLimits.hpp"

#include <utility>
#include <vector>

namespace kelvor {

bool InputLimits::nestsDeeperThan(const Json& value, size_t limit) {
  if (!value.is_structured()) return false;
  std::vector<std::pair<const Json*, size_t>> pending{{&value, 1}};
  while (!pending.empty()) {
    auto [node, depth] = pending.back();
    pending.pop_back();
    if (depth > limit) return true;
    for (const auto& child : *node) {
      if (child.is_structured() && !child.empty()) pending.emplace_back(&child, depth + 1);
      if (child.is_structured() && child.empty() && depth + 1 > limit) return true;
    }
  }
  return false;
}

}  // namespace kelvor
