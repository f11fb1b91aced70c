// A host program for the tests that need a process of their own: one that returns from main
// with work in flight, one killed in the middle of its work, one whose disk fills up, several
// running at once.
//
// Usage: quorvel-test-host <scenario> <folder> <base-url> <ca-file> <events>
// With QUORVEL_TEST_APP set it runs as that app in the default directories.
// Every scenario but spin and the forking ones reports <events> from four threads at once.
//   leave      report, then return 7 from main at once; warnings and errors go to standard output
//   upload     report, then flush; 0 when everything was accepted
//   spin       report without end (the test kills it)
//   full-disk  in a mount namespace of its own, on a 1 MiB tmpfs: report a batch, fill the
//              disk while it is in flight, report one event a second for 10 s, free the disk,
//              flush; 77 when mounting is not allowed
//   throwing   every host callback throws (log sink, tracking provider, consent action,
//              preferences observer); report, flush
//   folder-gone  report, flush (the endpoint is down), remove the documents folder, report as
//              many again, return 7; folder-gone-idle reports nothing after the removal
//   fork       report "parent-i", fork; the child reports "child-i", flushes, reports "late-i"
//              and returns from main; the parent waits for it and flushes; 0 when all went well
//   prefork    two threads report "p0-i" and "p1-i" while <events> children are forked, each
//              reporting "c<k>-i" (10) and calling exit; then flush; a hang ends it by SIGALRM
//   Both print "reported <prefix> <count>" for each name prefix they reported.
//   spawn      report and flush, then spawn 20 programs while a thread reports; prints
//              "leaked <fd> <target>" for every descriptor a spawned program holds beyond
//              0, 1 and 2, and how many descriptors the library had open
//   sigterm    report, then SIGTERM to itself 1 ms later; with QUORVEL_TEST_SIGNALS set it
//              asked for storeOnSignals, with QUORVEL_TEST_HOST_HANDLER its own handler (before
//              that) prints "host handler" and exits with 9
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <kelvor/Quorvel.hpp>

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The descriptors a process holds beyond 0, 1 and 2, with what they refer to.
std::vector<std::pair<int, std::string>> descriptors(pid_t pid) {
  std::vector<std::pair<int, std::string>> found;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return found;
  while (dirent* entry = ::readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd <= 2 || fd == ::dirfd(dir)) continue;
    char target[512] = {};
    const ssize_t n = ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
    found.emplace_back(fd, n > 0 ? std::string(target, static_cast<size_t>(n)) : "?");
  }
  ::closedir(dir);
  return found;
}

// In a child of fork, ThreadSanitizer still counts the parent's threads as alive, while glibc
// hands their stacks, and with them their thread ids, to the child's new threads: TSan then
// stops the child ("dup thread"). A larger default stack keeps the child's threads off the
// cached stacks. Nothing changes in other builds.
void freshThreadStacksAfterFork() {
#if defined(__SANITIZE_THREAD__)
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_default_np(&attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_setstacksize(&attr, std::max<size_t>(size, 8u << 20) + (1u << 20));
    pthread_setattr_default_np(&attr);
    pthread_attr_destroy(&attr);
  }
#endif
}

// Waits for a child; false, with a line that says how it ended, unless it returned 0.
bool reaped(pid_t child) {
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::printf("child %d ended with status %d\n", static_cast<int>(child), status);
  return false;
}

int forkScenario(kelvor::Quorvel* quorvel, int events) {
  for (int i = 0; i < events; ++i) quorvel->setEventProperties("parent-" + std::to_string(i));
  const pid_t child = fork();
  if (child == 0) {
    alarm(120);
    freshThreadStacksAfterFork();
    for (int i = 0; i < events; ++i) quorvel->setEventProperties("child-" + std::to_string(i));
    if (!quorvel->flush(std::chrono::seconds(60))) return 11;
    for (int i = 0; i < events; ++i) quorvel->setEventProperties("late-" + std::to_string(i));
    return 0;  // from main: the exit stores the late ones
  }
  if (!reaped(child)) return 12;
  for (const char* prefix : {"parent-", "child-", "late-"})
    std::printf("reported %s %d\n", prefix, events);
  return quorvel->flush(std::chrono::seconds(60)) ? 0 : 4;
}

