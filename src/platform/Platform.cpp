#include <kelvor/Platform.hpp>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <vector>

#include <kelvor/Log.hpp>

#include "platform/BundleInfoVersion.hpp"
#include "platform/DefaultLogSink.hpp"
#include "platform/SignalStore.hpp"
#include "support/ForkSafeMutex.hpp"

#ifndef KELVOR_INGESTION_HOST
#define KELVOR_INGESTION_HOST "ingest.kelvor.com"
#endif

namespace kelvor {
namespace {

struct Settings {
  ForkSafeMutex mutex{ProcessFork::settings};
  std::filesystem::path documents;
  std::filesystem::path preferences;
  std::optional<std::string> baseUrl;
  std::filesystem::path caBundle;
  Json bundleInfo = Json::object();
  std::shared_ptr<LogSink> logSink = std::make_shared<DefaultLogSink>();
  std::shared_ptr<TrackingProvider> trackingProvider;
  std::optional<LogLevel> logLevel;
  EventFilter eventFilter;
  std::optional<EventRateLimit> eventRateLimit;
  std::optional<std::string> proxy;
};

// Never destroyed: worker threads may log while the process exits.
Settings& settings() {
  static auto* s = new Settings();
  return *s;
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The user's home: $HOME, else the password database; never a shared folder.
std::filesystem::path homeDirectory() {
  std::string home = environment("HOME");
  if (!home.empty() && home.front() == '/') return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] == '/') {
    return found->pw_dir;
  }
  return {};
}

std::string executableName() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && !exe.filename().empty()) return exe.filename().string();
  return program_invocation_short_name != nullptr ? program_invocation_short_name : "";
}

// $XDG_<...>/kelvor/<app>, else <home>/<fallback>/kelvor/<app>: one folder per app, as a phone
// gives each app a sandbox. Empty when there is no home.
std::filesystem::path xdgDirectory(const char* variable, const char* fallback) {
  std::string value = environment(variable);
  if (!value.empty() && value.front() == '/')
    return std::filesystem::path(value) / "kelvor" / Platform::appIdentifier();
  auto home = homeDirectory();
  if (home.empty()) return {};
  return home / fallback / "kelvor" / Platform::appIdentifier();
}

}  // namespace

void Platform::setDocumentsDirectory(const std::filesystem::path& dir) {
  std::lock_guard lock(settings().mutex);
  settings().documents = dir;
}

void Platform::setPreferencesDirectory(const std::filesystem::path& dir) {
  std::lock_guard lock(settings().mutex);
  settings().preferences = dir;
}

void Platform::setIngestionBaseUrl(const std::string& url) {
  std::lock_guard lock(settings().mutex);
  settings().baseUrl = url;
  // The request path is appended to it, as to KELVOR_INGESTION_URL.
  if (!url.empty() && url.back() != '/') *settings().baseUrl += '/';
}

void Platform::setCABundle(const std::filesystem::path& pemFile) {
  std::lock_guard lock(settings().mutex);
  settings().caBundle = pemFile;
}

void Platform::setBundleInfo(const Json& info) {
  {
    std::lock_guard lock(settings().mutex);
    settings().bundleInfo = info.is_object() ? info : Json::object();
  }
  // After the change: whoever sees the new count reads the new info.
  BundleInfoVersion::changed();
}

void Platform::setLogSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(settings().mutex);
  settings().logSink = sink ? std::move(sink) : std::make_shared<DefaultLogSink>();
}

void Platform::setLogLevel(LogLevel level) {
  {
    std::lock_guard lock(settings().mutex);
    settings().logLevel = level;
  }
  Log::setLevel(level);
}

std::optional<LogLevel> Platform::logLevel() {
  {
    std::lock_guard lock(settings().mutex);
    if (settings().logLevel) return settings().logLevel;
  }
  return Log::levelNamed(environment("KELVOR_LOG_LEVEL"));
}

void Platform::setTrackingProvider(std::shared_ptr<TrackingProvider> provider) {
  std::lock_guard lock(settings().mutex);
  settings().trackingProvider = std::move(provider);
}

