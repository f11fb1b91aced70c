#pragma once

#include <exception>
#include <string>

#include <kelvor/export.hpp>

namespace kelvor {

// The library's public error kinds. No public operation throws one: raisers catch their own and
// write the description at the error level.
enum class SDKException { NotValidWriteKey, SDKNotInitialized, URLError };

// An SDKException value with its payload (the message of NotValidWriteKey).
class KELVOR_EXPORT SDKError : public std::exception {
 public:
  explicit SDKError(SDKException kind, std::string message = {});
  SDKException kind() const noexcept { return kind_; }
  // The description: the payload for NotValidWriteKey, the fixed text otherwise.
  const std::string& errorDescription() const noexcept { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  SDKException kind_;
  std::string description_;
};

KELVOR_EXPORT std::string errorDescription(SDKException kind, const std::string& payload = {});

}  // namespace kelvor
