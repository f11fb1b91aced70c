#include <kelvor/Preferences.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/PreferencesTestHook.hpp"
#include "platform/PrivateDirectory.hpp"
#include "support/ForkSafeMutex.hpp"
#include "support/HostCallback.hpp"

namespace kelvor {
namespace {

// One object per file for the life of the process, so every user of a store sees the same
// values and observations. Never destroyed: worker threads may read while the process exits.
struct Registry {
  ForkSafeMutex mutex{ProcessFork::preferencesRegistry};
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
  static auto* queue = [] {
    auto* made = new DispatchQueue("com.kelvor.preferences.writer");
    made->continueInChildren();
    return made;
  }();
  return *queue;
}

// `guard` makes the new store's locks safe across fork.
std::shared_ptr<Preferences> storeAt(const std::filesystem::path& file,
                                     void (*guard)(const std::shared_ptr<Preferences>&)) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto found = r.stores.find(file);
  if (found != r.stores.end()) return found->second;
  auto store = std::make_shared<Preferences>(file);
  guard(store);
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

// Numbers this process's temporary files. At namespace scope, not a function's static: that
// one would be exported with the class that holds the function.
std::atomic<uint64_t> tempFileCounter{0};

ForkSafeMutex& hookMutex() {
  static auto* m = new ForkSafeMutex(ProcessFork::preferencesHook);
  return *m;
}

std::function<void()>& beforeReplaceHook() {
  static auto* hook = new std::function<void()>();
  return *hook;
}

// An exclusive flock on "<file>.lock", held while a process reads, merges and replaces the
// file. The lock file, not the store, carries the lock: rename gives the store a new inode.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file) {
    auto name = file;
    name += ".lock";
    fd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      error_ = errno;
      ::close(fd_);
      fd_ = -1;
      return;
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool held() const { return fd_ >= 0; }
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
};

void applyChanges(Json& values, const std::map<std::string, std::optional<Json>>& changes) {
  for (const auto& [key, value] : changes) {
    if (value) {
      values[key] = *value;
    } else {
      values.erase(key);
    }
  }
}

}  // namespace

namespace detail {

void setPreferencesBeforeReplaceHook(std::function<void()> hook) {
  std::lock_guard lock(hookMutex());
  beforeReplaceHook() = std::move(hook);
}

}  // namespace detail

// One version of the file as read: its values and the stamp of the file they came from.
struct Preferences::Snapshot {
  FileStamp stamp;
  Json values = Json::object();
};

// The disk side of a store. Nothing in here is called with mutex_ held.
struct Preferences::File {
  static FileStamp stampOf(const struct stat& st) {
    return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_nsec)};
  }

  static FileStamp stampAt(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return FileStamp{};
    return stampOf(st);
  }

  // lockHeld: the caller holds the file lock already (a second flock would wait for itself).
  static Snapshot read(const std::filesystem::path& path, bool lockHeld) {
    Snapshot snapshot;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) return snapshot;
    bool readable = fd >= 0;
    std::string text;
    if (readable) {
      // The stamp of the very file read, so a replace between stat and read is not missed.
      struct stat st {};
      readable = ::fstat(fd, &st) == 0;
      if (readable) snapshot.stamp = stampOf(st);
      char buffer[8192];
      while (readable) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readable = false;
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
      }
      ::close(fd);
    } else {
      snapshot.stamp = stampAt(path);
    }
    if (readable) {
      Json parsed = Json::parse(text, nullptr, false);
      if (!parsed.is_discarded() && parsed.is_object()) {
        snapshot.values = std::move(parsed);
        return snapshot;
      }
    }
    moveAside(path, snapshot.stamp, lockHeld);
    return Snapshot{};  // empty, as a missing file is
  }

  // Keeps the damaged file for inspection and starts empty rather than fail every read.
  static void moveAside(const std::filesystem::path& path, const FileStamp& damaged,
                        bool lockHeld) {
    std::optional<FileLock> lock;
    if (!lockHeld) lock.emplace(path);
    // Another process may have replaced it with a good file meanwhile: that one stays.
    if (stampAt(path) != damaged) return;
    auto aside = path;
    aside += ".corrupt";
    std::error_code ec;
    std::filesystem::rename(path, aside, ec);
    Log::error("Preferences: unreadable file " + path.string() + " moved to " + aside.string() +
               "; starting empty");
  }

  // A process that ended in the middle of a write (killed, _exit) leaves its temporary file
  // "<file>.tmp.<pid>.<n>" for ever: those whose process is gone are removed; a running
  // process's stay (it may be writing now).
  static void removeOrphans(const std::filesystem::path& path) {
    const std::string prefix = path.filename().string() + ".tmp.";
    std::error_code ec;
    std::filesystem::directory_iterator it(path.parent_path(), ec);
    for (const std::filesystem::directory_iterator end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      const char* digits = name.c_str() + prefix.size();
      char* after = nullptr;
      errno = 0;
      const long pid = std::strtol(digits, &after, 10);
      if (after == digits || *after != '.' || errno != 0 || pid <= 0) continue;
      if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
      std::error_code ignored;
      std::filesystem::remove(it->path(), ignored);
    }
  }

  // Writes values to a temporary file of this process and write, syncs it and renames it
  // over the store. Returns the new file's stamp, or nullopt (logged) when it failed.
  static std::optional<FileStamp> replace(const std::filesystem::path& path, const Json& values) {
    auto temp = path;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(++tempFileCounter);
    std::string text = values.dump(-1, ' ', false, Json::error_handler_t::replace);
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      Log::error("Preferences: cannot write " + temp.string() + ": " + std::strerror(errno));
      return std::nullopt;
    }
    ::fchmod(fd, 0600);
    const char* data = text.data();
    size_t left = text.size();
    int error = 0;
    while (left > 0) {
      ssize_t n = ::write(fd, data, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      data += n;
      left -= static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    struct stat st {};
    if (error == 0 && ::fstat(fd, &st) != 0) error = errno;
    ::close(fd);
    if (error == 0) {
      std::function<void()> hook;
      {
        std::lock_guard lock(hookMutex());
        hook = beforeReplaceHook();
      }
      if (hook) hook();
      if (::rename(temp.c_str(), path.c_str()) != 0) error = errno;
    }
    if (error != 0) {
      Log::error("Preferences: cannot replace " + path.string() + ": " + std::strerror(error));
      ::unlink(temp.c_str());
      return std::nullopt;
    }
    return stampOf(st);  // rename keeps inode, size and time
  }
};

