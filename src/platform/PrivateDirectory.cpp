#include "platform/PrivateDirectory.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvor {

std::optional<std::string> PrivateDirectory::prepare(const std::filesystem::path& dir) {
  if (dir.empty()) return std::string("there is no home directory to put it in");
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno != ENOENT) return dir.string() + " cannot be read (" + std::strerror(errno) + ")";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return dir.string() + " cannot be created (" + ec.message() + ")";
    if (::chmod(dir.c_str(), 0700) != 0 || ::stat(dir.c_str(), &st) != 0) {
      return dir.string() + " cannot be made private (" + std::strerror(errno) + ")";
    }
  }
  if (!S_ISDIR(st.st_mode)) return dir.string() + " is not a directory";
  if (st.st_uid != ::geteuid()) {
    return dir.string() + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%03o", st.st_mode & 0777);
    return dir.string() + " can be written by other users (mode " + mode + ")";
  }
  return std::nullopt;
}

}  // namespace kelvor
