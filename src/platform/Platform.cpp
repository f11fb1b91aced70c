#include <kelvor/Platform.hpp>

#include <cstdlib>
#include <iostream>
#include <mutex>

#include "platform/DefaultLogSink.hpp"

#ifndef KELVOR_INGESTION_HOST
#define KELVOR_INGESTION_HOST "ingest.kelvor.com"
#endif

namespace kelvor {
namespace {

struct Settings {
  std::mutex mutex;
  std::filesystem::path documents;
  std::filesystem::path preferences;
  std::string baseUrl = std::string("https://") + KELVOR_INGESTION_HOST + "/";
  std::filesystem::path caBundle;
  Json bundleInfo = Json::object();
  std::shared_ptr<LogSink> logSink = std::make_shared<DefaultLogSink>();
  std::shared_ptr<TrackingProvider> trackingProvider;
};

// Never destroyed: worker threads may log while the process exits.
Settings& settings() {
  static auto* s = new Settings();
  return *s;
}

std::filesystem::path xdgDirectory(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value != nullptr && value[0] == '/') return std::filesystem::path(value) / "kelvor";
  const char* home = std::getenv("HOME");
  std::filesystem::path base = (home != nullptr && home[0] != '\0') ? home : "/tmp";
  return base / fallback / "kelvor";
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
}

void Platform::setCABundle(const std::filesystem::path& pemFile) {
  std::lock_guard lock(settings().mutex);
  settings().caBundle = pemFile;
}

void Platform::setBundleInfo(const Json& info) {
  std::lock_guard lock(settings().mutex);
  settings().bundleInfo = info.is_object() ? info : Json::object();
}

void Platform::setLogSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(settings().mutex);
  settings().logSink = sink ? std::move(sink) : std::make_shared<DefaultLogSink>();
}

void Platform::setTrackingProvider(std::shared_ptr<TrackingProvider> provider) {
  std::lock_guard lock(settings().mutex);
  settings().trackingProvider = std::move(provider);
}

std::filesystem::path Platform::documentsDirectory() {
  std::lock_guard lock(settings().mutex);
  if (!settings().documents.empty()) return settings().documents;
  return xdgDirectory("XDG_DATA_HOME", ".local/share");
}

std::filesystem::path Platform::preferencesDirectory() {
  std::lock_guard lock(settings().mutex);
  if (!settings().preferences.empty()) return settings().preferences;
  return xdgDirectory("XDG_CONFIG_HOME", ".config");
}

std::string Platform::ingestionBaseUrl() {
  std::lock_guard lock(settings().mutex);
  return settings().baseUrl;
}

std::filesystem::path Platform::caBundle() {
  std::lock_guard lock(settings().mutex);
  return settings().caBundle;
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

}  // namespace kelvor
