#include "identity/Utility.hpp"

#include <sys/utsname.h>

#include <cstring>
#include <fstream>

#include <kelvor/Platform.hpp>

#include "platform/Clock.hpp"

namespace kelvor {
namespace {

std::string bundleText(const char* key) {
  Json info = Platform::bundleInfo();
  auto found = info.find(key);
  if (found != info.end() && found->is_string()) return found->get<std::string>();
  return {};
}

// NAME or VERSION_ID of /etc/os-release, quotes removed.
std::string osRelease(const std::string& key) {
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key + "=", 0) != 0) continue;
    std::string value = line.substr(key.size() + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return value;
  }
  return {};
}

struct utsname readUname() {
  struct utsname info;
  std::memset(&info, 0, sizeof info);
  uname(&info);
  return info;
}

}  // namespace

Json Utility::deviceInfo() {
  return Json{{"carrier", "Simulator"},      {"app_name", appName()},
              {"app_version", appVersion()}, {"device_model_identifier", deviceModelIdentifier()},
              {"os_type", osName()},         {"os_version", osVersion()}};
}

std::string Utility::appName() {
  return bundleText("CFBundleName");
}

std::string Utility::appVersion() {
  return bundleText("CFBundleShortVersionString");
}

std::string Utility::deviceModelIdentifier() {
  auto info = readUname();
  return trimControlCharacters(std::string(info.machine, sizeof info.machine));
}

std::string Utility::trimControlCharacters(const std::string& raw) {
  auto isControl = [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  };
  size_t begin = 0;
  size_t end = raw.size();
  while (begin < end && isControl(raw[begin])) ++begin;
  while (end > begin && isControl(raw[end - 1])) --end;
  std::string out = raw.substr(begin, end - begin);
  // Not ASCII: the identifier cannot be read.
  for (char c : out) {
    if (static_cast<unsigned char>(c) > 0x7f) return {};
  }
  return out;
}

std::string Utility::osName() {
  std::string name = osRelease("NAME");
  if (!name.empty()) return name;
  auto info = readUname();
  return trimControlCharacters(std::string(info.sysname, sizeof info.sysname));
}

std::string Utility::osVersion() {
  std::string version = osRelease("VERSION_ID");
  if (!version.empty()) return version;
  auto info = readUname();
  return trimControlCharacters(std::string(info.release, sizeof info.release));
}

std::string Utility::osNameAndVersion() {
  return osName() + "/" + osVersion();
}

std::string Utility::appNameAndVersion() {
  return appName() + "/" + appVersion();
}

std::string Utility::userAgent() {
  return "Mozilla/5.0 (" + deviceModelIdentifier() + "; " + osNameAndVersion() + ") AppleWebKit " +
         appNameAndVersion() + " Mobile";
}

std::string Utility::currentTimestampMillis() {
  return std::to_string(Clock::millisFromSeconds(Clock::secondsSinceEpoch()));
}

std::optional<Json> Utility::dictionaryFromJSONString(const std::string& text) {
  // A library never writes on the host's standard output: text that is not JSON is only absent.
  Json parsed = Json::parse(text, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

}  // namespace kelvor
