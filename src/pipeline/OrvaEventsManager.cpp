#include "pipeline/OrvaEventsManager.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <utility>

#include <kelvor/Log.hpp>

#include "identity/IdentityTransformer.hpp"
#include "identity/Utility.hpp"
#include "pipeline/Events.hpp"
#include "platform/Clock.hpp"
#include "platform/DispatchTimeSource.hpp"
#include "platform/Uuid.hpp"
#include "support/BackgroundWork.hpp"
#include "support/CompactWriter.hpp"
#include "support/InputLimits.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"
#include "transport/HttpService.hpp"

namespace kelvor {
namespace {

// The connection of the moment, as held in an atomic: none known yet, or one of the three.
enum ConnectionCode : int { unknown = 0, wifi = 1, cellular = 2, noConnection = 3 };

const char* connectionText(int code) {
  switch (code) {
    case wifi:
      return "wi-fi";
    case cellular:
      return "cellular";
    case noConnection:
      return "no connection";
    default:
      return "";
  }
}

int64_t nowMillis() {
  return Clock::millisFromSeconds(Clock::secondsSinceEpoch());
}

// The buffer this app thread writes its reports' texts into. It stays here while the texts are
// copied into the arena; one that went to the heap takes it along, and a dropped report's heap
// text the slot gives back becomes the next one.
thread_local std::string spareText;

void keepTextBuffer(std::string text) {
  // A buffer left large by a rare large map is let go.
  constexpr size_t kept = 4096;
  if (text.capacity() > spareText.capacity() && text.capacity() <= kept) {
    spareText = std::move(text);
  }
}

}  // namespace

std::shared_ptr<OrvaEventsManager> OrvaEventsManager::make(
    std::shared_ptr<Option> options, std::shared_ptr<IdentityProvider> identityProvider,
    std::shared_ptr<ConsentService> consentService, std::shared_ptr<Reachability> reachability,
    std::shared_ptr<SQLiteDatabase> database, std::shared_ptr<OrvaService> orvaService,
    std::shared_ptr<PageProvider> pageProvider, std::shared_ptr<TimeSource> time) {
  std::shared_ptr<OrvaEventsManager> manager(
      new OrvaEventsManager(std::move(options), std::move(identityProvider),
                            std::move(consentService), std::move(reachability), std::move(database),
                            std::move(orvaService), std::move(pageProvider)));
  manager->start(std::move(time));
  return manager;
}

OrvaEventsManager::OrvaEventsManager(std::shared_ptr<Option> options,
                                     std::shared_ptr<IdentityProvider> identityProvider,
                                     std::shared_ptr<ConsentService> consentService,
                                     std::shared_ptr<Reachability> reachability,
                                     std::shared_ptr<SQLiteDatabase> database,
                                     std::shared_ptr<OrvaService> orvaService,
                                     std::shared_ptr<PageProvider> pageProvider)
    : options_(std::move(options)),
      consentService_(std::move(consentService)),
      identityProvider_(std::move(identityProvider)),
      pageProvider_(std::move(pageProvider)),
      reachability_(std::move(reachability)),
      database_(std::move(database)),
      orvaService_(std::move(orvaService)) {}

void OrvaEventsManager::start(std::shared_ptr<TimeSource> time) {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  filter_ = RecordFilter(Platform::eventFilter());
  if (auto limit = Platform::eventRateLimit()) {
    rateLimiter_ = std::make_unique<RateLimiter>(limit->perSecond, limit->burst);
  }
  if (!time) time = std::make_shared<DispatchTimeSource>(dispatchQueue_);
  DeliveryScheduler::Hooks hooks;
  hooks.transfer = [weak](DeliveryScheduler::Trigger trigger) {
    auto self = weak.lock();
    if (self && self->uploadEventsQueue_) self->uploadEventsQueue_->checkAndTranferEvents(trigger);
  };
  hooks.allowed = [weak] {
    auto self = weak.lock();
    return self && self->trackingGranted();
  };
  hooks.busy = [weak] {
    auto self = weak.lock();
    return !self || !self->uploadEventsQueue_ || self->uploadEventsQueue_->inProgress();
  };
  scheduler_ =
      std::make_shared<DeliveryScheduler>(options_, database_, std::move(time), std::move(hooks));
  storeEventsQueue_ = std::make_shared<StoreEventsQueue>(options_, identityProvider_, weak,
                                                         database_, counters_, scheduler_);
  uploadEventsQueue_ =
      std::make_shared<UploadEventsQueue>(options_, weak, database_, consentService_, orvaService_,
                                          counters_, scheduler_, storeEventsQueue_);
  // The first reports' storage, before any is made: a burst that starts while the manager waits
  // for a processor (it does not preempt the app's threads) then writes into memory made here.
  enqueue([](OrvaEventsManager& self) {
    self.intake_.keepSpare(2);
    self.texts_.prepare(1, 1);
  });
  if (!reachability_) return;
  observer_ = NotificationCenter::defaultCenter().addObserver(
      ::kelvor::reachabilityChanged, reachability_.get(), [weak](const void* sender) {
        if (auto self = weak.lock()) self->reachabilityChanged(sender);
      });
  try {
    reachability_->startNotifier();
  } catch (const std::exception&) {
    Log::error("could not start reachability notifier");
  }
}

OrvaEventsManager::~OrvaEventsManager() {
  if (observer_ != 0) NotificationCenter::defaultCenter().removeObserver(observer_);
}

template <class Task>
void OrvaEventsManager::enqueue(Task task) {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  dispatchQueue_.asyncBarrier([weak, task = std::move(task)]() mutable {
    if (auto self = weak.lock()) task(*self);
  });
}

void OrvaEventsManager::reachabilityChanged(const void* sender) {
  std::optional<Reachability::Connection> now;
  if (reachability_ && sender == reachability_.get()) now = reachability_->connection();
  Log::info("reachability.connection - " +
            (now ? Reachability::describe(*now) : std::string("nil")));
  int code = noConnection;
  if (now == Reachability::Connection::wifi) code = wifi;
  if (now == Reachability::Connection::cellular) code = cellular;
  connection_.store(code);
  const bool available = code == wifi || code == cellular;
  if (available && scheduler_) scheduler_->networkReturned();
}

std::string OrvaEventsManager::connection() const {
  return connectionText(connection_.load());
}

bool OrvaEventsManager::trackingRefused() const {
  ConsentData data = consentService_->consentData();
  return data.resolved.value_or(false) && !data.track.value_or(false);
}

bool OrvaEventsManager::trackingGranted() const {
  return consentService_->isConsentGiven("track");
}

std::string_view OrvaEventsManager::stallCause() const {
  if (!trackingGranted()) return "consent to track is not given (yet)";
  // One failure that the next try recovers from is no stall: a retry that failed too is.
  if (scheduler_ && scheduler_->failures() > 1) {
    return "uploads are failing and wait before the next try";
  }
  if (connection_.load() == noConnection) return "there is no network";
  return {};
}

void OrvaEventsManager::propertiesText(const Json& properties, std::string& text) {
  text.clear();
  if (!properties.is_object() || properties.empty()) return;
  if (!properties.contains("eventName") && !properties.contains("eventTimestamp")) {
    CompactWriter::write(properties, text);
    return;
  }
  // The two base keys always win over the app's properties.
  Json own = properties;
  own.erase("eventName");
  own.erase("eventTimestamp");
  if (!own.empty()) CompactWriter::write(own, text);
}

std::string OrvaEventsManager::eventText(const EventReport& report) {
  std::string text = "{\"eventName\":";
  const std::string_view own = report.propertiesText.view();
  text.reserve(64 + report.name.size() + own.size());
  text += render(Json(report.name));
  text += ",\"eventTimestamp\":\"";
  text += std::to_string(report.timestampMillis);
  text += '"';
  if (own.size() > 2) {
    text += ',';
    text.append(own.substr(1));  // the app's keys and the "}"
  } else {
    text += '}';
  }
  return text;
}

EventReport OrvaEventsManager::moment(EventReport::Kind kind, const std::string& name) const {
  EventReport report;
  report.kind = kind;
  report.name = name;
  report.timestampMillis = nowMillis();
  report.connection = connection_.load();
  report.page = pageProvider_->snapshot();
  report.userPayload = identityProvider_->userPayloadSnapshot();
  return report;
}

size_t OrvaEventsManager::reportBytes(const EventReport& report) {
  // The text the row will hold, near enough: the shared page and user data are not counted.
  return 128 + report.name.size() + report.propertiesText.size() +
         (report.properties.is_null() ? 0 : 64 * report.properties.size());
}

void OrvaEventsManager::hand(EventReport report) {
  counters_->reported.fetch_add(1);
  // The bound is looked up only once the intake is long, and before its lock: the common case
  // takes one lock, and no other component's lock is ever taken under it.
  constexpr size_t quickLimit = 200;
  std::optional<Intake::Limit> limit;
  if (intake_.length() >= quickLimit) {
    const StoreEventsQueue::Bound bound = storeEventsQueue_->bound();
    limit = Intake::Limit{
        static_cast<size_t>(std::clamp<int64_t>(bound.rows, 1, static_cast<int64_t>(SIZE_MAX / 2))),
        static_cast<size_t>(
            std::clamp<int64_t>(bound.bytes, 0, static_cast<int64_t>(SIZE_MAX / 2))),
        bound.cause};
  }
  const Intake::Handed handed =
      intake_.push(report, reportBytes(report), limit ? &*limit : nullptr);
  if (!handed.taken) {
    counters_->refusedInvalid.fetch_add(1);
    Log::error("the event \"" + report.name +
               "\" was reported while Quorvel shut down and was not taken; report before "
               "shutdown");
    return;
  }
  if (handed.dropped > 0) counters_->droppedByCacheCap.fetch_add(handed.dropped);
  if (handed.schedule) scheduleDrain();
  // `report` now holds what its slot held before (a report taken or dropped): freed here, but
  // for the heap buffer of a dropped one's text, which this thread's next report writes into.
  keepTextBuffer(report.propertiesText.takeHeapBuffer());
}

void OrvaEventsManager::scheduleDrain() {
  std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
  dispatchQueue_.async([weak] {
    if (auto self = weak.lock()) self->drainIntake();
  });
}

void OrvaEventsManager::reportEvent(const std::string& name, const Json& properties) {
  EventReport report = moment(EventReport::Kind::event, name);
  propertiesText(properties, spareText);
  report.propertiesText = texts_.keep(spareText);
  hand(std::move(report));
}

void OrvaEventsManager::logInstantEvent(const std::string& name, const Json& properties) {
  EventReport report = moment(EventReport::Kind::instant, name);
  propertiesText(properties, spareText);
  report.propertiesText = texts_.keep(spareText);
  hand(std::move(report));
}

void OrvaEventsManager::setPageProperties(const Json& properties) {
  if (rateLimited("set_page_properties")) return;  // the page itself has changed all the same
  EventReport report = moment(EventReport::Kind::pageChange, "set_page_properties");
  report.page = std::make_shared<const Json>(properties.is_object() ? properties : Json::object());
  hand(std::move(report));
}

void OrvaEventsManager::setUserProperties(const Json& properties) {
  if (rateLimited("set_user_properties")) return;
  EventReport report = moment(EventReport::Kind::userChange, "set_user_properties");
  report.properties = properties;
  hand(std::move(report));
}

void OrvaEventsManager::refuseInvalidInput() {
  counters_->reported.fetch_add(1);
  counters_->refusedInvalid.fetch_add(1);
}

bool OrvaEventsManager::rateLimited(std::string_view name) {
  if (!rateLimiter_) return false;
  const RateLimiter::Decision decision = rateLimiter_->admit(name, RateLimiter::Clock::now());
  if (decision.admitted) return false;
  counters_->reported.fetch_add(1);
  counters_->droppedByRateLimit.fetch_add(1);
  if (decision.warnAfter) {
    // Once per name and minute: the line then says how many went.
    std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
    dispatchQueue_.asyncAfter(*decision.warnAfter, [weak, name = std::string(name)] {
      if (auto self = weak.lock()) self->rateLimiter_->warn(name, RateLimiter::Clock::now());
    });
  }
  return true;
}

void OrvaEventsManager::logEvent(const std::string& name, const Json& properties) {
  EventReport report = moment(EventReport::Kind::event, name);
  std::string text;
  propertiesText(properties, text);
  report.propertiesText = TextArena::Text(std::move(text));
  counters_->reported.fetch_add(1);
  report.seq = intake_.number();
  StoredRow row;
  if (process(report, row)) {
    std::vector<StoredRow> rows;
    rows.push_back(std::move(row));
    storeEventsQueue_->enqueue(std::move(rows));
  }
  uint64_t seen = processedSeq_.load();
  while (seen < report.seq && !processedSeq_.compare_exchange_weak(seen, report.seq)) {
  }
}

void OrvaEventsManager::drainIntake() {
  // While reports keep coming the drain goes on, and the app's threads hand over without waking
  // anyone. It yields the queue now and then to other work.
  constexpr auto turn = std::chrono::milliseconds(5);
  BackgroundWork::enter();
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    const bool handed = intake_.length() > 0;
    try {
      // A report woke the drain: a burst may follow, so its storage is made here, not by the
      // app's thread that outruns the drain.
      prepareStorage();
      drainOnce();
    } catch (const std::exception& error) {
      // Whatever went wrong, the intake is not left marked as drained by nobody.
      Log::error(std::string("OrvaEventsManager: draining the reports failed - ") + error.what());
    }
    if (handed && intake_.length() == 0 && scheduler_->running()) {
      // Reports mostly come in a flow (a loop, one per request): the drain stays marked as
      // scheduled and looks again shortly, so the flow hands over without a wake-up per report
      // (a system call on the app's thread). A look that finds nothing ends it.
      std::weak_ptr<OrvaEventsManager> weak = weak_from_this();
      dispatchQueue_.asyncAfter(linger, [weak] {
        if (auto self = weak.lock()) self->drainIntake();
      });
      return;
    }
    if (intake_.finishDrainIfEmpty()) {
      // Quiet: the chunks a burst left go, but for one that the next report finds ready.
      texts_.trim(1);
      return;
    }
    if (std::chrono::steady_clock::now() - started > turn) {
      scheduleDrain();
      return;
    }
  }
}

