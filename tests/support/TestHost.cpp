#include "support/TestHost.hpp"

#include <fstream>
#include <sstream>

namespace kelvor::testing {

TestHost::TestHost(const std::string& scenario, const std::filesystem::path& folder,
                   const Collector& collector, int events,
                   const std::vector<std::string>& environment) {
  process_.start({KELVOR_TEST_HOST_PATH, scenario, folder.string(), collector.baseUrl(),
                  collector.caFile().string(), std::to_string(events)},
                 dir_.path() / "out", dir_.path() / "err", environment);
}

std::string TestHost::read(const char* name) const {
  std::ifstream in(dir_.path() / name);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace kelvor::testing
