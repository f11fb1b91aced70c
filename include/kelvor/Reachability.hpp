#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kelvor/export.hpp>

namespace kelvor {

class DispatchQueue;
class NotificationCenter;
class ReachabilitySource;

// Name under which changes are posted on the notification centre.
inline constexpr const char* reachabilityChanged = "reachabilityChanged";
// Offered for compatibility; nothing posts under it.
inline constexpr const char* ReachabilityChangedNotification = "ReachabilityChangedNotification";

enum class ReachabilityError {
  FailedToCreateWithAddress,
  FailedToCreateWithHostname,
  UnableToSetCallback,
  UnableToSetDispatchQueue,
  UnableToGetInitialFlags
};

// Thrown by startNotifier(); the callers catch it.
class KELVOR_EXPORT ReachabilityException : public std::exception {
 public:
  explicit ReachabilityException(ReachabilityError error) : error_(error) {}
  ReachabilityError error() const noexcept { return error_; }
  const char* what() const noexcept override;

 private:
  ReachabilityError error_;
};

// Watches whether the network can be reached and announces each change with a callback and the
// "reachabilityChanged" notification on the main stand-in queue.
class KELVOR_EXPORT Reachability : public std::enable_shared_from_this<Reachability> {
 public:
  enum class Connection { none, wifi, cellular };
  enum class NetworkStatus { notReachable, reachableViaWiFi, reachableViaWWAN };
  using Callback = std::function<void(Reachability&)>;

  static constexpr uint32_t kTransientConnection = 0x1;
  static constexpr uint32_t kReachable = 0x2;
  static constexpr uint32_t kConnectionRequired = 0x4;
  static constexpr uint32_t kConnectionOnTraffic = 0x8;
  static constexpr uint32_t kInterventionRequired = 0x10;
  static constexpr uint32_t kConnectionOnDemand = 0x20;
  static constexpr uint32_t kIsLocalAddress = 0x10000;
  static constexpr uint32_t kIsDirect = 0x20000;
  static constexpr uint32_t kIsWWAN = 0x40000;

  // Built on a given source (the reachability target).
  explicit Reachability(std::shared_ptr<ReachabilitySource> source);
  // Any network (the IPv4 zero address) on the default Linux source; nullptr if it cannot be
  // made. For tests only: with KELVOR_TEST_REACHABILITY=sigusr1 in the environment the source
  // reports the network reachable and turns each SIGUSR1 into "down", then "up" 250 ms later (it
  // installs the handler; one such source per process), so a driver can give many processes the
  // same network change at once.
  static std::shared_ptr<Reachability> make();
  // A host name on the default Linux source; nullptr for an empty name.
  static std::shared_ptr<Reachability> make(const std::string& hostname);
  ~Reachability();

  void startNotifier();  // throws ReachabilityException
  void stopNotifier();

  Connection connection();
  Connection currentReachabilityStatus() { return connection(); }
  std::string currentReachabilityString();
  bool isReachable() { return connection() != Connection::none; }
  bool isReachableViaWiFi() { return connection() == Connection::wifi; }
  bool isReachableViaWWAN() { return connection() == Connection::cellular; }
  std::string description() const;

  void setWhenReachable(Callback callback);
  void setWhenUnreachable(Callback callback);
  bool reachableOnWWAN() const { return true; }
  bool allowsCellularConnection() const { return allowsCellularConnection_; }
  void setAllowsCellularConnection(bool allows) { allowsCellularConnection_ = allows; }
  void setNotificationCenter(NotificationCenter* center);
  NotificationCenter* notificationCenter() const;
  void setIsRunningOnDevice(bool onDevice) { isRunningOnDevice_ = onDevice; }
  bool notifierRunning() const { return notifierRunning_; }
  std::optional<uint32_t> flags() const;

  static std::string describe(Connection connection);
  static std::string describe(NetworkStatus status);

 private:
  void refreshFlags();  // on the serial queue; throws UnableToGetInitialFlags
  void reachabilityCallback(uint32_t flags);
  void storeFlags(uint32_t flags);
  void notifyReachabilityChanged();

  mutable std::mutex mutex_;
  Callback whenReachable_;
  Callback whenUnreachable_;
  std::atomic<bool> allowsCellularConnection_{true};
  NotificationCenter* notificationCenter_;
  std::atomic<bool> isRunningOnDevice_{false};
  std::atomic<bool> notifierRunning_{false};
  std::shared_ptr<ReachabilitySource> reachabilityRef_;
  std::shared_ptr<DispatchQueue> reachabilitySerialQueue_;
  std::optional<uint32_t> flags_;
};

KELVOR_EXPORT std::string toString(Reachability::Connection connection);

}  // namespace kelvor
