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
  lastDelivered_.reset();
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
  Callback callback;
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(mutex_);
    if (lastDelivered_ == flags) return;
    lastDelivered_ = flags;
    callback = callback_;
    queue = queue_;
  }
  if (callback && queue) queue->async([callback, flags] { callback(flags); });
}

void WatchingReachabilitySource::known(uint32_t flags) {
  std::lock_guard lock(mutex_);
  lastDelivered_ = flags;
}

std::optional<uint32_t> WatchingReachabilitySource::lastDelivered() {
  std::lock_guard lock(mutex_);
  return lastDelivered_;
}

}  // namespace kelvor