int preforkScenario(kelvor::Quorvel* quorvel, int children) {
  std::atomic<bool> forking{true};
  int reported[2] = {0, 0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; forking.load() || i < 50; ++i) {
        quorvel->setEventProperties("p" + std::to_string(t) + "-" + std::to_string(i));
        reported[t] = i + 1;
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  std::vector<pid_t> pids;
  for (int k = 0; k < children; ++k) {
    const pid_t child = fork();
    if (child == 0) {
      alarm(120);
      freshThreadStacksAfterFork();
      for (int i = 0; i < 10; ++i) {
        quorvel->setEventProperties("c" + std::to_string(k) + "-" + std::to_string(i));
      }
      std::exit(0);
    }
    if (child > 0) pids.push_back(child);
    std::this_thread::sleep_for(2ms);
  }
  int failed = 0;
  for (pid_t pid : pids) failed += reaped(pid) ? 0 : 1;
  forking.store(false);
  for (auto& thread : threads) thread.join();
  std::printf("reported p0- %d\nreported p1- %d\n", reported[0], reported[1]);
  for (int k = 0; k < children; ++k) std::printf("reported c%d- 10\n", k);
  if (failed > 0 || static_cast<int>(pids.size()) != children) return 12;
  return quorvel->flush(std::chrono::seconds(60)) ? 0 : 4;
}

int spawnScenario(kelvor::Quorvel* quorvel, int events) {
  for (int i = 0; i < events; ++i) quorvel->setEventProperties("spawn-" + std::to_string(i));
  if (!quorvel->flush(std::chrono::seconds(60))) return 4;
  std::printf("library descriptors %zu\n", descriptors(getpid()).size());
  std::atomic<bool> spawning{true};
  std::thread reporter([&] {
    for (int i = 0; spawning.load(); ++i) {
      quorvel->setEventProperties("during-" + std::to_string(i));
      if (i % 20 == 0) quorvel->flush(std::chrono::seconds(5));
    }
  });
  int leaked = 0;
  for (int k = 0; k < 20; ++k) {
    pid_t pid = -1;
    char name[] = "sleep";
    char seconds[] = "30";
    char* arguments[] = {name, seconds, nullptr};
    if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, arguments, environ) != 0) return 13;
    // Once sleep sleeps (its loader done), what it holds is what it inherited across exec.
    for (int i = 0; i < 2000; ++i) {
      std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
      std::string waiting;
      wchan >> waiting;
      if (waiting.find("nanosleep") != std::string::npos) break;
      std::this_thread::sleep_for(1ms);
    }
    for (const auto& [fd, target] : descriptors(pid)) {
      std::printf("leaked %d %s\n", fd, target.c_str());
      ++leaked;
    }
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  spawning.store(false);
  reporter.join();
  return leaked == 0 ? 0 : 14;
}

void hostHandler(int) {
  const char line[] = "host handler\n";
  (void)!::write(STDOUT_FILENO, line, sizeof line - 1);
  _exit(9);
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
  if (scenario == "leave" || scenario == "upload")
    kelvor::Platform::setLogSink(std::make_shared<PrintingSink>());
  if (scenario == "throwing") {
    kelvor::Platform::setTrackingProvider(std::make_shared<ThrowingProvider>());
    option->useConsent(true).logging(true);
  }
  if (scenario == "spawn") {
    // What the test runner left open is not the library's.
    for (const auto& [fd, target] : descriptors(getpid())) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  if (scenario == "fork" || scenario == "prefork") alarm(200);  // a hang ends by SIGALRM
  if (scenario == "sigterm" && std::getenv("QUORVEL_TEST_HOST_HANDLER") != nullptr)
    std::signal(SIGTERM, hostHandler);
  if (scenario == "sigterm" && std::getenv("QUORVEL_TEST_SIGNALS") != nullptr) {
    kelvor::Platform::storeOnSignals({SIGTERM, SIGINT, SIGHUP});
  }
  kelvor::Quorvel::initialize(option->build());
  kelvor::Quorvel* quorvel = kelvor::Quorvel::getInstance();
  if (quorvel == nullptr) return 3;
  if (scenario == "fork") return forkScenario(quorvel, events);
  if (scenario == "prefork") return preforkScenario(quorvel, events);
  if (scenario == "spawn") return spawnScenario(quorvel, events);
  if (scenario == "sigterm") {
    struct sigaction now {};
    sigaction(SIGTERM, nullptr, &now);
    std::printf("SIGTERM %s\n", now.sa_handler == SIG_DFL ? "default" : "caught");
    std::fflush(stdout);
  }
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
  // From four threads at once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t; i < events; i += 4) {
        quorvel->setEventProperties(scenario + "-" + std::to_string(i), {{"i", i}, {"pid", pid}});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  if (scenario == "leave") return 7;
  if (scenario == "sigterm") {
    std::this_thread::sleep_for(1ms);
    ::kill(getpid(), SIGTERM);
    std::this_thread::sleep_for(30s);
    return 5;
  }
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
  return flushed ? 0 : 4;
}
