// An outside program using every public declaration, built against an installed package as C++17
// with warnings as errors: a name the shared library does not export fails its link, a C++20-only
// construct in a public header fails its compile.
#include <kelvor/Quorvel.hpp>
#include <kelvor/version.hpp>

#include <stdlib.h>

#include <any>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

static_assert(KELVOR_VERSION_MAJOR == 1, "the package's major version");
static_assert(KELVOR_VERSION_MINOR >= 0 && KELVOR_VERSION_PATCH >= 0, "a whole version");
static_assert(KELVOR_NLOHMANN_JSON_VERSION_MAJOR == NLOHMANN_JSON_VERSION_MAJOR,
              "the JSON library the package was built with");

namespace {

int failures = 0;

void expect(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "consumer: FAILED %s\n", what);
    ++failures;
  }
}

class CountingSink : public kelvor::LogSink {
 public:
  void write(kelvor::LogLevel level, const std::string& subsystem, const std::string& category,
             const std::string& text) override {
    // The host's sink names the level with the library's own words.
    const std::string name = kelvor::toString(level);
    if (!name.empty() && !subsystem.empty() && !category.empty() && !text.empty()) ++lines;
  }
  std::atomic<int> lines{0};
};

class FixedTracking : public kelvor::TrackingProvider {
 public:
  int trackingAuthorizationStatus() const override {
    return static_cast<int>(kelvor::TrackingAuthorizationStatus::denied);
  }
  std::string advertisingIdentifier() const override {
    return "00000000-0000-0000-0000-000000000000";
  }
};

std::filesystem::path makeTempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "kelvor-consumer-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) return {};
  return std::filesystem::path(buffer.data());
}

}  // namespace