void OrvaEventsManager::drainOnce() {
  size_t unwarned = 0;
  DropCause cause;
  Intake::Batch reports = intake_.take(unwarned, cause);
  if (unwarned > 0) counters_->dropWarning.dropped(unwarned, "reported", cause.text());
  // Rows go to the store a group at a time and each report is released once it is a row, so a
  // burst is never held twice over (as reports and as rows) and the store starts on it early.
  constexpr size_t group = 512;
  std::vector<StoredRow> rows;
  rows.reserve(std::min(reports.size(), group));
  uint64_t last = 0;
  size_t left = reports.size();
  reports.forEach([&](EventReport& handed) {
    EventReport report = std::move(handed);
    last = report.seq;
    // An app thread that outruns the drain takes chunks as it goes: they are made again here.
    if (--left % 64 == 0) prepareStorage();
    StoredRow row;
    try {
      if (!process(report, row)) return;
    } catch (const std::exception& error) {
      // One report that cannot be made a row costs itself only.
      counters_->refusedInvalid.fetch_add(1);
      Log::error("the event \"" + report.name + "\" could not be recorded (" + error.what() +
                 ") and was dropped");
      return;
    }
    if (report.kind == EventReport::Kind::instant && trackingGranted() && uploadEventsQueue_ &&
        uploadEventsQueue_->sendInstant(row)) {
      return;
    }
    // An instant event waits in the store while consent is undecided or uploads back off.
    rows.push_back(std::move(row));
    if (rows.size() == group) {
      storeEventsQueue_->enqueue(std::move(rows));
      intake_.handedOn(left);
      rows = {};
      rows.reserve(group);
    }
  });
  // The blocks go back for the next reports, unless a burst made more than are kept.
  intake_.recycle(std::move(reports));
  if (!rows.empty()) storeEventsQueue_->enqueue(std::move(rows));
  intake_.handedOn(0);
  uint64_t seen = processedSeq_.load();
  while (seen < last && !processedSeq_.compare_exchange_weak(seen, last)) {
  }
  scheduler_->progress();
}

