#pragma once

#include <mutex>

#include <kelvor/LogSink.hpp>

#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// One line per entry on standard error: "<level> <subsystem>[<category>] <text>".
class DefaultLogSink : public LogSink {
 public:
  void write(LogLevel level, const std::string& subsystem, const std::string& category,
             const std::string& text) override;

 private:
  ForkSafeMutex mutex_{ProcessFork::logSink};
};

}  // namespace kelvor
