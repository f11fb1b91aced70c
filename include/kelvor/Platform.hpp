#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <kelvor/Json.hpp>
#include <kelvor/LogSink.hpp>
#include <kelvor/TrackingProvider.hpp>
#include <kelvor/export.hpp>

namespace kelvor {

// Process-wide settings that stand in for the phone's platform services. Set them before
// Quorvel::initialize, which reads them while it builds the components.
class KELVOR_EXPORT Platform {
 public:
  static void setDocumentsDirectory(const std::filesystem::path& dir);
  static void setPreferencesDirectory(const std::filesystem::path& dir);
  static void setIngestionBaseUrl(const std::string& url);  // ends in "/"
  static void setCABundle(const std::filesystem::path& pemFile);
  static void setBundleInfo(const Json& info);
  static void setLogSink(std::shared_ptr<LogSink> sink);
  static void setTrackingProvider(std::shared_ptr<TrackingProvider> provider);

  // Default: $XDG_DATA_HOME/kelvor, else ~/.local/share/kelvor.
  static std::filesystem::path documentsDirectory();
  // Default: $XDG_CONFIG_HOME/kelvor, else ~/.config/kelvor.
  static std::filesystem::path preferencesDirectory();
  static std::string ingestionBaseUrl();
  static std::filesystem::path caBundle();  // empty when none was set
  static Json bundleInfo();
  static std::shared_ptr<LogSink> logSink();
  static std::shared_ptr<TrackingProvider> trackingProvider();  // nullptr when none
};

}  // namespace kelvor
