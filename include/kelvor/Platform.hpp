#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kelvor/Json.hpp>
#include <kelvor/LogSink.hpp>
#include <kelvor/TrackingProvider.hpp>
#include <kelvor/export.hpp>

namespace kelvor {

// Sees each event once, as it would go on the wire: {"eventUUID", "event" (eventName,
// eventTimestamp and the properties), "page" (only when set), "user", "version"}. It returns the
// record to store and send (changed or not; a changed eventUUID is ignored), or nullopt to drop
// the event. It runs on the library's own queue, never on the reporting thread, one call at a
// time. Whatever it throws, or returns that is not such a record, drops the event with an error
// line: a filter exists to remove data, and sending what it could not scrub would defeat it.
using EventFilter = std::function<std::optional<Json>(Json record)>;

// A token bucket per event name (Platform::setEventRateLimit).
struct EventRateLimit {
  double perSecond = 0;  // tokens added each second
  double burst = 0;      // the most an event name may use up at once
};

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
  // Every event, the internal page and user events and instant events included, passes the
  // filter before it is stored; an empty function removes it. Dropped events are counted in
  // DeliveryStats::droppedByFilter.
  static void setEventFilter(EventFilter filter);
  // Off by default. Each event name may be reported `burst` times at once and `perSecond` times a
  // second after that; reports beyond are dropped at the call, counted in
  // DeliveryStats::droppedByRateLimit and named in a warning line at most once a minute per name.
  // A perSecond of 0 or below turns the limit off; a burst below 1 is taken as 1.
  static void setEventRateLimit(double perSecond, double burst);
  // The proxy uploads go through ("http://proxy.example:3128", "socks5h://..."); TLS to the
  // endpoint is still verified end to end. Wins over KELVOR_PROXY; "" uses no proxy at all, not
  // even libcurl's https_proxy.
  static void setProxy(const std::string& url);

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
  static EventFilter eventFilter();                             // empty when none
  static std::optional<EventRateLimit> eventRateLimit();        // nothing when off
  // The setter's, else KELVOR_PROXY when set and not empty; nothing leaves the choice to libcurl
  // (https_proxy, no_proxy).
  static std::optional<std::string> proxy();
};

}  // namespace kelvor
