#include "capi/CallbackLogSink.hpp"

namespace kelvor {

static_assert(static_cast<int>(LogLevel::debug) == KELVOR_LOG_DEBUG &&
                  static_cast<int>(LogLevel::error) == KELVOR_LOG_ERROR,
              "the C levels are the C++ ones");

void CallbackLogSink::write(LogLevel level, const std::string&, const std::string&,
                            const std::string& text) {
  callback_(static_cast<kelvor_log_level>(level), text.c_str(), userData_);
}

}  // namespace kelvor
