#pragma once

#include <memory>
#include <optional>
#include <string>

#include <kelvor/Json.hpp>

namespace kelvor {

// Facts about the device and the host app. The OS and the machine are read once per process;
// the app's name and version afresh on every call.
class Utility {
 public:
  // "carrier", "app_name", "app_version", "device_model_identifier", "os_type", "os_version".
  static Json deviceInfo();
  static std::string appName();
  static std::string appVersion();
  static std::string deviceModelIdentifier();
  static std::string osName();
  static std::string osVersion();
  static std::string osNameAndVersion();
  static std::string appNameAndVersion();
  static std::string userAgent();
  // deviceInfo() and userAgent() as the library sends them with each event and request: made
  // again only after the host changed the bundle info (the OS and the machine do not change
  // while the process runs). A new pointer means new content.
  static std::shared_ptr<const Json> currentDeviceInfo();
  static std::shared_ptr<const std::string> currentUserAgent();
  static std::string currentTimestampMillis();
  // The parsed text when it is a JSON object; absent otherwise.
  static std::optional<Json> dictionaryFromJSONString(const std::string& text);
  // The machine field of uname: control characters trimmed from both ends.
  static std::string trimControlCharacters(const std::string& raw);
};

}  // namespace kelvor
