#pragma once

#include <optional>

#include <kelvor/export.hpp>

namespace kelvor {

// A public value type that no operation of the library creates or reads.
struct KELVOR_EXPORT APIErrors {
  enum class Code : int {
    urlError = 0,
    networkRequestFailed = 1,
    jsonSerializedFailed = 2,
    jsonParsingFailed = 3,
    serverDownError = 4,
  };
  // The code for a raw value, or nothing for a value outside the enumeration.
  static std::optional<Code> codeFromRawValue(int raw);

  explicit APIErrors(Code code) : errorCode(code) {}
  const Code errorCode;
};

}  // namespace kelvor
