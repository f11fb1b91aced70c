// quorvel-fleet-host: one installation of an app in a fleet simulation (scripts/fleet.py).
// It reports one event a second with the default options (only a write key and consent) until
// SIGTERM, then flushes and prints what it reported, also written to <folder>/report.json.
//
// Usage: quorvel-fleet-host <folder> <base-url> <ca-file> [max-events]
// Every event is "fleet-tick" with the properties pid and i (0, 1, 2, ...), so the driver can
// tell a lost event from a duplicated one in what the collector accepted.
#include <unistd.h>

#include <kelvor/Quorvel.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

std::atomic<bool> stopping{false};

void onTerm(int) {
  stopping.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: quorvel-fleet-host <folder> <base-url> <ca-file> [max-events]\n");
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  // Bounded even if the driver never stops it: an hour of events by default.
  const long maxEvents = argc == 5 ? std::atol(argv[4]) : 3600;
  struct sigaction action {};
  action.sa_handler = onTerm;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  // A separate installation: its own store and preferences.
  kelvor::Platform::setDocumentsDirectory(folder / "documents");
  kelvor::Platform::setPreferencesDirectory(folder / "preferences");
  kelvor::Platform::setIngestionBaseUrl(argv[2]);
  kelvor::Platform::setCABundle(argv[3]);

  auto option = std::make_shared<kelvor::QuorvelOption>();
  option->writeKey("fleet-write-key").optout(false);
  kelvor::InitializeResult result = kelvor::Quorvel::tryInitialize(option->build());
  if (!result.ready()) {
    std::fprintf(stderr, "initialize: %s\n", result.message.c_str());
    return 3;
  }
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  const std::string pid = std::to_string(getpid());

  long reported = 0;
  auto next = std::chrono::steady_clock::now();
  while (!stopping.load() && reported < maxEvents) {
    quorvel->setEventProperties("fleet-tick", {{"pid", pid}, {"i", reported}});
    ++reported;
    next += std::chrono::seconds(1);
    // Short sleeps, so SIGTERM is seen within a tenth of a second.
    while (!stopping.load() && std::chrono::steady_clock::now() < next) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  const bool flushed = quorvel->flush(std::chrono::seconds(60));
  const auto stats = quorvel->deliveryStats();
  char line[512];
  std::snprintf(
      line, sizeof line,
      "{\"pid\":\"%s\",\"reported\":%ld,\"flushed\":%s,\"sent\":%llu,\"stored\":%llu,"
      "\"dropped_by_cache_cap\":%llu,\"failed_attempts\":%llu,\"pending\":%lld}\n",
      pid.c_str(), reported, flushed ? "true" : "false",
      static_cast<unsigned long long>(stats.sent), static_cast<unsigned long long>(stats.stored),
      static_cast<unsigned long long>(stats.droppedByCacheCap),
      static_cast<unsigned long long>(stats.failedAttempts), static_cast<long long>(stats.pending));
  std::fputs(line, stdout);
  // Written aside, then renamed: the driver never reads half a report.
  const std::filesystem::path report = folder / "report.json";
  const std::filesystem::path partial = folder / "report.json.part";
  if (FILE* out = std::fopen(partial.c_str(), "w")) {
    std::fputs(line, out);
    std::fclose(out);
    std::filesystem::rename(partial, report);
  }
  return flushed ? 0 : 4;
}
