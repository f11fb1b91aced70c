#include "reachability/SignalReachabilitySource.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <kelvor/Reachability.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>

namespace kelvor {
namespace {

// The read and write ends of the pipe the handler writes to; set once, before the handler.
std::atomic<int> signalReadFd{-1};
std::atomic<int> signalWriteFd{-1};

constexpr std::chrono::milliseconds downFor{250};

void onSignal(int) {
  const int saved = errno;
  char byte = 1;
  (void)!write(signalWriteFd.load(), &byte, 1);
  errno = saved;
}

void installHandlerOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    signalReadFd.store(fds[0]);
    signalWriteFd.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
  });
}

}  // namespace

SignalReachabilitySource::SignalReachabilitySource() {
  installHandlerOnce();
}

SignalReachabilitySource::~SignalReachabilitySource() {
  stop();
}

std::optional<uint32_t> SignalReachabilitySource::readFlags() {
  // A copy: binding the constant to value_or's reference would give the library a definition of it
  // to export.
  constexpr uint32_t reachable = Reachability::kReachable;
  return latest().value_or(reachable);
}

bool SignalReachabilitySource::canWatch() const {
  return signalReadFd.load() >= 0;
}

void SignalReachabilitySource::watch() {
  for (;;) {
    pollfd fds[2] = {{signalReadFd.load(), POLLIN, 0}, {wakeFd(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    char bytes[64];
    bool signalled = false;
    while (read(fds[0].fd, bytes, sizeof bytes) > 0) signalled = true;
    if (!signalled) continue;
    // Down, then up a moment later: the monitor reads the flags when it announces a change, so
    // without the pause both announcements would say "up".
    deliver(0);
    pollfd wake = {wakeFd(), POLLIN, 0};
    if (poll(&wake, 1, static_cast<int>(downFor.count())) > 0) return;
    deliver(Reachability::kReachable);
  }
}

}  // namespace kelvor
