#pragma once

#include <optional>
#include <string>
#include <utility>

#include <kelvor/LogSink.hpp>
#include <kelvor/export.hpp>

namespace kelvor {

// The library's one logger. Info and debug lines follow a process-wide switch that starts on and
// takes the `logging` option at the end of initialisation; warning and error lines are always
// written (a warning says the library lost or refused something, or will retry later).
class KELVOR_EXPORT Log {
 public:
  static constexpr const char* subsystem = "com.kelvor.KelvorQuorvel";
  static constexpr const char* category = "main";
  static constexpr const char* prefix = "[Kelvor]";

  static void info(const std::string& message);
  static void debug(const std::string& message);
  static void warning(const std::string& message);
  static void error(const std::string& message);
  // Fixed texts: nothing is built while the level is off.
  static void info(const char* message);
  static void debug(const char* message);

  // Builds the message only when an info line would be written: for lines whose text is costly.
  template <class MakeMessage>
  static void infoLazy(MakeMessage&& make) {
    if (isEnabled()) info(std::forward<MakeMessage>(make)());
  }

  static bool isEnabled();
  static void setEnabled(bool enabled);
  // A fixed threshold (Platform::setLogLevel, KELVOR_LOG_LEVEL): lines of that level and above
  // are written whatever the switch says; nothing restores the switch's rule.
  static void setLevel(LogLevel level);
  // "debug", "info", "warning" or "error".
  static std::optional<LogLevel> levelNamed(const std::string& name);
};

}  // namespace kelvor
