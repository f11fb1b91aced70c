#include "identity/Utility.hpp"

#include <sys/utsname.h>

#include <cstring>
#include <fstream>
#include <mutex>

#include <kelvor/Platform.hpp>

#include "platform/BundleInfoVersion.hpp"
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

// What the library sends, made from one bundle info.
struct Context {
  uint64_t version;
  std::shared_ptr<const Json> deviceInfo;
  std::shared_ptr<const std::string> userAgent;
};

struct ContextCache {
  std::mutex mutex;
  std::shared_ptr<const Context> context;
};

// Never destroyed: the library's threads may send while the process exits.
ContextCache& cache() {
  static auto* c = new ContextCache();
  return *c;
}

std::shared_ptr<const Context> currentContext() {
  const uint64_t version = BundleInfoVersion::current();
  ContextCache& c = cache();
  {
    std::lock_guard lock(c.mutex);
    if (c.context && c.context->version == version) return c.context;
  }
  // Made outside the lock; two threads that race here make the same thing.
  auto made = std::make_shared<const Context>(
      Context{version, std::make_shared<const Json>(Utility::deviceInfo()),
              std::make_shared<const std::string>(Utility::userAgent())});
  std::lock_guard lock(c.mutex);
  if (!c.context || c.context->version < version) c.context = made;
  return made;
}

}  // namespace

std::shared_ptr<const Json> Utility::currentDeviceInfo() {
  return currentContext()->deviceInfo;
}

std::shared_ptr<const std::string> Utility::currentUserAgent() {
  return currentContext()->userAgent;
}

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
  // Read once, never destroyed: the machine does not change while the process runs.
  static const auto* machine = new std::string([] {
    auto info = readUname();
    return trimControlCharacters(std::string(info.machine, sizeof info.machine));
  }());
  return *machine;
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
  // Read once, never destroyed: the OS does not change while the process runs.
  static const auto* name = new std::string([] {
    std::string fromRelease = osRelease("NAME");
    if (!fromRelease.empty()) return fromRelease;
    auto info = readUname();
    return trimControlCharacters(std::string(info.sysname, sizeof info.sysname));
  }());
  return *name;
}

std::string Utility::osVersion() {
  static const auto* version = new std::string([] {
    std::string fromRelease = osRelease("VERSION_ID");
    if (!fromRelease.empty()) return fromRelease;
    auto info = readUname();
    return trimControlCharacters(std::string(info.release, sizeof info.release));
  }());
  return *version;
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
