#include <kelvor/Quorvel.hpp>

int main() {
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("key").batchSize(5);
  auto built = option->build();
  // Before initialize there is no instance; the library says so and does not crash.
  return (built->batchSize() == 10 && kelvor::Quorvel::getInstance() == nullptr) ? 0 : 1;
}
