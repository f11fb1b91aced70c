#include <kelvor/Reachability.hpp>

#include "platform/DispatchQueue.hpp"
#include "platform/NotificationCenter.hpp"
#include "reachability/ReachabilitySource.hpp"

namespace kelvor {

const char* ReachabilityException::what() const noexcept {
  switch (error_) {
    case ReachabilityError::FailedToCreateWithAddress:
      return "ReachabilityError.FailedToCreateWithAddress";
    case ReachabilityError::FailedToCreateWithHostname:
      return "ReachabilityError.FailedToCreateWithHostname";
    case ReachabilityError::UnableToSetCallback:
      return "ReachabilityError.UnableToSetCallback";
    case ReachabilityError::UnableToSetDispatchQueue:
      return "ReachabilityError.UnableToSetDispatchQueue";
    case ReachabilityError::UnableToGetInitialFlags:
      return "ReachabilityError.UnableToGetInitialFlags";
  }
  return "ReachabilityError";
}

Reachability::Reachability(std::shared_ptr<ReachabilitySource> source)
    : notificationCenter_(&NotificationCenter::defaultCenter()),
      reachabilityRef_(std::move(source)),
      reachabilitySerialQueue_(std::make_shared<DispatchQueue>("com.kelvor.quorvel.reachability")) {
}

std::shared_ptr<Reachability> Reachability::make() {
  auto source = ReachabilitySource::makeDefault();
  if (!source) return nullptr;
  return std::make_shared<Reachability>(std::move(source));
}

std::shared_ptr<Reachability> Reachability::make(const std::string& hostname) {
  // Whether a host can be reached follows the same rule as any network: a usable default route.
  if (hostname.empty()) return nullptr;
  return make();
}

Reachability::~Reachability() {
  stopNotifier();
}

void Reachability::startNotifier() {
  if (notifierRunning_.load()) return;
  std::weak_ptr<Reachability> weak = weak_from_this();
  if (!reachabilityRef_->setCallback([weak](uint32_t flags) {
        if (auto self = weak.lock()) self->reachabilityCallback(flags);
      })) {
    stopNotifier();
    throw ReachabilityException(ReachabilityError::UnableToSetCallback);
  }
  if (!reachabilityRef_->setDispatchQueue(reachabilitySerialQueue_)) {
    stopNotifier();
    throw ReachabilityException(ReachabilityError::UnableToSetDispatchQueue);
  }
  std::exception_ptr failure;
  reachabilitySerialQueue_->sync([&] {
    try {
      refreshFlags();
    } catch (...) {
      failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
  notifierRunning_.store(true);
}

void Reachability::stopNotifier() {
  reachabilityRef_->setCallback(nullptr);
  reachabilityRef_->setDispatchQueue(nullptr);
  notifierRunning_.store(false);
}

void Reachability::refreshFlags() {
  auto current = reachabilityRef_->currentFlags();
  if (!current) {
    stopNotifier();
    throw ReachabilityException(ReachabilityError::UnableToGetInitialFlags);
  }
  storeFlags(*current);
}

void Reachability::reachabilityCallback(uint32_t flags) {
  storeFlags(flags);
}

void Reachability::storeFlags(uint32_t flags) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = !flags_ || *flags_ != flags;
    flags_ = flags;
  }
  if (changed) notifyReachabilityChanged();
}

void Reachability::notifyReachabilityChanged() {
  Connection now = connection();
  Callback callback;
  {
    std::lock_guard lock(mutex_);
    callback = now != Connection::none ? whenReachable_ : whenUnreachable_;
  }
  std::weak_ptr<Reachability> weak = weak_from_this();
  DispatchQueue::main().async([weak, callback] {
    auto self = weak.lock();
    if (!self) return;
    if (callback) callback(*self);
    self->notificationCenter()->post(reachabilityChanged, self.get());
  });
}

Reachability::Connection Reachability::connection() {
  if (!flags()) {
    reachabilitySerialQueue_->sync([this] {
      try {
        refreshFlags();
      } catch (const ReachabilityException&) {
        // A flag read that fails leaves the flags unknown: no connection.
      }
    });
  }
  auto known = flags();
  return (known && (*known & kReachable)) ? Connection::wifi : Connection::none;
}

std::string Reachability::currentReachabilityString() {
  return describe(connection());
}

std::optional<uint32_t> Reachability::flags() const {
  std::lock_guard lock(mutex_);
  return flags_;
}

std::string Reachability::description() const {
  auto known = flags();
  if (!known) return "unavailable flags";
  uint32_t f = *known;
  auto bit = [f](uint32_t mask, char c) { return (f & mask) ? c : '-'; };
  std::string text;
  text += isRunningOnDevice_.load() ? bit(kIsWWAN, 'W') : 'X';
  text += bit(kReachable, 'R');
  text += ' ';
  text += bit(kConnectionRequired, 'c');
  text += bit(kTransientConnection, 't');
  text += bit(kInterventionRequired, 'i');
  text += bit(kConnectionOnTraffic, 'C');
  text += bit(kConnectionOnDemand, 'D');
  text += bit(kIsLocalAddress, 'l');
  text += bit(kIsDirect, 'd');
  return text;
}

void Reachability::setWhenReachable(Callback callback) {
  std::lock_guard lock(mutex_);
  whenReachable_ = std::move(callback);
}

void Reachability::setWhenUnreachable(Callback callback) {
  std::lock_guard lock(mutex_);
  whenUnreachable_ = std::move(callback);
}

void Reachability::setNotificationCenter(NotificationCenter* center) {
  std::lock_guard lock(mutex_);
  notificationCenter_ = center != nullptr ? center : &NotificationCenter::defaultCenter();
}

NotificationCenter* Reachability::notificationCenter() const {
  std::lock_guard lock(mutex_);
  return notificationCenter_;
}

std::string Reachability::describe(Connection connection) {
  switch (connection) {
    case Connection::none:
      return "No Connection";
    case Connection::wifi:
      return "WiFi";
    case Connection::cellular:
      return "Cellular";
  }
  return "No Connection";
}

std::string Reachability::describe(NetworkStatus status) {
  // The same three texts, in the same order.
  return describe(static_cast<Connection>(static_cast<int>(status)));
}

std::string toString(Reachability::Connection connection) {
  return Reachability::describe(connection);
}

}  // namespace kelvor
