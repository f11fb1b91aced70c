#pragma once

#include <kelvor/kelvor.h>
#include <kelvor/LogSink.hpp>

namespace kelvor {

// Hands every log entry to a C host's callback (kelvor_set_log_callback).
class CallbackLogSink : public LogSink {
 public:
  CallbackLogSink(kelvor_log_callback callback, void* userData)
      : callback_(callback), userData_(userData) {}

  void write(LogLevel level, const std::string& subsystem, const std::string& category,
             const std::string& text) override;

 private:
  kelvor_log_callback callback_;
  void* userData_;
};

}  // namespace kelvor
