#include <kelvor/Quorvel.hpp>
#include <kelvor/version.hpp>

#include <string>

static_assert(KELVOR_VERSION_MAJOR == 1, "the package's major version");

int main() {
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("key").batchSize(5).logging(false);
  auto built = option->build();
  const bool versioned = std::string(KELVOR_VERSION_STRING).rfind("1.", 0) == 0;
  // Before initialize there is no instance; the library says so and does not crash.
  return (versioned && built->batchSize() == 10 && kelvor::Quorvel::getInstance() == nullptr) ? 0
                                                                                              : 1;
}
