#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <kelvor/Json.hpp>
#include <kelvor/Option.hpp>
#include <kelvor/Reachability.hpp>

#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/StoreEventsQueue.hpp"
#include "pipeline/UploadEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/NotificationCenter.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {

// The heart of the pipeline: turns the app's reports into records on its own serial queue,
// gated by consent; stores them, sends instant events and identity changes, and decides when
// batches go out.
class OrvaEventsManager : public OrvaEventManagerCallbacks,
                          public std::enable_shared_from_this<OrvaEventsManager> {
 public:
  static constexpr const char* queueLabel = "com.quorvel.OrvaEventsManager";

  static std::shared_ptr<OrvaEventsManager> make(std::shared_ptr<Option> options,
                                                 std::shared_ptr<IdentityProvider> identityProvider,
                                                 std::shared_ptr<ConsentService> consentService,
                                                 std::shared_ptr<Reachability> reachability,
                                                 std::shared_ptr<SQLiteDatabase> database,
                                                 std::shared_ptr<OrvaService> orvaService,
                                                 std::shared_ptr<PageProvider> pageProvider);
  ~OrvaEventsManager() override;

  void logEvent(const std::string& name, const Json& properties);
  void logInstantEvent(const std::string& name, const Json& properties);
  void setPageProperties(const Json& properties);
  void setUserProperties(const Json& properties);
  void setUserIdentities(const Json& identities);

  // Dispatch scheduling: the size trigger and the interval timer.
  void scheduleEventDispatchOnUpdate(bool afterFullBatch = false) override;
  void scheduleIntervalDispatch() override;
  void scheduleEventDispatchOnIntervalThreshold();

  // OrvaEventManagerCallbacks
  DispatchQueue& dispatchQueue() override { return dispatchQueue_; }
  std::shared_ptr<IdentityProvider> identityProvider() const override { return identityProvider_; }
  void enqueueScheduleEventDispatchOnUpdate(bool afterFullBatch = false) override;
  void storeQuickEventToDB(const Events& event) override;

  // Waits until this manager's queue, the store and the networking thread are all quiet (a
  // success starts the next batch, so it goes round until a whole pass finds nothing to do).
  // Delayed timer ticks do not count. False when the deadline passed first.
  bool settle(HttpService& http, std::chrono::steady_clock::time_point deadline);

  Json getAllUserData() const;
  Json transformIdentitiesBasedOnConfiguration(const Json& identities) const;
  std::shared_ptr<UploadEventsQueue> uploadEventsQueue() const { return uploadEventsQueue_; }
  std::string connection() const;
  bool isNetworkAvailable() const { return isNetworkAvailable_.load(); }

 private:
  OrvaEventsManager(std::shared_ptr<Option> options,
                    std::shared_ptr<IdentityProvider> identityProvider,
                    std::shared_ptr<ConsentService> consentService,
                    std::shared_ptr<Reachability> reachability,
                    std::shared_ptr<SQLiteDatabase> database,
                    std::shared_ptr<OrvaService> orvaService,
                    std::shared_ptr<PageProvider> pageProvider);
  void start();
  void reachabilityChanged(const void* sender);
  Events buildRecord(const std::string& name, const Json& properties, std::optional<Json> page,
                     Json user) const;
  void store(const Events& record);
  bool trackingRefused() const;
  bool trackingGranted() const;
  void armIntervalTimer();
  template <class Task>
  void enqueue(Task task);

  std::shared_ptr<StoreEventsQueue> storeEventsQueue_;
  std::shared_ptr<UploadEventsQueue> uploadEventsQueue_;
  std::shared_ptr<Option> options_;
  std::shared_ptr<ConsentService> consentService_;
  std::shared_ptr<IdentityProvider> identityProvider_;
  std::shared_ptr<PageProvider> pageProvider_;
  std::shared_ptr<Reachability> reachability_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<OrvaService> orvaService_;
  mutable std::mutex connectionMutex_;
  std::string connection_;
  std::atomic<bool> isNetworkAvailable_{false};
  NotificationCenter::Token observer_ = 0;
  DispatchQueue dispatchQueue_{queueLabel};
};

}  // namespace kelvor
