#include "Sandbox.hpp"

#include <cstdlib>
#include <string>

namespace kelvor::fuzz {

const std::filesystem::path& sandbox() {
  static const auto* dir = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "kelvor-fuzz-XXXXXX").string();
    return new std::filesystem::path(mkdtemp(pattern.data()));
  }();
  return *dir;
}

}  // namespace kelvor::fuzz