void OrvaEventsManager::prepareStorage() {
  // A tool that reports once and exits does not pay for storage made for bursts: it is made once
  // a look finds more than one report waiting.
  if (!storageStarted_) {
    if (intake_.length() < 2) return;
    storageStarted_ = true;
  }
  constexpr size_t blocksAhead = 8;  // 2,048 reports
  intake_.keepSpare(blocksAhead);
  constexpr size_t least = 1;
  constexpr size_t most = 8;  // 2 MiB
  texts_.prepare(least, most);
}

bool OrvaEventsManager::process(EventReport& report, StoredRow& row) {
  if (trackingRefused()) {
    counters_->droppedByConsent.fetch_add(1);  // no line: consent asks for nothing to be kept
    return false;
  }
  row.seq = report.seq;
  row.eventUUID = Uuid::random();
  row.event = eventText(report);
  row.version = Events::libraryVersion;
  row.page = pageText(report.page);
  if (report.kind == EventReport::Kind::userChange) {
    Json user =
        userData(report.userPayload ? *report.userPayload : Json::object(), report.connection);
    if (report.properties.is_object()) {
      for (const auto& [key, value] : report.properties.items()) {
        if (!user.contains(key)) user[key] = value;  // existing user data wins
      }
    }
    row.user = StoredRow::text(render(user));
  } else {
    row.user = userText(report.userPayload, report.connection);
  }
  if (filter_.active() && filter_.apply(row) != RecordFilter::Outcome::keep) {
    counters_->droppedByFilter.fetch_add(1);
    return false;
  }
  if (row.storedSize() > InputLimits::maxStoredEventBytes) {
    Log::error("the event \"" + report.name + "\" is refused: it takes " +
               std::to_string(row.storedSize()) + " bytes, above the limit of " +
               std::to_string(InputLimits::maxStoredEventBytes) +
               "; send fewer or smaller properties");
    counters_->refusedInvalid.fetch_add(1);
    return false;
  }
  return true;
}

