#include <kelvor/Log.hpp>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <kelvor/Platform.hpp>

#include "support/ForkSafeMutex.hpp"
#include "support/HostCallback.hpp"
#include "support/Redaction.hpp"

namespace kelvor {
namespace {

constexpr int kFollowSwitch = -1;  // info and debug follow `enabled`
constexpr int kUnread = -2;        // KELVOR_LOG_LEVEL not looked at yet

std::atomic<bool> enabled{true};
std::atomic<int> threshold{kUnread};
// Set while this thread is inside the host's sink: a sink that calls back into the library
// (deliveryStats, getInstance) would otherwise log into itself without end. Its nested lines
// are dropped.
thread_local bool inSink = false;

struct SinkScope {
  SinkScope() { inSink = true; }
  ~SinkScope() { inSink = false; }
  SinkScope(const SinkScope&) = delete;
  SinkScope& operator=(const SinkScope&) = delete;
};

// The environment's level holds from the very first line (option builders log before
// initialize runs); a level the host set already wins over it.
int currentThreshold() {
  int fixed = threshold.load(std::memory_order_relaxed);
  if (fixed != kUnread) return fixed;
  int fromEnvironment = kFollowSwitch;
  const char* named = std::getenv("KELVOR_LOG_LEVEL");
  if (named != nullptr) {
    if (auto level = Log::levelNamed(named)) fromEnvironment = static_cast<int>(*level);
  }
  threshold.compare_exchange_strong(fixed, fromEnvironment, std::memory_order_relaxed);
  return fixed == kUnread ? fromEnvironment : fixed;
}

bool wanted(LogLevel level) {
  const int fixed = currentThreshold();
  if (fixed >= 0) return static_cast<int>(level) >= fixed;
  return level >= LogLevel::warning || enabled.load(std::memory_order_relaxed);
}

void write(LogLevel level, const std::string& message) noexcept {
  try {
    if (inSink || !wanted(level)) return;
    auto sink = Platform::logSink();
    if (!sink) return;
    const std::string text = std::string(Log::prefix) + " - " + Redaction::line(message);
    std::string failure;
    try {
      SinkScope scope;
      if (!sink->isEnabled(level)) return;
      sink->write(level, Log::subsystem, Log::category, text);
      return;
    } catch (const std::exception& error) {
      failure = Redaction::line(error.what());
    } catch (...) {
      failure = "an exception that is not a std::exception";
    }
    // The entry is not lost: it goes to standard error with why it is there.
    HostCallback::writeToStandardError(toString(level),
                                       text + " (the host's log sink threw: " + failure + ")");
  } catch (...) {
    // Out of memory while formatting: the line is dropped, the caller goes on.
  }
}

}  // namespace

void Log::info(const std::string& message) {
  write(LogLevel::info, message);
}

void Log::debug(const std::string& message) {
  write(LogLevel::debug, message);
}

void Log::info(const char* message) {
  if (!wanted(LogLevel::info)) return;
  write(LogLevel::info, message);
}

void Log::debug(const char* message) {
  if (!wanted(LogLevel::debug)) return;
  write(LogLevel::debug, message);
}

void Log::warning(const std::string& message) {
  write(LogLevel::warning, message);
}

void Log::error(const std::string& message) {
  write(LogLevel::error, message);
}

bool Log::isEnabled() {
  return wanted(LogLevel::info);
}

void Log::setLevel(LogLevel level) {
  threshold.store(static_cast<int>(level), std::memory_order_relaxed);
}

std::optional<LogLevel> Log::levelNamed(const std::string& name) {
  for (LogLevel level : {LogLevel::debug, LogLevel::info, LogLevel::warning, LogLevel::error}) {
    if (name == toString(level)) return level;
  }
  return std::nullopt;
}

void HostCallback::writeToStandardError(const char* level, const std::string& text) noexcept {
  // Serialised so concurrent failures keep whole lines; never destroyed, as threads may still
  // write while the process exits.
  static auto* mutex = new ForkSafeMutex(ProcessFork::standardError);
  std::lock_guard lock(*mutex);
  std::fprintf(stderr, "%s %s[%s] %s\n", level, Log::subsystem, Log::category, text.c_str());
}

void HostCallback::reportFailure(const char* what, const char* detail) noexcept {
  try {
    std::string text = std::string(Log::prefix) + " - " + what + " threw" +
                       (detail != nullptr ? std::string(": ") + detail : std::string()) +
                       "; the library caught it and goes on";
    writeToStandardError(toString(LogLevel::error), Redaction::line(text));
  } catch (...) {
    // Nothing more can be said without memory.
  }
}

void Log::setEnabled(bool value) {
  enabled.store(value, std::memory_order_relaxed);
}

}  // namespace kelvor
