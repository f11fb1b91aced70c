#pragma once

#include <memory>
#include <optional>
#include <string>

#include <kelvor/Json.hpp>
#include <kelvor/Preferences.hpp>

namespace kelvor {

// The library's preference store: the suite "kelvor.quorvel.pref" (or the standard store when
// it cannot be opened), every key namespaced by the Base64 of the write key.
class QuorvelUserDefaults {
 public:
  static constexpr const char* suiteName = "kelvor.quorvel.pref";
  // The format of the suite's file, recorded in it.
  static constexpr const char* formatKey = "kelvor_format_version";
  static constexpr int64_t formatVersion = 1;

  explicit QuorvelUserDefaults(std::string writeKey);

  // "kvstorage_" + Base64(writeKey) + key.
  std::string storageKey(const std::string& key) const;
  std::optional<Json> value(const std::string& key) const;
  void setValue(const std::string& key, const Json& value);
  void removeValue(const std::string& key);

  Preferences& userDefaults() const { return *userDefaults_; }
  const std::string& writeKey() const { return writeKey_; }

 private:
  std::shared_ptr<Preferences> userDefaults_;
  std::string writeKey_;
  std::string namespace_;
};

}  // namespace kelvor
