#include "reachability/WatchingReachabilitySource.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/DispatchQueue.hpp"

namespace kelvor {

WatchingReachabilitySource::WatchingReachabilitySource()
    : wakeFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WatchingReachabilitySource::~WatchingReachabilitySource() {
  stop();
  if (wakeFd_ >= 0) close(wakeFd_);
}

std::optional<uint32_t> WatchingReachabilitySource::currentFlags() {
  std::lock_guard reading(readMutex_);
  auto flags = readFlags();
  if (flags) {
    // The caller (the monitor) keeps what it read: this thread announces what differs from it.
    std::lock_guard lock(mutex_);
    latest_ = *flags;
    handedOver_->store(*flags);
  }
  return flags;
}

void WatchingReachabilitySource::readAndHandOver() {
  std::lock_guard reading(readMutex_);
  if (auto flags = readFlags()) handOver(*flags, true);
}

bool WatchingReachabilitySource::setCallback(Callback callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
  if (callback_ && queue_) startLocked();
  return true;
}

bool WatchingReachabilitySource::setDispatchQueue(std::shared_ptr<DispatchQueue> queue) {
  bool starting;
  {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    starting = static_cast<bool>(queue_);
    if (starting && (wakeFd_ < 0 || !canWatch())) return false;
    if (starting && callback_) startLocked();
  }
  if (!starting) stop();
  return true;
}

void WatchingReachabilitySource::startLocked() {
  if (watcher_.joinable() || wakeFd_ < 0 || !canWatch()) return;
  latest_.reset();
  watcher_ = std::thread([this] { watch(); });
}

void WatchingReachabilitySource::stop() {
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

void WatchingReachabilitySource::deliver(uint32_t flags) {
  handOver(flags, false);
}

void WatchingReachabilitySource::handOver(uint32_t flags, bool read) {
  Callback callback;
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(mutex_);
    if (latest_ == flags) return;
    latest_ = flags;
    handedOver_->store(flags);
    callback = callback_;
    queue = queue_;
  }
  if (!callback || !queue) return;
  if (read) {
    // The latest read when the task runs, not this one: the monitor may have read newer flags
    // since, which an older read must not overtake.
    queue->async([callback, handed = handedOver_] { callback(handed->load()); });
  } else {
    queue->async([callback, flags] { callback(flags); });
  }
}

std::optional<uint32_t> WatchingReachabilitySource::latest() {
  std::lock_guard lock(mutex_);
  return latest_;
}

}  // namespace kelvor
