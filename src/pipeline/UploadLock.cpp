#include "pipeline/UploadLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kelvor {

UploadLock::UploadLock(std::filesystem::path file) : file_(std::move(file)) {}

UploadLock::~UploadLock() {
  unlock();
  if (fd_ >= 0) ::close(fd_);
}

bool UploadLock::tryLock() {
  if (held_) return true;
  if (fd_ < 0) fd_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // Without a lock file (a read-only folder) there is nothing to coordinate with: go ahead.
  if (fd_ < 0) return true;
  held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  return held_;
}

void UploadLock::unlock() {
  if (!held_) return;
  ::flock(fd_, LOCK_UN);
  held_ = false;
}

}  // namespace kelvor
