#pragma once

#include <filesystem>

namespace kelvor::fuzz {

// A private folder for one fuzzing process, made once.
const std::filesystem::path& sandbox();

}  // namespace kelvor::fuzz