int main() {
  const std::filesystem::path home = makeTempDir();
  expect(!home.empty(), "a temporary folder");
  if (home.empty()) return 1;

  // Everything before initialize: the library reads these when it builds its parts.
  auto sink = std::make_shared<CountingSink>();
  kelvor::Platform::setLogSink(sink);
  kelvor::Platform::setLogLevel(kelvor::LogLevel::debug);
  kelvor::Platform::setTrackingProvider(std::make_shared<FixedTracking>());
  kelvor::Platform::setBundleInfo({{"CFBundleIdentifier", "com.example.consumer"},
                                   {"CFBundleName", "Consumer"},
                                   {"CFBundleShortVersionString", "1.0"}});
  kelvor::Platform::setDocumentsDirectory(home / "data");
  kelvor::Platform::setPreferencesDirectory(home / "config");
  // Nothing listens there: the program must work without an endpoint.
  kelvor::Platform::setIngestionBaseUrl("http://127.0.0.1:9/");
  kelvor::Platform::setCABundle(home / "none.pem");
  expect(kelvor::Platform::logLevel().has_value(), "Platform::logLevel");
  expect(kelvor::Platform::logSink() == sink, "Platform::logSink");
  expect(kelvor::Platform::trackingProvider() != nullptr, "Platform::trackingProvider");
  expect(kelvor::Platform::appIdentifier() == "com.example.consumer", "Platform::appIdentifier");
  expect(kelvor::Platform::bundleInfo().is_object(), "Platform::bundleInfo");
  expect(kelvor::Platform::documentsDirectory() == home / "data", "documentsDirectory");
  expect(kelvor::Platform::preferencesDirectory() == home / "config", "preferencesDirectory");
  expect(kelvor::Platform::ingestionBaseUrl() == "http://127.0.0.1:9/", "ingestionBaseUrl");
  expect(!kelvor::Platform::caBundle().empty(), "caBundle");

  // Log and its words.
  expect(std::string(kelvor::toString(kelvor::LogLevel::warning)) == "warning", "toString");
  expect(kelvor::Log::levelNamed("error") == kelvor::LogLevel::error, "Log::levelNamed");
  kelvor::Log::setEnabled(true);
  kelvor::Log::info(std::string("consumer info"));
  kelvor::Log::info("consumer info");
  kelvor::Log::debug(std::string("consumer debug"));
  kelvor::Log::debug("consumer debug");
  kelvor::Log::warning("consumer warning");
  kelvor::Log::error("consumer error");
  kelvor::Log::infoLazy([] { return std::string("consumer lazy"); });
  expect(kelvor::Log::isEnabled(), "Log::isEnabled");
  kelvor::Log::setLevel(kelvor::LogLevel::debug);
  expect(sink->lines.load() >= 6, "the host's sink receives the lines");

  // Preferences, observed.
  kelvor::Preferences& standard = kelvor::Preferences::standard();
  int changes = 0;
  {
    kelvor::ObservationToken token = standard.observe("IABTCF_gdprApplies", [&] { ++changes; });
    expect(token.isValid(), "observe gives a valid token");
    standard.set("IABTCF_gdprApplies", 1);
    expect(standard.integer("IABTCF_gdprApplies") == 1, "Preferences::integer");
    expect(standard.string("IABTCF_gdprApplies") == std::string("1"), "Preferences::string");
    expect(standard.object("IABTCF_gdprApplies").has_value(), "Preferences::object");
    standard.remove("IABTCF_gdprApplies");
    token.invalidate();
    standard.set("IABTCF_gdprApplies", 0);
  }
  expect(changes == 2, "the observer saw the write and the removal, nothing after invalidate");
  std::shared_ptr<kelvor::Preferences> suite = kelvor::Preferences::suite("consumer.suite");
  expect(suite != nullptr, "Preferences::suite");
  if (suite) {
    suite->set("k", "v");
    suite->synchronize();
    expect(!suite->path().empty(), "Preferences::path");
  }
  kelvor::Preferences::synchronizeAll();

  // Every builder, then build().
  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("consumer-write-key-0123")
      .logging(true)
      .optout(false)
      .useConsent(false)
      .checkForCMP(false)
      .areIdentitiesHashed(false)
      .hashIdentities(true)
      .userCountry("DE")
      .batchSize(5)
      .maxCacheSize(150)
      .eventUploadInterval(0)
      .purposesForTracking(std::vector<int>{1, 3, 4})
      .purposesForIdentifying(std::vector<int>{1, 9})
      .checkKelvorVendorConsent(false);
  std::shared_ptr<kelvor::Option> built = option->build();
  expect(built->batchSize() == 10, "build() brings batchSize into range");
  expect(built->eventUploadInterval() == 90, "build() restores the interval");
  expect(!option->isApiKeyBlank(), "isApiKeyBlank");
  expect(kelvor::QuorvelOption::maskedKey("consumer-write-key-0123").find("cons") == 0,
         "maskedKey");
  kelvor::QuorvelOption::registerSecret("another-secret-value");

  // Before initialize there is no instance; the library says so and does not crash.
  expect(kelvor::Quorvel::getInstance() == nullptr, "no instance before initialize");

  // A CA bundle that is no file is refused, and initialize may then be tried again.
  kelvor::InitializeResult result = kelvor::Quorvel::tryInitialize(built);
  expect(result.status == kelvor::InitializeStatus::unusableCABundle, "unusable CA bundle");
  kelvor::Platform::setCABundle({});
  result = kelvor::Quorvel::tryInitialize(built);
  expect(result.ready(), "tryInitialize");
  if (!result.ready()) std::fprintf(stderr, "consumer: %s\n", result.message.c_str());
  kelvor::Quorvel::initialize(built);  // again: changes nothing
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  expect(quorvel != nullptr, "an instance after initialize");
  if (quorvel != nullptr) {
    quorvel->listenToAskForConsent([](const std::any&) {});
    quorvel->setPageProperties({{"screen", "checkout"}});
    quorvel->setUserProperties({{"plan", "pro"}});
    quorvel->setUserIdentities({{"email", "jane@example.com"}});
    quorvel->setEventProperties("opened");
    quorvel->setEventProperties("purchase", {{"price", 12}});
    quorvel->setInstantEventProperties("started");
    quorvel->setInstantEventProperties("paid", {{"price", 12}});
    quorvel->pauseCollection();
    quorvel->resumeCollection();
    const std::string ki = quorvel->getKI();
    quorvel->setKI(ki);
    quorvel->resetKI();
    quorvel->unsetUserIdentities();
    quorvel->setConsent({{"track", true}, {"identify", true}});
    quorvel->clearConsentFromStorage();
    quorvel->setAdvertisingIdByATTStatus(kelvor::TrackingAuthorizationStatus::denied);
    quorvel->setATTStatusAndAdvertisingId(kelvor::TrackingAuthorizationStatus::authorized,
                                          "00000000-0000-0000-0000-000000000001");
    // No endpoint answers: flush gives up by its limit, and the events stay stored.
    expect(!quorvel->flush(std::chrono::milliseconds(300)), "flush without an endpoint");
    kelvor::DeliveryStats stats = quorvel->deliveryStats();
    expect(stats.reported >= 4, "deliveryStats counts the reports");
    quorvel->shutdown(std::chrono::milliseconds(300));
  }

  // The remaining public value types.
  kelvor::ConsentData consent;
  expect(consent == kelvor::ConsentData{}, "ConsentData ==");
  expect(!consent.description().empty(), "ConsentData::description");
  expect(kelvor::APIErrors::codeFromRawValue(1) == kelvor::APIErrors::Code::networkRequestFailed,
         "APIErrors::codeFromRawValue");
  kelvor::SDKError error(kelvor::SDKException::SDKNotInitialized);
  expect(!error.errorDescription().empty(), "SDKError");
  expect(!kelvor::errorDescription(kelvor::SDKException::URLError).empty(), "errorDescription");
  expect(!kelvor::toString(kelvor::Reachability::Connection::none).empty(), "toString(Connection)");
  kelvor::ActionListener listener;
  listener.addActionToListener("consent_set", [](const std::any&) {});
  listener.dispatchActionListener("consent_set", std::any(consent));
  listener.removeActionFromListener("consent_set");

  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  if (failures == 0) std::puts("consumer: ok");
  return failures == 0 ? 0 : 1;
}
