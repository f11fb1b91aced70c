#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <kelvor/DeliveryStats.hpp>
#include <kelvor/Json.hpp>
#include <kelvor/Option.hpp>
#include <kelvor/Reachability.hpp>

#include "consent/ConsentService.hpp"
#include "identity/IdentityProvider.hpp"
#include "identity/PageProvider.hpp"
#include "pipeline/DeliveryCounters.hpp"
#include "pipeline/DeliveryScheduler.hpp"
#include "pipeline/EventReport.hpp"
#include "pipeline/Intake.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/RateLimiter.hpp"
#include "pipeline/RecordFilter.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/StoreEventsQueue.hpp"
#include "pipeline/TextArena.hpp"
#include "pipeline/UploadEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/NotificationCenter.hpp"
#include "platform/TimeSource.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {

class HttpService;

// The heart of the pipeline. The app's thread hands each report over with the page and user
// data of its moment and returns; on the manager's serial queue reports become records, gated by
// consent, and go to the store in groups or, for instant events, to the endpoint at once. It
// also sends identity changes; when stored events go is the DeliveryScheduler's.
class OrvaEventsManager : public OrvaEventManagerCallbacks,
                          public std::enable_shared_from_this<OrvaEventsManager> {
 public:
  static constexpr const char* queueLabel = "com.quorvel.OrvaEventsManager";
  // How long a drain that emptied the intake waits for more before the next report must wake it.
  static constexpr std::chrono::milliseconds linger{2};

  static std::shared_ptr<OrvaEventsManager> make(
      std::shared_ptr<Option> options, std::shared_ptr<IdentityProvider> identityProvider,
      std::shared_ptr<ConsentService> consentService, std::shared_ptr<Reachability> reachability,
      std::shared_ptr<SQLiteDatabase> database, std::shared_ptr<OrvaService> orvaService,
      std::shared_ptr<PageProvider> pageProvider, std::shared_ptr<TimeSource> time = nullptr);
  ~OrvaEventsManager() override;

  // From the app's thread: never waits. Events reported while delivery is stalled beyond what
  // the store would keep are dropped oldest first (counted, with a warning).
  void reportEvent(const std::string& name, const Json& properties);
  void logInstantEvent(const std::string& name, const Json& properties);
  // The whole merged page map; makes a "set_page_properties" event.
  void setPageProperties(const Json& properties);
  // The properties just given; makes a "set_user_properties" event.
  void setUserProperties(const Json& properties);
  // Transforms and records the identities now, so events reported after this call carry them;
  // the identity request leaves from the manager's queue.
  void setUserIdentities(const Json& identities);
  // The identity request with the identities and consent as they are now. Any thread.
  void sendIdentity();
  // An event the facade refused at the call (too deeply nested): counted, nothing else.
  void refuseInvalidInput();
  // True when an event of this name is over its rate limit (Platform::setEventRateLimit): it is
  // counted as reported and dropped, and the caller goes no further. From the app's thread.
  bool rateLimited(std::string_view name);
  // On the manager's queue: a record with the page and user data as they are now.
  void logEvent(const std::string& name, const Json& properties);

  // Consent to track is given: the size check (and, once per process, an overdue backlog) and
  // the interval chain.
  void enqueueScheduleEventDispatchOnUpdate();
  void scheduleIntervalDispatch();

  // OrvaEventManagerCallbacks
  DispatchQueue& dispatchQueue() override { return dispatchQueue_; }
  void storeQuickEventToDB(StoredRow row) override;
  std::string_view stallCause() const override;
  void storeTakesWrites() override;

  // Sends everything reported before the call, partial batches too and a running back-off
  // ignored once; true when all of it was accepted or dropped by a rule. Returns by the deadline.
  bool flush(std::chrono::steady_clock::time_point deadline);
  // Stops the timers and the queues; what was not sent stays stored. Reports after it are
  // refused with a line.
  void shutdown();
  // At exit: what the app handed over is stored (it goes at the next start), within exitBudget;
  // what could not be is counted and said in one warning.
  void storeBeforeExit();
  static constexpr std::chrono::milliseconds exitBudget{1000};
  // A signal the host handles itself: what was reported before the call is stored by the
  // deadline, and the library goes on taking reports. True when all of it was.
  bool storeHandedOver(std::chrono::steady_clock::time_point deadline);
  // Consent to track was withdrawn: the events waiting in memory and in the store go, counted,
  // without waiting on the caller's thread.
  void discardForWithdrawnConsent();
  // Waits until the queues, the store and the networking thread are all quiet; delayed timer
  // ticks do not count. False when the deadline passed first. For tests.
  bool settle(HttpService& http, std::chrono::steady_clock::time_point deadline);
  DeliveryStats deliveryStats() const;

  Json transformIdentitiesBasedOnConfiguration(const Json& identities) const;
  std::shared_ptr<UploadEventsQueue> uploadEventsQueue() const { return uploadEventsQueue_; }
  std::shared_ptr<StoreEventsQueue> storeEventsQueue() const { return storeEventsQueue_; }
  std::string connection() const;

 private:
  OrvaEventsManager(std::shared_ptr<Option> options,
                    std::shared_ptr<IdentityProvider> identityProvider,
                    std::shared_ptr<ConsentService> consentService,
                    std::shared_ptr<Reachability> reachability,
                    std::shared_ptr<SQLiteDatabase> database,
                    std::shared_ptr<OrvaService> orvaService,
                    std::shared_ptr<PageProvider> pageProvider);
  void start(std::shared_ptr<TimeSource> time);
  void reachabilityChanged(const void* sender);
  // Fills in the moment (time, page, user, network) and queues the report.
  void hand(EventReport report);
  EventReport moment(EventReport::Kind kind, const std::string& name) const;
  // The properties as the stored event's text, into `text` (its capacity reused).
  static void propertiesText(const Json& properties, std::string& text);
  static std::string eventText(const EventReport& report);
  void drainIntake();
  void scheduleDrain();
  static size_t reportBytes(const EventReport& report);
  void closeIntake();
  // Stores the intake, the rows waiting and the instant events out, up to the deadline; how
  // many could not be.
  size_t storeWhatWasHanded(std::chrono::steady_clock::time_point batchDeadline,
                            std::chrono::steady_clock::time_point deadline);
  // "2 instant events ("a" <id>, "b" <id>)", for the line that says they were kept.
  static std::string describeUnanswered(const std::vector<StoredRow>& rows);
  void drainOnce();
  // Makes the intake's blocks and the texts' chunks the app's threads will write their next
  // reports into, so a thread that outruns the drain finds them made and their pages touched.
  void prepareStorage();
  // Turns a report into a row; false when it is dropped (consent, size).
  bool process(EventReport& report, StoredRow& row);
  std::shared_ptr<const std::string> pageText(const std::shared_ptr<const Json>& page);
  std::shared_ptr<const std::string> userText(const std::shared_ptr<const Json>& payload,
                                              int connection);
  Json userData(const Json& payload, int connection) const;
  bool trackingRefused() const;
  bool trackingGranted() const;
  template <class Task>
  void enqueue(Task task);

  std::shared_ptr<DeliveryScheduler> scheduler_;
  std::shared_ptr<StoreEventsQueue> storeEventsQueue_;
  std::shared_ptr<UploadEventsQueue> uploadEventsQueue_;
  std::shared_ptr<Option> options_;
  std::shared_ptr<ConsentService> consentService_;
  std::shared_ptr<IdentityProvider> identityProvider_;
  std::shared_ptr<PageProvider> pageProvider_;
  std::shared_ptr<Reachability> reachability_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<OrvaService> orvaService_;
  std::shared_ptr<DeliveryCounters> counters_ = std::make_shared<DeliveryCounters>();
  // The host's filter and rate limit, as Platform held them when the manager started.
  RecordFilter filter_;
  std::unique_ptr<RateLimiter> rateLimiter_;
  std::atomic<int> connection_{0};
  NotificationCenter::Token observer_ = 0;

  // The texts of the reports below: declared first, so it outlives them.
  TextArena texts_;
  bool storageStarted_ = false;  // manager's queue
  // Reports handed over and not yet processed.
  Intake intake_;
  std::atomic<uint64_t> processedSeq_{0};

  // Text of the page and user data last used (manager's queue only).
  std::shared_ptr<const Json> cachedPage_;
  std::shared_ptr<const std::string> cachedPageText_;
  std::shared_ptr<const Json> cachedPayload_;
  int cachedConnection_ = -1;
  std::string cachedCountry_;
  std::shared_ptr<const Json> cachedDevice_;
  std::shared_ptr<const std::string> cachedUserText_;

  DispatchQueue dispatchQueue_{queueLabel};
};

}  // namespace kelvor