std::shared_ptr<const std::string> OrvaEventsManager::pageText(
    const std::shared_ptr<const Json>& page) {
  if (!page) return StoredRow::text("{}");
  if (page != cachedPage_) {
    cachedPage_ = page;
    cachedPageText_ = StoredRow::text(render(*page));
  }
  return cachedPageText_;
}

Json OrvaEventsManager::userData(const Json& payload, int connection) const {
  Json user = payload.is_object() ? payload : Json::object();
  user["network_type"] = connectionText(connection);
  std::string country = options_->userCountry();
  if (!country.empty()) user["country"] = country;
  Log::infoLazy([&] { return "getAllUserData - " + render(Redaction::identities(user)); });
  for (const auto& [key, value] : Utility::currentDeviceInfo()->items()) {
    if (!user.contains(key)) user[key] = value;  // device keys never override user data
  }
  return user;
}

std::shared_ptr<const std::string> OrvaEventsManager::userText(
    const std::shared_ptr<const Json>& payload, int connection) {
  const Json& data = payload ? *payload : Json::object();
  std::string country = options_->userCountry();
  // A new bundle info from the host makes a new device context.
  auto device = Utility::currentDeviceInfo();
  // With logging on every record writes its user data line, so nothing is reused.
  if (Log::isEnabled() || payload != cachedPayload_ || connection != cachedConnection_ ||
      country != cachedCountry_ || device != cachedDevice_ || !cachedUserText_) {
    cachedPayload_ = payload;
    cachedConnection_ = connection;
    cachedCountry_ = std::move(country);
    cachedDevice_ = device;
    cachedUserText_ = StoredRow::text(render(userData(data, connection)));
  }
  return cachedUserText_;
}

