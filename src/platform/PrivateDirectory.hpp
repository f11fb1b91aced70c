#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kelvor {

// A folder only this user can change: the store and the preferences live in one, so nobody
// else can replace the event store or the stored consent.
class PrivateDirectory {
 public:
  // Makes `dir` (mode 0700) when missing. An existing one must be a directory of this user that
  // group and others cannot write. Returns what is wrong, in words, or nothing when usable.
  static std::optional<std::string> prepare(const std::filesystem::path& dir);
};

}  // namespace kelvor