void Platform::storeOnSignals(std::vector<int> signals) {
  try {
    SignalStore::watch(signals);
  } catch (const std::exception& error) {
    Log::error(std::string("Platform::storeOnSignals - ") + error.what());
  }
}

void Platform::setEventFilter(EventFilter filter) {
  std::lock_guard lock(settings().mutex);
  settings().eventFilter = std::move(filter);
}

void Platform::setEventRateLimit(double perSecond, double burst) {
  std::lock_guard lock(settings().mutex);
  if (!std::isfinite(perSecond) || perSecond <= 0) {
    settings().eventRateLimit.reset();
    return;
  }
  // One event must always be able to pass, or the limit would drop every report.
  settings().eventRateLimit =
      EventRateLimit{perSecond, std::isfinite(burst) && burst >= 1 ? burst : 1};
}

void Platform::setProxy(const std::string& url) {
  std::lock_guard lock(settings().mutex);
  settings().proxy = url;
}

std::string Platform::appIdentifier() {
  std::string raw;
  {
    std::lock_guard lock(settings().mutex);
    auto found = settings().bundleInfo.find("CFBundleIdentifier");
    if (found != settings().bundleInfo.end() && found->is_string()) raw = found->get<std::string>();
  }
  if (raw.empty()) raw = executableName();
  std::string name;
  for (char c : raw) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-') {
      name += c;
    }
  }
  if (name.empty() || name == "." || name == "..") name = "app";
  return name;
}

std::filesystem::path Platform::documentsDirectory() {
  {
    std::lock_guard lock(settings().mutex);
    if (!settings().documents.empty()) return settings().documents;
  }
  // A base folder, like XDG's: two apps given one KELVOR_DATA_DIR keep their own stores.
  std::string fromEnvironment = environment("KELVOR_DATA_DIR");
  if (!fromEnvironment.empty()) return std::filesystem::path(fromEnvironment) / appIdentifier();
  return xdgDirectory("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path Platform::preferencesDirectory() {
  {
    std::lock_guard lock(settings().mutex);
    if (!settings().preferences.empty()) return settings().preferences;
  }
  std::string fromEnvironment = environment("KELVOR_CONFIG_DIR");
  if (!fromEnvironment.empty()) return std::filesystem::path(fromEnvironment) / appIdentifier();
  return xdgDirectory("XDG_CONFIG_HOME", ".config");
}

std::string Platform::ingestionBaseUrl() {
  {
    std::lock_guard lock(settings().mutex);
    if (settings().baseUrl) return *settings().baseUrl;
  }
  std::string fromEnvironment = environment("KELVOR_INGESTION_URL");
  if (!fromEnvironment.empty()) {
    if (fromEnvironment.back() != '/') fromEnvironment += '/';
    return fromEnvironment;
  }
  return "https://" KELVOR_INGESTION_HOST "/";
}

std::filesystem::path Platform::caBundle() {
  {
    std::lock_guard lock(settings().mutex);
    if (!settings().caBundle.empty()) return settings().caBundle;
  }
  return environment("KELVOR_CA_BUNDLE");
}

Json Platform::bundleInfo() {
  std::lock_guard lock(settings().mutex);
  return settings().bundleInfo;
}

std::shared_ptr<LogSink> Platform::logSink() {
  std::lock_guard lock(settings().mutex);
  return settings().logSink;
}

std::shared_ptr<TrackingProvider> Platform::trackingProvider() {
  std::lock_guard lock(settings().mutex);
  return settings().trackingProvider;
}

EventFilter Platform::eventFilter() {
  std::lock_guard lock(settings().mutex);
  return settings().eventFilter;
}

std::optional<EventRateLimit> Platform::eventRateLimit() {
  std::lock_guard lock(settings().mutex);
  return settings().eventRateLimit;
}

std::optional<std::string> Platform::proxy() {
  {
    std::lock_guard lock(settings().mutex);
    if (settings().proxy) return settings().proxy;
  }
  std::string fromEnvironment = environment("KELVOR_PROXY");
  if (!fromEnvironment.empty()) return fromEnvironment;
  return std::nullopt;
}

}  // namespace kelvor
