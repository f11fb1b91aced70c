#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
  static void setIngestionBaseUrl(const std::string& url);  // a missing final "/" is added
  static void setCABundle(const std::filesystem::path& pemFile);
  static void setBundleInfo(const Json& info);
  static void setLogSink(std::shared_ptr<LogSink> sink);
  // Writes lines of this level and above, whatever the `logging` option says; wins over
  // KELVOR_LOG_LEVEL, which is read otherwise when the process writes its first line.
  static void setLogLevel(LogLevel level);
  static std::optional<LogLevel> logLevel();
  static void setTrackingProvider(std::shared_ptr<TrackingProvider> provider);
  // Off by default. On one of these signals (SIGTERM, SIGINT, SIGHUP for a command-line tool)
  // what the app handed over is stored within the exit bound, then the previous disposition is
  // restored and the signal raised again: the host's own handler or the default action (the
  // process ends by the signal) happens, once. Each call catches the signals once more; a child
  // of fork catches them again at its first call into the library.
  static void storeOnSignals(std::vector<int> signals);

  // What a setter set (that folder itself), else $KELVOR_DATA_DIR/<app>, else
  // $XDG_DATA_HOME/kelvor/<app>, else <home>/.local/share/kelvor/<app>; empty when there is no
  // home at all. A relative folder is returned as it is; initialize refuses it.
  static std::filesystem::path documentsDirectory();
  // The same with KELVOR_CONFIG_DIR, $XDG_CONFIG_HOME and <home>/.config.
  static std::filesystem::path preferencesDirectory();
  // The setter's, else KELVOR_INGESTION_URL, else https://<the library's host>/.
  static std::string ingestionBaseUrl();
  // The setter's, else KELVOR_CA_BUNDLE; empty when none.
  static std::filesystem::path caBundle();
  // <app> of the default directories: the bundle info's "CFBundleIdentifier", else the
  // executable's name, reduced to [A-Za-z0-9._-].
  static std::string appIdentifier();
  static Json bundleInfo();
  static std::shared_ptr<LogSink> logSink();
  static std::shared_ptr<TrackingProvider> trackingProvider();  // nullptr when none
};

}  // namespace kelvor
