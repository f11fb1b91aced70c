#include "support/TempDir.hpp"

#include <cstdlib>
#include <string>

#include <kelvor/Platform.hpp>
#include <kelvor/Preferences.hpp>

namespace kelvor::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvor-test-XXXXXX").string();
  char* made = mkdtemp(pattern.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::path(pattern);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

PlatformSandbox::PlatformSandbox()
    : documents_(dir_.path() / "documents"), preferences_(dir_.path() / "preferences") {
  Platform::setDocumentsDirectory(documents_);
  Platform::setPreferencesDirectory(preferences_);
}

PlatformSandbox::~PlatformSandbox() {
  // Nothing may still be on its way into the folder that is about to go.
  Preferences::synchronizeAll();
  Platform::setDocumentsDirectory({});
  Platform::setPreferencesDirectory({});
}

}  // namespace kelvor::testing
