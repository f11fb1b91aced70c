#include "platform/DefaultLogSink.hpp"

#include <cstdio>

namespace kelvor {

const char* toString(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::info:
      return "info";
    case LogLevel::warning:
      return "warning";
    case LogLevel::error:
      return "error";
  }
  return "info";
}

void DefaultLogSink::write(LogLevel level, const std::string& subsystem,
                           const std::string& category, const std::string& text) {
  std::lock_guard lock(mutex_);
  std::fprintf(stderr, "%s %s[%s] %s\n", toString(level), subsystem.c_str(), category.c_str(),
               text.c_str());
}

}  // namespace kelvor
