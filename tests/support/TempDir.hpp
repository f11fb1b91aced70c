#pragma once

#include <filesystem>

namespace kelvor::testing {

// A fresh directory, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A file's permission bits (0777 when it is missing, never what a test expects of a store).
inline unsigned mode(const std::filesystem::path& file) {
  return static_cast<unsigned>(std::filesystem::status(file).permissions()) & 0777u;
}

// Points the documents and preferences directories at a fresh folder for one test.
class PlatformSandbox {
 public:
  PlatformSandbox();
  ~PlatformSandbox();
  const std::filesystem::path& documents() const { return documents_; }
  const std::filesystem::path& preferences() const { return preferences_; }

 private:
  TempDir dir_;
  std::filesystem::path documents_;
  std::filesystem::path preferences_;
};

}  // namespace kelvor::testing
