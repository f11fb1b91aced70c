#pragma once

#include <mutex>

#include <kelvor/LogSink.hpp>

namespace kelvor {

// One line per entry on standard error: "<level> <subsystem>[<category>] <text>".
class DefaultLogSink : public LogSink {
 public:
  void write(LogLevel level, const std::string& subsystem, const std::string& category,
             const std::string& text) override;

 private:
  std::mutex mutex_;
};

}  // namespace kelvor
