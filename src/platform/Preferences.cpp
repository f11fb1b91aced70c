#include <kelvor/Preferences.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/PrivateDirectory.hpp"

namespace kelvor {
namespace {

// One object per file for the life of the process, so every user of a store sees the same
// values and observations. Never destroyed: worker threads may read while the process exits.
struct Registry {
  std::mutex mutex;
  std::map<std::filesystem::path, std::shared_ptr<Preferences>> stores;
};

Registry& registry() {
  static auto* r = [] {
    auto* made = new Registry();
    // Writes still pending when the process exits reach their files.
    std::atexit([] { Preferences::synchronizeAll(); });
    return made;
  }();
  return *r;
}

DispatchQueue& writer() {
  static auto* queue = new DispatchQueue("com.kelvor.preferences.writer");
  return *queue;
}

std::shared_ptr<Preferences> storeAt(const std::filesystem::path& file) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto found = r.stores.find(file);
  if (found != r.stores.end()) return found->second;
  auto store = std::make_shared<Preferences>(file);
  r.stores.emplace(file, store);
  return store;
}

// Decimal text as the platform's integer read takes it: leading blanks, a sign, digits.
int64_t integerFromText(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value > (INT64_MAX - 9) / 10) return negative ? INT64_MIN : INT64_MAX;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

}  // namespace

struct Preferences::Observers {
  std::mutex mutex;
  std::map<uint64_t, std::pair<std::string, std::function<void()>>> entries;
  uint64_t next = 1;
};

Preferences::Preferences(std::filesystem::path file)
    : path_(std::move(file)), observers_(std::make_shared<Observers>()) {}

Preferences::~Preferences() = default;

Preferences& Preferences::standard() {
  auto dir = Platform::preferencesDirectory();
  // An unusable folder is reported by initialize; the store then lives in memory only.
  (void)PrivateDirectory::prepare(dir);
  return *storeAt(dir / "standard.json");
}

std::shared_ptr<Preferences> Preferences::suite(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  auto dir = Platform::preferencesDirectory();
  if (auto problem = PrivateDirectory::prepare(dir)) {
    Log::error("Preferences: the preferences directory " + *problem);
    return nullptr;
  }
  return storeAt(dir / (name + ".json"));
}

void Preferences::loadLocked() const {
  if (loaded_) return;
  loaded_ = true;
  values_ = Json::object();
  std::error_code ec;
  if (!std::filesystem::exists(path_, ec)) return;
  std::ifstream in(path_, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  if (in.good() || in.eof()) {
    Json parsed = Json::parse(buffer.str(), nullptr, false);
    if (!parsed.is_discarded() && parsed.is_object()) {
      values_ = std::move(parsed);
      return;
    }
  }
  // Keep the damaged file for inspection and start empty rather than fail every read.
  auto aside = path_;
  aside += ".corrupt";
  std::filesystem::rename(path_, aside, ec);
  Log::error("Preferences: unreadable file " + path_.string() + " moved to " + aside.string() +
             "; starting empty");
}

void Preferences::saveLocked() const {
  auto temp = path_;
  temp += ".tmp";
  std::string text = values_.dump(-1, ' ', false, Json::error_handler_t::replace);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    Log::error("Preferences: cannot write " + temp.string() + ": " + std::strerror(errno));
    return;
  }
  ::fchmod(fd, 0600);
  const char* data = text.data();
  size_t left = text.size();
  bool ok = true;
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    data += n;
    left -= static_cast<size_t>(n);
  }
  if (ok && ::fsync(fd) != 0) ok = false;
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path_.c_str()) != 0) {
    Log::error("Preferences: cannot replace " + path_.string() + ": " + std::strerror(errno));
    ::unlink(temp.c_str());
  }
}

void Preferences::scheduleSaveLocked() {
  auto self = weak_from_this().lock();
  if (!self) {
    saveLocked();  // not shared: nobody could flush it later
    return;
  }
  if (savePending_) return;  // the pending flush will write this value too
  savePending_ = true;
  writer().async([self] { self->synchronize(); });
}

void Preferences::synchronize() {
  std::lock_guard lock(mutex_);
  if (!savePending_) return;
  savePending_ = false;
  saveLocked();
}

void Preferences::synchronizeAll() {
  std::vector<std::shared_ptr<Preferences>> stores;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (const auto& [path, store] : r.stores) stores.push_back(store);
  }
  for (const auto& store : stores) store->synchronize();
}

std::optional<Json> Preferences::object(const std::string& key) const {
  std::lock_guard lock(mutex_);
  loadLocked();
  auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return *found;
}

std::optional<std::string> Preferences::string(const std::string& key) const {
  auto value = object(key);
  if (!value) return std::nullopt;
  if (value->is_string()) return value->get<std::string>();
  if (value->is_number_integer()) return std::to_string(value->get<int64_t>());
  if (value->is_number_unsigned()) return std::to_string(value->get<uint64_t>());
  if (value->is_number_float()) return value->dump();
  return std::nullopt;
}

int64_t Preferences::integer(const std::string& key) const {
  auto value = object(key);
  if (!value) return 0;
  if (value->is_number_integer()) return value->get<int64_t>();
  if (value->is_number_unsigned()) return static_cast<int64_t>(value->get<uint64_t>());
  if (value->is_number_float()) {
    // Out of range saturates: the conversion itself would be undefined.
    double d = value->get<double>();
    if (!std::isfinite(d)) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64_t>(d);
  }
  if (value->is_boolean()) return value->get<bool>() ? 1 : 0;
  if (value->is_string()) return integerFromText(value->get<std::string>());
  return 0;
}

void Preferences::set(const std::string& key, const Json& value) {
  if (value.is_null()) {
    remove(key);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    values_[key] = value;
    scheduleSaveLocked();
  }
  notify(key);
}

void Preferences::remove(const std::string& key) {
  {
    std::lock_guard lock(mutex_);
    loadLocked();
    values_.erase(key);
    scheduleSaveLocked();
  }
  notify(key);
}

ObservationToken Preferences::observe(const std::string& key, std::function<void()> onChange) {
  uint64_t id;
  {
    std::lock_guard lock(observers_->mutex);
    id = observers_->next++;
    observers_->entries.emplace(id, std::make_pair(key, std::move(onChange)));
  }
  std::weak_ptr<Observers> weak = observers_;
  return ObservationToken([weak, id] {
    if (auto observers = weak.lock()) {
      std::lock_guard lock(observers->mutex);
      observers->entries.erase(id);
    }
  });
}

void Preferences::notify(const std::string& key) {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(observers_->mutex);
    for (const auto& [id, entry] : observers_->entries) {
      if (entry.first == key) callbacks.push_back(entry.second);
    }
  }
  for (const auto& callback : callbacks) callback();
}

}  // namespace kelvor
