#pragma once

#include <string>

#include <kelvor/export.hpp>

namespace kelvor {

enum class LogLevel { debug, info, warning, error };

// Where the library's log entries go. The default sink writes one line per entry to standard
// error; a host installs its own (journald, syslog, its own logger) with Platform::setLogSink.
// Both methods are called from any thread, the host's and the library's own, often at once: they
// must be thread-safe. They must not call the library (a line it writes would come back here).
// An exception they throw is caught: that entry goes to standard error instead, saying so.
class KELVOR_EXPORT LogSink {
 public:
  virtual ~LogSink() = default;
  // Whether entries of this level are wanted at all; nothing is formatted otherwise.
  virtual bool isEnabled(LogLevel) const { return true; }
  // text is the whole entry: "[Kelvor] - <message>".
  virtual void write(LogLevel level, const std::string& subsystem, const std::string& category,
                     const std::string& text) = 0;
};

KELVOR_EXPORT const char* toString(LogLevel level);

}  // namespace kelvor