void OrvaEventsManager::storeTakesWrites() {
  if (uploadEventsQueue_) uploadEventsQueue_->storeWritable();
}

void OrvaEventsManager::storeQuickEventToDB(StoredRow row) {
  Log::info("storeQuickEventToDB");
  std::vector<StoredRow> rows;
  rows.push_back(std::move(row));
  storeEventsQueue_->enqueue(std::move(rows));
}

void OrvaEventsManager::setUserIdentities(const Json& identities) {
  if (!consentService_->isConsentGiven("identify")) return;
  Json transformed = transformIdentitiesBasedOnConfiguration(identities);
  if (!identityProvider_->replaceIdentity(transformed)) return;
  enqueue([](OrvaEventsManager& self) { self.sendIdentity(); });
}

void OrvaEventsManager::sendIdentity() {
  if (!uploadEventsQueue_) return;
  orvaService_->sendIdentity(identityProvider_->getIdentityAndIDFA(),
                             uploadEventsQueue_->requestConsent());
}

Json OrvaEventsManager::transformIdentitiesBasedOnConfiguration(const Json& identities) const {
  const bool hashed = options_->areIdentitiesHashed();
  const bool hash = options_->hashIdentities();
  const std::string first =
      "transformIdentitiesBasedOnConfiguration - transform identities based on SDK configuration";
  const std::string second =
      "areIdentitiesHashed: " + render(hashed) + " hashIdentities: " + render(hash);
  Log::info(first);
  Log::debug(second);
  Log::debug(first);
  Log::info(second);
  if (hashed) return IdentityTransformer::groupHashedIdentities(identities);
  Json valid = IdentityTransformer::normalizeIdentities(identities);
  return hash ? IdentityTransformer::hashIdentityValues(valid) : valid;
}

