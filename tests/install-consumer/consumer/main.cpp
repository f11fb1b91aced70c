// An outside program built against an installed package as C++17 with warnings as errors: a
// C++20-only construct in a public header fails its compile, a name the library does not export
// fails its link. No endpoint listens: the events it reports must be counted and kept.
#include <kelvor/Quorvel.hpp>
#include <kelvor/version.hpp>

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

static_assert(KELVOR_VERSION_MAJOR == 1, "the package's major version");
static_assert(KELVOR_NLOHMANN_JSON_VERSION_MAJOR == NLOHMANN_JSON_VERSION_MAJOR,
              "the JSON library the package was built with");

namespace {

// A class of the host derived from one of the library's.
class CountingSink : public kelvor::LogSink {
 public:
  void write(kelvor::LogLevel, const std::string&, const std::string&,
             const std::string&) override {
    ++lines;
  }
  std::atomic<int> lines{0};
};

int fail(const std::string& what) {
  std::fprintf(stderr, "consumer: FAILED %s\n", what.c_str());
  return 1;
}

}  // namespace

int main() {
  std::string home = (std::filesystem::temp_directory_path() / "kelvor-consumer-XXXXXX").string();
  if (mkdtemp(home.data()) == nullptr) return fail("a temporary folder");
  auto sink = std::make_shared<CountingSink>();
  kelvor::Platform::setLogSink(sink);
  kelvor::Platform::setBundleInfo({{"CFBundleIdentifier", "com.example.consumer"}});
  kelvor::Platform::setDocumentsDirectory(std::filesystem::path(home) / "data");
  kelvor::Platform::setPreferencesDirectory(std::filesystem::path(home) / "config");
  kelvor::Platform::setIngestionBaseUrl("http://127.0.0.1:9/");

  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("consumer-write-key-0123").logging(true).optout(false).batchSize(5);
  const kelvor::InitializeResult result = kelvor::Quorvel::tryInitialize(option->build());
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (!result.ready() || quorvel == nullptr) return fail("initialize: " + result.message);
  quorvel->setUserIdentities({{"email", "jane@example.com"}});
  quorvel->setEventProperties("purchase", {{"price", 12}});
  quorvel->setInstantEventProperties("started");
  const bool flushed = quorvel->flush(std::chrono::milliseconds(300));
  const kelvor::DeliveryStats stats = quorvel->deliveryStats();
  quorvel->shutdown(std::chrono::milliseconds(300));
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  if (flushed) return fail("flush succeeded without an endpoint");
  if (stats.reported < 2 || stats.sent != 0) return fail("deliveryStats");
  if (sink->lines.load() == 0) return fail("the host's sink received no line");
  std::puts("consumer: ok");
  return 0;
}
