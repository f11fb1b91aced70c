#pragma once

#include <filesystem>

namespace kelvor {

// An advisory lock on a file beside the store: several processes of one app share the store,
// and only the one holding this lock reads, sends and deletes batches, so no event goes twice.
class UploadLock {
 public:
  explicit UploadLock(std::filesystem::path file);
  ~UploadLock();
  UploadLock(const UploadLock&) = delete;
  UploadLock& operator=(const UploadLock&) = delete;

  // Takes the lock without waiting; true when this process holds it (also when it already did).
  // False, with one warning, when the lock file can be neither made nor opened.
  bool tryLock();
  void unlock();
  bool held() const { return held_; }
  // The lock file could not be opened at the last try.
  bool unavailable() const { return warned_; }

 private:
  std::filesystem::path file_;
  int fd_ = -1;
  bool held_ = false;
  bool warned_ = false;
};

}  // namespace kelvor