void OrvaEventsManager::enqueueScheduleEventDispatchOnUpdate() {
  scheduler_->sendOverdueBacklog();
  enqueue([](OrvaEventsManager& self) { self.scheduler_->stored(); });
}

void OrvaEventsManager::scheduleIntervalDispatch() {
  scheduler_->armInterval();
}

bool OrvaEventsManager::flush(std::chrono::steady_clock::time_point deadline) {
  const uint64_t target = intake_.lastSeq();
  // Everything reported before the call has been stored, accepted on its own, or dropped: an
  // instant event still out is waited for, since a failure stores it.
  if (!scheduler_->awaitUntil(
          [&] {
            return processedSeq_.load() >= target &&
                   uploadEventsQueue_->oldestInstantInFlight() > target &&
                   storeEventsQueue_->oldestUndecidedSeq() > target;
          },
          deadline)) {
    return false;
  }
  struct Result {
    std::mutex mutex;
    std::optional<bool> ok;
  };
  auto result = std::make_shared<Result>();
  auto scheduler = scheduler_;
  uploadEventsQueue_->flush(deadline, [result, scheduler](bool ok) {
    {
      std::lock_guard lock(result->mutex);
      result->ok = ok;
    }
    scheduler->progress();
  });
  const auto answered = [&] {
    std::lock_guard lock(result->mutex);
    return result->ok.has_value();
  };
  if (!scheduler_->awaitUntil(answered, deadline)) return false;
  std::lock_guard lock(result->mutex);
  return *result->ok;
}

bool OrvaEventsManager::storeHandedOver(std::chrono::steady_clock::time_point deadline) {
  const uint64_t target = intake_.lastSeq();
  return scheduler_->awaitUntil(
      [&] {
        return processedSeq_.load() >= target && storeEventsQueue_->oldestUndecidedSeq() > target;
      },
      deadline);
}

void OrvaEventsManager::discardForWithdrawnConsent() {
  // Behind the drain that may be turning reports into rows, then behind the commit of those
  // rows: nothing reported before the withdrawal reaches the store after it.
  enqueue([](OrvaEventsManager& self) {
    std::weak_ptr<StoreEventsQueue> weak = self.storeEventsQueue_;
    self.database_->databaseQueue().async([weak] {
      if (auto store = weak.lock()) {
        const uint64_t gone = store->discardAll();
        Log::info("consent to track was withdrawn: " + std::to_string(gone) +
                  " events not yet sent were deleted");
      }
    });
  });
}

void OrvaEventsManager::closeIntake() {
  intake_.close();
}

