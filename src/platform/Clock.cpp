#include "platform/Clock.hpp"

#include <chrono>

namespace kelvor {

double Clock::secondsSinceEpoch() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration<double>(now).count();
}

int64_t Clock::millisFromSeconds(double seconds) {
  return static_cast<int64_t>(seconds * 1000.0);
}

}  // namespace kelvor
