#include "pipeline/UploadLock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <kelvor/Log.hpp>

#include "support/ProcessFork.hpp"

namespace kelvor {

UploadLock::UploadLock(std::filesystem::path file) : file_(std::move(file)) {}

UploadLock::~UploadLock() {
  unlock();
  if (fd_ >= 0) {
    ProcessFork::forget(fd_);
    ::close(fd_);
  }
}

bool UploadLock::tryLock() {
  if (held_) return true;
  // A lock file deleted with its folder locks nothing for the other processes of the app,
  // which make a new one: this one follows it.
  struct stat held {};
  struct stat named {};
  if (fd_ >= 0 && (::fstat(fd_, &held) != 0 || ::stat(file_.c_str(), &named) != 0 ||
                   held.st_ino != named.st_ino || held.st_dev != named.st_dev)) {
    ::close(fd_);
    fd_ = -1;
  }
  if (fd_ < 0) fd_ = ::open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // A lock file made earlier can still be locked on a folder that became read-only.
  if (fd_ < 0) fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  // A child of fork closes its copy: the lock lives as long as any copy of the descriptor, so
  // the child's would hold it for every process once this one ends.
  if (fd_ >= 0) ProcessFork::closeInChild(fd_);
  if (fd_ < 0) {
    // Without the lock another process of the app could send the same rows: send nothing.
    const int error = errno;
    if (!warned_) {
      Log::warning("cannot open the upload lock " + file_.string() + " (" + std::strerror(error) +
                   "); nothing is uploaded until it can be made");
      warned_ = true;
    }
    return false;
  }
  warned_ = false;
  held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  return held_;
}

void UploadLock::unlock() {
  if (!held_) return;
  ::flock(fd_, LOCK_UN);
  held_ = false;
}

}  // namespace kelvor