size_t OrvaEventsManager::storeWhatWasHanded(std::chrono::steady_clock::time_point batchDeadline,
                                             std::chrono::steady_clock::time_point deadline) {
  closeIntake();
  // New batches and timers stop now; instant events from here on wait in the store.
  scheduler_->close();
  dispatchQueue_.cancelDelayed();
  // A drain that lingered lost its look with the delayed tasks: this one ends it.
  scheduleDrain();
  for (;;) {
    if (intake_.idle()) break;
    if (!dispatchQueue_.drainUntil(deadline)) break;
  }
  // A batch answered after the process is gone would be sent again at the next start.
  uploadEventsQueue_->waitForChain(std::min(batchDeadline, deadline));
  auto instants = uploadEventsQueue_->takeInstantsInFlight();
  const std::string unanswered = describeUnanswered(instants);
  storeEventsQueue_->enqueue(std::move(instants));
  std::weak_ptr<StoreEventsQueue> weak = storeEventsQueue_;
  database_->databaseQueue().async([weak] {
    if (auto store = weak.lock()) store->commitNow();
  });
  database_->databaseQueue().drainUntil(deadline);
  size_t left = storeEventsQueue_->waiting();
  left += intake_.size();
  counters_->dropWarning.sayPending();
  if (left == 0 && !unanswered.empty()) {
    Log::warning("the library stopped with " + unanswered +
                 " sent at once and not answered yet: kept in the event store for the next start");
  }
  if (left > 0) {
    counters_->droppedByCacheCap.fetch_add(left);
    Log::warning("dropped " + std::to_string(left) +
                 " events reported before the library stopped: the event store could not take "
                 "them in time (those it still takes while the process ends go at the next "
                 "start)");
  }
  return left;
}

std::string OrvaEventsManager::describeUnanswered(const std::vector<StoredRow>& rows) {
  if (rows.empty()) return {};
  std::string text =
      std::to_string(rows.size()) + (rows.size() == 1 ? " instant event (" : " instant events (");
  constexpr size_t named = 5;
  for (size_t i = 0; i < rows.size() && i < named; ++i) {
    const Json event = Json::parse(rows[i].event, nullptr, false);
    const std::string name = event.is_object() && event.contains("eventName")
                                 ? render(event["eventName"])
                                 : std::string("?");
    text += (i > 0 ? ", " : "") + name + " " + rows[i].eventUUID;
  }
  if (rows.size() > named) text += ", ...";
  return text + ")";
}

void OrvaEventsManager::shutdown() {
  scheduler_->close();
  if (observer_ != 0) {
    NotificationCenter::defaultCenter().removeObserver(observer_);
    observer_ = 0;
  }
  // What was handed over is stored before the queues stop (a store locked by another process
  // gets its busy timeout, once).
  const auto now = std::chrono::steady_clock::now();
  storeWhatWasHanded(now + std::chrono::seconds(1),
                     now + std::chrono::milliseconds(SQLiteDatabase::busyTimeoutMs + 1000));
  dispatchQueue_.stop();
  scheduler_->stop();
}

void OrvaEventsManager::storeBeforeExit() {
  // The process is ending: a bounded wait, then what is left is counted and said.
  const auto deadline = std::chrono::steady_clock::now() + exitBudget;
  storeWhatWasHanded(deadline, deadline);
}

bool OrvaEventsManager::settle(HttpService& http, std::chrono::steady_clock::time_point deadline) {
  auto quiet = [&] {
    return intake_.size() == 0 && storeEventsQueue_->waiting() == 0 &&
           !(uploadEventsQueue_ && uploadEventsQueue_->inProgress());
  };
  while (std::chrono::steady_clock::now() < deadline) {
    dispatchQueue_.drainAll();
    database_->databaseQueue().drainAll();
    DispatchQueue::main().drain();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!http.waitUntilIdle(std::max(left, std::chrono::milliseconds(0)))) return false;
    // A finished request hands its follow-up to the queues before it counts as finished: run
    // those, and stop only when that pass started no request.
    const uint64_t before = http.submittedCount();
    dispatchQueue_.drainAll();
    database_->databaseQueue().drainAll();
    dispatchQueue_.drainAll();
    if (http.submittedCount() == before && quiet()) return true;
    if (http.submittedCount() == before && !quiet()) {
      // Rows kept for a retry of the store: give its timer a moment.
      scheduler_->waitForProgress(
          scheduler_->progressCount(),
          std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(50)));
    }
  }
  return false;
}

DeliveryStats OrvaEventsManager::deliveryStats() const {
  return counters_->snapshot(database_->countNow());
}

}  // namespace kelvor
