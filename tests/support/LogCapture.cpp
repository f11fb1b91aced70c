#include "support/LogCapture.hpp"

#include <kelvor/Platform.hpp>

namespace kelvor::testing {

class LogCapture::Sink : public LogSink {
 public:
  void write(LogLevel level, const std::string&, const std::string&,
             const std::string& text) override {
    std::lock_guard lock(mutex);
    lines.push_back({level, text});
  }
  mutable std::mutex mutex;
  std::vector<Line> lines;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()) {
  Platform::setLogSink(sink_);
}

LogCapture::~LogCapture() {
  Platform::setLogSink(nullptr);
}

std::vector<LogCapture::Line> LogCapture::lines() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->lines;
}

std::vector<std::string> LogCapture::messages(LogLevel level) const {
  std::vector<std::string> out;
  const std::string prefix = "[Kelvor] - ";
  for (const auto& line : lines()) {
    if (line.level != level) continue;
    out.push_back(line.text.rfind(prefix, 0) == 0 ? line.text.substr(prefix.size()) : line.text);
  }
  return out;
}

size_t LogCapture::count(LogLevel level, const std::string& fragment) const {
  size_t n = 0;
  for (const auto& message : messages(level)) {
    if (message.find(fragment) != std::string::npos) ++n;
  }
  return n;
}

void LogCapture::clear() {
  std::lock_guard lock(sink_->mutex);
  sink_->lines.clear();
}

}  // namespace kelvor::testing
