// A host program for the tests that need a process of their own: one that returns from main
// with work in flight, one killed in the middle of its work, one whose disk fills up, several
// running at once.
//
// Usage: quorvel-test-host <scenario> <folder> <base-url> <ca-file> <events>
// With QUORVEL_TEST_APP set it runs as that app in the default directories.
//   leave      report, then return 7 from main at once
//   burst      report from four threads at once, then return 7 from main; warnings and errors
//              go to standard output
//   upload     report, then flush; 0 when everything was accepted
//   spin       report without end (the test kills it)
//   full-disk  in a mount namespace of its own, on a 1 MiB tmpfs: report a batch, fill the
//              disk while it is in flight, report one event a second for 10 s, free the disk,
//              flush; prints the delivery figures; 77 when mounting is not allowed
//   throwing   every host callback throws (log sink, tracking provider, consent action,
//              preferences observer); report, flush; prints the delivery figures
//   folder-gone  report, flush (the endpoint is down), remove the documents folder, report as
//              many again, return 7; folder-gone-idle reports nothing after the removal
//   blank-key  initialize with a blank key (flush must fail), then with QUORVEL_TEST_KEY or
//              "key"; report, flush; prints the delivery figures
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <kelvor/Quorvel.hpp>

#include <any>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Warnings and errors on standard output, where the test reads them.
class PrintingSink : public kelvor::LogSink {
 public:
  bool isEnabled(kelvor::LogLevel level) const override {
    return level == kelvor::LogLevel::warning || level == kelvor::LogLevel::error;
  }
  void write(kelvor::LogLevel, const std::string&, const std::string&,
             const std::string& message) override {
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
  }
};

// Fails at everything, as a host's broken callbacks would.
class ThrowingSink : public kelvor::LogSink {
 public:
  void write(kelvor::LogLevel, const std::string&, const std::string&,
             const std::string&) override {
    throw std::runtime_error("the host's sink is down");
  }
};

class ThrowingProvider : public kelvor::TrackingProvider {
 public:
  int trackingAuthorizationStatus() const override {
    throw std::runtime_error("no tracking status here");
  }
  std::string advertisingIdentifier() const override { throw 42; }
};

using namespace std::chrono_literals;

int fullDiskSetUp(const std::filesystem::path& store) {
  if (unshare(CLONE_NEWNS) != 0) return 77;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
  std::filesystem::create_directories(store);
  if (mount("tmpfs", store.c_str(), "tmpfs", 0, "size=1m,mode=0700") != 0) return 77;
  return 0;
}

