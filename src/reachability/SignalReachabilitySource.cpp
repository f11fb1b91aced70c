#include "reachability/SignalReachabilitySource.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <kelvor/Reachability.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>

#include "platform/DispatchQueue.hpp"

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

SignalReachabilitySource::SignalReachabilitySource() : flags_(Reachability::kReachable) {
  installHandlerOnce();
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

SignalReachabilitySource::~SignalReachabilitySource() {
  stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

std::optional<uint32_t> SignalReachabilitySource::currentFlags() {
  std::lock_guard lock(mutex_);
  return flags_;
}

bool SignalReachabilitySource::setCallback(Callback callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
  if (callback_ && queue_) startLocked();
  return true;
}

bool SignalReachabilitySource::setDispatchQueue(std::shared_ptr<DispatchQueue> queue) {
  bool starting;
  {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    starting = static_cast<bool>(queue_);
    if (starting && (signalReadFd.load() < 0 || wakeFd_ < 0)) return false;
    if (starting && callback_) startLocked();
  }
  if (!starting) stop();
  return true;
}

void SignalReachabilitySource::startLocked() {
  if (watcher_.joinable()) return;
  watcher_ = std::thread([this] { watch(); });
}

void SignalReachabilitySource::stop() {
  std::thread watcher;
  {
    std::lock_guard lock(mutex_);
    watcher = std::move(watcher_);
  }
  if (!watcher.joinable()) return;
  uint64_t one = 1;
  (void)!write(wakeFd_, &one, sizeof one);
  watcher.join();
  uint64_t drained;
  (void)!read(wakeFd_, &drained, sizeof drained);
}

void SignalReachabilitySource::watch() {
  for (;;) {
    pollfd fds[2] = {{signalReadFd.load(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
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
    pollfd wake = {wakeFd_, POLLIN, 0};
    if (poll(&wake, 1, static_cast<int>(downFor.count())) > 0) return;
    deliver(Reachability::kReachable);
  }
}

void SignalReachabilitySource::deliver(uint32_t flags) {
  Callback callback;
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(mutex_);
    flags_ = flags;
    callback = callback_;
    queue = queue_;
  }
  if (callback && queue) queue->async([callback, flags] { callback(flags); });
}

}  // namespace kelvor
