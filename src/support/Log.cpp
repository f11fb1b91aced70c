#include <kelvor/Log.hpp>

#include <atomic>

#include <kelvor/Platform.hpp>

#include "support/Redaction.hpp"

namespace kelvor {
namespace {

std::atomic<bool> enabled{true};
std::atomic<int> threshold{-1};  // a fixed level, or -1: info and debug follow `enabled`

bool wanted(LogLevel level) {
  const int fixed = threshold.load(std::memory_order_relaxed);
  if (fixed >= 0) return static_cast<int>(level) >= fixed;
  return level >= LogLevel::warning || enabled.load(std::memory_order_relaxed);
}

void write(LogLevel level, const std::string& message) {
  if (!wanted(level)) return;
  auto sink = Platform::logSink();
  if (!sink || !sink->isEnabled(level)) return;
  sink->write(level, Log::subsystem, Log::category,
              std::string(Log::prefix) + " - " + Redaction::line(message));
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

void Log::setEnabled(bool value) {
  enabled.store(value, std::memory_order_relaxed);
}

}  // namespace kelvor
