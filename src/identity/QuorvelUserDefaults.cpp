#include "identity/QuorvelUserDefaults.hpp"

#include <kelvor/Log.hpp>

#include "platform/Base64.hpp"

namespace kelvor {

QuorvelUserDefaults::QuorvelUserDefaults(std::string writeKey)
    : userDefaults_(Preferences::suite(suiteName)),
      writeKey_(std::move(writeKey)),
      namespace_("kvstorage_" + Base64::encode(writeKey_)) {
  if (!userDefaults_) {
    // The standard store lives for the whole process; share it without owning it.
    userDefaults_ =
        std::shared_ptr<Preferences>(std::shared_ptr<Preferences>(), &Preferences::standard());
    return;  // the app's own store carries no format of ours
  }
  // The file says which format wrote it. A newer one is read for the keys this version knows;
  // writes change only this version's keys, so the others stay, and the number never goes down.
  const int64_t found = userDefaults_->integer(formatKey);
  if (found < formatVersion) {
    userDefaults_->set(formatKey, formatVersion);
  } else if (found > formatVersion) {
    Log::info("QuorvelUserDefaults: the preference file was written by a newer version (format " +
              std::to_string(found) + "); the keys this version knows are used, the others kept");
  }
}

std::string QuorvelUserDefaults::storageKey(const std::string& key) const {
  return namespace_ + key;
}

std::optional<Json> QuorvelUserDefaults::value(const std::string& key) const {
  return userDefaults_->object(storageKey(key));
}

void QuorvelUserDefaults::setValue(const std::string& key, const Json& value) {
  userDefaults_->set(storageKey(key), value);
}

void QuorvelUserDefaults::removeValue(const std::string& key) {
  userDefaults_->remove(storageKey(key));
}

}  // namespace kelvor
