#include <kelvor/Log.hpp>

#include <atomic>

#include <kelvor/Platform.hpp>

namespace kelvor {
namespace {

std::atomic<bool> enabled{true};

void write(LogLevel level, const std::string& message) {
  auto sink = Platform::logSink();
  if (!sink || !sink->isEnabled(level)) return;
  sink->write(level, Log::subsystem, Log::category, std::string(Log::prefix) + " - " + message);
}

}  // namespace

void Log::info(const std::string& message) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  write(LogLevel::info, message);
}

void Log::debug(const std::string& message) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  write(LogLevel::debug, message);
}

void Log::info(const char* message) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  write(LogLevel::info, message);
}

void Log::debug(const char* message) {
  if (!enabled.load(std::memory_order_relaxed)) return;
  write(LogLevel::debug, message);
}

void Log::warning(const std::string& message) {
  write(LogLevel::warning, message);
}

void Log::error(const std::string& message) {
  write(LogLevel::error, message);
}

bool Log::isEnabled() {
  return enabled.load(std::memory_order_relaxed);
}

void Log::setEnabled(bool value) {
  enabled.store(value, std::memory_order_relaxed);
}

}  // namespace kelvor