// Writes until the file system refuses: it is really full afterwards.
void fill(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return;
  char block[4096] = {};
  while (::write(fd, block, sizeof block) > 0) {
  }
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  const std::string scenario = argv[1];
  const std::filesystem::path folder = argv[2];
  const int events = std::atoi(argv[5]);
  // Before anything logs: the option builders below already write through it.
  if (scenario == "throwing") kelvor::Platform::setLogSink(std::make_shared<ThrowingSink>());
  auto documents = folder / "documents";
  if (scenario == "full-disk") {
    documents = folder / "store";
    if (int rc = fullDiskSetUp(documents); rc != 0) return rc;
  }
  // QUORVEL_TEST_APP: an app of that bundle identifier in its default directories, with the
  // write key QUORVEL_TEST_KEY.
  const char* app = std::getenv("QUORVEL_TEST_APP");
  const char* key = std::getenv("QUORVEL_TEST_KEY");
  if (app != nullptr) {
    kelvor::Platform::setBundleInfo({{"CFBundleIdentifier", app}});
  } else {
    kelvor::Platform::setDocumentsDirectory(documents);
    kelvor::Platform::setPreferencesDirectory(folder / "preferences");
  }
  kelvor::Platform::setIngestionBaseUrl(argv[3]);
  kelvor::Platform::setCABundle(argv[4]);

  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey(key != nullptr ? key : "key")
      .optout(false)
      .batchSize(10)
      .eventUploadInterval(1)
      .logging(false);
  if (scenario == "burst" || scenario == "upload" || scenario == "blank-key") {
    kelvor::Platform::setLogSink(std::make_shared<PrintingSink>());
  }
  if (scenario == "throwing") {
    kelvor::Platform::setTrackingProvider(std::make_shared<ThrowingProvider>());
    option->useConsent(true).logging(true);
  }
  if (scenario == "blank-key") {
    auto blank = std::make_shared<kelvor::QuorvelOption>();
    blank->writeKey(" ").optout(false);
    if (kelvor::Quorvel::tryInitialize(blank->build()).status !=
        kelvor::InitializeStatus::invalidWriteKey) {
      return 5;
    }
    if (kelvor::Quorvel::getInstance() != nullptr &&
        kelvor::Quorvel::getInstance()->flush(std::chrono::seconds(1))) {
      return 6;
    }
    if (!kelvor::Quorvel::tryInitialize(option->build()).ready()) return 8;
  }
  kelvor::Quorvel::initialize(option->build());
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (quorvel == nullptr) return 3;
  // Preferences observer, consent action and tracking provider each throw on their turn.
  kelvor::ObservationToken observation;
  if (scenario == "throwing") {
    observation = kelvor::Preferences::standard().observe(
        "host.setting", [] { throw std::runtime_error("the observer failed"); });
    kelvor::Preferences::standard().set("host.setting", 1);
    quorvel->listenToAskForConsent(
        [](const std::any&) { throw std::runtime_error("the consent dialog failed"); });
    quorvel->setConsent({{"track", true}, {"identify", true}});
    quorvel->setAdvertisingIdByATTStatus(kelvor::TrackingAuthorizationStatus::authorized);
  }
  const std::string pid = std::to_string(getpid());
  if (scenario == "burst") {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([quorvel, t, events, &pid] {
        for (int i = t; i < events; i += 4) {
          quorvel->setEventProperties("burst-" + std::to_string(i), {{"i", i}, {"pid", pid}});
        }
      });
    }
    for (auto& thread : threads) thread.join();
    return 7;
  }
  for (int i = 0; i < events; ++i) {
    quorvel->setEventProperties(scenario + "-" + std::to_string(i), {{"i", i}, {"pid", pid}});
  }
  if (scenario == "leave") return 7;
  if (scenario.rfind("folder-gone", 0) == 0) {
    (void)quorvel->flush(std::chrono::seconds(5));  // stored; the endpoint does not take them
    std::filesystem::remove_all(documents);
    if (scenario == "folder-gone-idle") return 7;
    for (int i = 0; i < events; ++i) quorvel->setEventProperties("after-" + std::to_string(i));
    return 7;
  }
  if (scenario == "spin") {
    for (int i = 0;; ++i) quorvel->setEventProperties("spin-" + std::to_string(i), {{"i", i}});
  }
  if (scenario == "full-disk") {
    std::this_thread::sleep_for(300ms);  // the batch is on its way; the endpoint answers late
    fill(documents / "filler");
    for (int i = 0; i < 10; ++i) {
      std::this_thread::sleep_for(1s);
      quorvel->setEventProperties("during-" + std::to_string(i));
    }
    std::filesystem::remove(documents / "filler");
  }
  bool flushed = quorvel->flush(std::chrono::seconds(60));
  // A flush ends at a failed upload; with an endpoint failing every other time a few more
  // bring everything home.
  for (int i = 0; scenario == "throwing" && !flushed && i < 5; ++i) {
    flushed = quorvel->flush(std::chrono::seconds(60));
  }
  const auto stats = quorvel->deliveryStats();
  std::printf("{\"flushed\":%s,\"sent\":%llu,\"stored\":%llu,\"dropped\":%llu,\"failed\":%llu}\n",
              flushed ? "true" : "false", static_cast<unsigned long long>(stats.sent),
              static_cast<unsigned long long>(stats.stored),
              static_cast<unsigned long long>(stats.droppedByCacheCap),
              static_cast<unsigned long long>(stats.failedAttempts));
  return flushed ? 0 : 4;
}