struct Preferences::Observers {
  ForkSafeMutex mutex{ProcessFork::preferencesObservers};
  std::map<uint64_t, std::pair<std::string, std::function<void()>>> entries;
  uint64_t next = 1;
};

Preferences::Preferences(std::filesystem::path file)
    : path_(std::move(file)), observers_(std::make_shared<Observers>()) {
  File::removeOrphans(path_);
}

Preferences::~Preferences() = default;

void Preferences::guardAcrossFork(const std::shared_ptr<Preferences>& store) {
  Preferences* p = store.get();
  ProcessFork::guardMutex(ProcessFork::preferencesWrite, store, &p->writeMutex_);
  ProcessFork::guard(ProcessFork::preferences, store,
                     {[p] { p->mutex_.lock(); }, nullptr, [p] { p->mutex_.unlock(); },
                      [p] {
                        // What the parent changed and has not written yet is the parent's to
                        // write: the child writing it later could undo a newer value.
                        p->pending_.clear();
                        p->inFlight_.clear();
                        p->savePending_ = false;
                      }});
}

Preferences& Preferences::standard() {
  auto dir = Platform::preferencesDirectory();
  // An unusable folder is reported by initialize; the store then lives in memory only.
  (void)PrivateDirectory::prepare(dir);
  return *storeAt(dir / "standard.json", &Preferences::guardAcrossFork);
}

std::shared_ptr<Preferences> Preferences::suite(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos) return nullptr;
  auto dir = Platform::preferencesDirectory();
  if (auto problem = PrivateDirectory::prepare(dir)) {
    Log::error("Preferences: the preferences directory " + *problem);
    return nullptr;
  }
  return storeAt(dir / (name + ".json"), &Preferences::guardAcrossFork);
}

// Reads see other processes' writes: a file that changed since this process last read or wrote
// it is read again, and this process's unwritten changes go back on top.
void Preferences::refresh() const {
  FileStamp now = File::stampAt(path_);
  uint64_t seen;
  {
    std::lock_guard lock(mutex_);
    if (loaded_ && now == stamp_) return;
    seen = generation_;
  }
  Snapshot snapshot = File::read(path_, false);
  std::lock_guard lock(mutex_);
  // A write or another read installed a version meanwhile; a newer file is found next read.
  if (generation_ != seen) return;
  installLocked(std::move(snapshot));
}

void Preferences::installLocked(Snapshot snapshot) const {
  values_ = std::move(snapshot.values);
  applyChanges(values_, inFlight_);
  applyChanges(values_, pending_);
  stamp_ = snapshot.stamp;
  loaded_ = true;
  ++generation_;
}

// Takes the changes out, merges them into the file as it is now under the file lock, and
// installs the result; set() and reads go on meanwhile, since mutex_ is not held on disk.
void Preferences::synchronize() {
  std::lock_guard writing(writeMutex_);
  Changes batch;
  {
    std::lock_guard lock(mutex_);
    if (!savePending_) return;
    savePending_ = false;
    batch = std::move(pending_);
    pending_.clear();
    inFlight_ = batch;  // a reload meanwhile keeps them
  }
  FileLock fileLock(path_);
  if (!fileLock.held() && !lockErrorLogged_) {
    lockErrorLogged_ = true;
    Log::error("Preferences: cannot lock " + path_.string() +
               ".lock: " + std::strerror(fileLock.error()) + "; writing without the lock");
  }
  Snapshot merged = File::read(path_, fileLock.held());
  applyChanges(merged.values, batch);
  auto written = File::replace(path_, merged.values);
  std::lock_guard lock(mutex_);
  if (written) {
    merged.stamp = *written;
  } else {
    // Not on disk: kept for the next write; a change made meanwhile is newer and wins.
    for (auto& [key, value] : batch) pending_.try_emplace(key, std::move(value));
  }
  inFlight_.clear();
  installLocked(std::move(merged));
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
  refresh();
  std::lock_guard lock(mutex_);
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
  change(key, value);
}

void Preferences::remove(const std::string& key) {
  change(key, std::nullopt);
}

void Preferences::change(const std::string& key, std::optional<Json> value) {
  auto self = weak_from_this().lock();
  bool schedule = false;
  {
    std::lock_guard lock(mutex_);
    if (value) {
      values_[key] = *value;
    } else {
      values_.erase(key);
    }
    pending_[key] = std::move(value);
    schedule = !savePending_;  // else the flush already on its way writes this one too
    savePending_ = true;
  }
  if (!self) {
    synchronize();  // not shared: nobody could flush it later
  } else if (schedule) {
    writer().async([self] { self->synchronize(); });
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
  // One observer that throws neither stops the others nor reaches the writer.
  for (const auto& callback : callbacks) HostCallback::run("a Preferences observer", callback);
}

}  // namespace kelvor
