// Replays every input the fuzz targets keep: the seed corpus and each input that ever crashed,
// hung or leaked (tests/fuzz/findings), with the normal compiler, so make test runs them all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "FuzzTargets.hpp"

namespace kelvor {
namespace {

class FuzzReplay : public ::testing::TestWithParam<fuzz::Target> {};

TEST_P(FuzzReplay, EveryKeptInputRunsCleanly) {
  const fuzz::Target& target = GetParam();
  size_t replayed = 0;
  for (const char* kind : {"corpus", "findings"}) {
    const std::filesystem::path dir = std::filesystem::path(KELVOR_FUZZ_DATA) / kind / target.name;
    if (!std::filesystem::is_directory(dir)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      std::ifstream in(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      SCOPED_TRACE(entry.path().string());
      EXPECT_EQ(target.run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), 0);
      ++replayed;
    }
  }
  EXPECT_GT(replayed, 0u) << "no kept input for " << target.name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, ::testing::ValuesIn(fuzz::targets),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvor
