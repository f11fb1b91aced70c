// Preference files as another program, or a crash, may leave them.
#include <kelvor/Preferences.hpp>

#include <fstream>

#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "Sandbox.hpp"

namespace kelvor::fuzz {

int preferenceFile(const uint8_t* data, size_t size) {
  const auto dir = sandbox() / "preference-files";
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  std::filesystem::create_directories(dir, ec);
  FuzzInput in(data, size);
  const std::string key = in.text(64);
  const auto file = dir / "store.json";
  std::ofstream(file, std::ios::binary) << in.rest();
  Preferences store(file);
  for (const std::string& k :
       {key, std::string("ki"), std::string("IABTCF_TCString"), std::string("CONSENT_DATA")}) {
    (void)store.object(k);
    (void)store.string(k);
    (void)store.integer(k);
  }
  store.set(key, "written");
  store.synchronize();
  return 0;
}

}  // namespace kelvor::fuzz
