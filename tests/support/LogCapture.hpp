#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kelvor/LogSink.hpp>

namespace kelvor::testing {

// Installs a sink that keeps every entry; the default sink comes back on destruction.
class LogCapture {
 public:
  struct Line {
    LogLevel level;
    std::string text;  // "[Kelvor] - <message>"
  };

  LogCapture();
  ~LogCapture();

  std::vector<Line> lines() const;
  // Entries whose message (after "[Kelvor] - ") contains the fragment.
  size_t count(LogLevel level, const std::string& fragment) const;
  bool contains(LogLevel level, const std::string& fragment) const {
    return count(level, fragment) > 0;
  }
  // Messages of one level, in order.
  std::vector<std::string> messages(LogLevel level) const;
  void clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

}  // namespace kelvor::testing
