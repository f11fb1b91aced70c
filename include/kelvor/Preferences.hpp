#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kelvor/Json.hpp>
#include <kelvor/ObservationToken.hpp>
#include <kelvor/export.hpp>

namespace kelvor {

// A persistent key-value store: one JSON file in the preferences directory, loaded at first use
// and replaced atomically on every write. standard() is the host app's own store (a
// consent-management platform writes the IABTCF_* keys there); suite(name) a named one.
// Several processes of an app may share a file: a write merges only this process's changes into
// the file as it is then, under a lock, and a read picks up what another process wrote.
class KELVOR_EXPORT Preferences : public std::enable_shared_from_this<Preferences> {
 public:
  static Preferences& standard();
  // nullptr when the store cannot be opened (its directory cannot be made).
  static std::shared_ptr<Preferences> suite(const std::string& name);

  std::optional<Json> object(const std::string& key) const;
  // Text, or a number's decimal text; absent otherwise.
  std::optional<std::string> string(const std::string& key) const;
  // A number, a boolean or decimal text; 0 when absent or unreadable.
  int64_t integer(const std::string& key) const;
  // A null value cannot be held: it removes the key.
  void set(const std::string& key, const Json& value);
  void remove(const std::string& key);
  // onChange runs on the writer's thread after every write or removal of key, with no lock
  // held: it must be thread-safe, and it may read and write preferences. An exception it throws
  // is caught and written to standard error; the writer and the other observers go on.
  ObservationToken observe(const std::string& key, std::function<void()> onChange);

  // Writes reach the file on a background writer, so the app's thread never waits for the
  // disk; synchronize() writes what is pending now. Pending writes are also flushed at exit.
  void synchronize();
  static void synchronizeAll();

  const std::filesystem::path& path() const { return path_; }

  explicit Preferences(std::filesystem::path file);
  ~Preferences();
  Preferences(const Preferences&) = delete;
  Preferences& operator=(const Preferences&) = delete;

 private:
  struct Observers;
  struct File;
  struct Snapshot;
  // Identifies one version of the file: every replace makes a new inode.
  struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = -1;  // -1: no file
    int64_t mtimeSec = 0;
    int64_t mtimeNsec = 0;
    bool operator==(const FileStamp& o) const {  // C++17 hosts: no defaulted ==
      return device == o.device && inode == o.inode && size == o.size && mtimeSec == o.mtimeSec &&
             mtimeNsec == o.mtimeNsec;
    }
  };
  // Keys this process changed and has not written yet: a value, or nullopt for a removal.
  using Changes = std::map<std::string, std::optional<Json>>;

  // A child of fork finds these locks free and leaves the parent's unwritten changes to it.
  KELVOR_NO_EXPORT static void guardAcrossFork(const std::shared_ptr<Preferences>& store);
  void refresh() const;
  void installLocked(Snapshot snapshot) const;
  void change(const std::string& key, std::optional<Json> value);
  void notify(const std::string& key);

  std::filesystem::path path_;
  // Guards the values below and is only ever held briefly: never across disk work.
  mutable std::mutex mutex_;
  mutable bool loaded_ = false;
  mutable Json values_ = Json::object();
  mutable FileStamp stamp_;
  mutable uint64_t generation_ = 0;
  Changes pending_;
  Changes inFlight_;
  bool savePending_ = false;
  // Serialises the writer runs of this object; the file lock serialises processes.
  std::mutex writeMutex_;
  bool lockErrorLogged_ = false;
  std::shared_ptr<Observers> observers_;
};

}  // namespace kelvor
