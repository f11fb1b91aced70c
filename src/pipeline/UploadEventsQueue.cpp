#include "pipeline/UploadEventsQueue.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <sstream>
#include <utility>

#include <kelvor/Log.hpp>

#include "pipeline/EventsList.hpp"
#include "pipeline/StoreEventsQueue.hpp"
#include "platform/DispatchQueue.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

std::string batchLine(const std::vector<StoredRow>& batch) {
  std::vector<Events> records;
  records.reserve(batch.size());
  for (const auto& row : batch) records.push_back(row.toRecord());
  return "fetchFromDBAndLogEvents: events " + std::to_string(batch.size()) + " - " +
         EventsList{records}.toString();
}

std::string body(const std::vector<StoredRow>& rows) {
  std::vector<EventTexts> texts;
  texts.reserve(rows.size());
  for (const auto& row : rows) texts.push_back(row.texts());
  return OrvaService::batchBody(texts);
}

}  // namespace

struct UploadEventsQueue::Flight {
  std::vector<StoredRow> rows;
  bool full = false;
};

UploadEventsQueue::UploadEventsQueue(
    std::shared_ptr<Option> options, std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
    std::shared_ptr<SQLiteDatabase> database, std::shared_ptr<ConsentService> consentService,
    std::shared_ptr<OrvaService> orvaService, std::shared_ptr<DeliveryCounters> counters,
    std::shared_ptr<DeliveryScheduler> scheduler, std::weak_ptr<StoreEventsQueue> store)
    : options_(std::move(options)),
      orvaEventManager_(std::move(orvaEventManager)),
      database_(std::move(database)),
      consentService_(std::move(consentService)),
      orvaService_(std::move(orvaService)),
      counters_(std::move(counters)),
      scheduler_(std::move(scheduler)),
      store_(std::move(store)),
      lock_(database_ ? database_->location().string() + ".upload-lock" : std::string()),
      acceptedFile_(database_ ? database_->location().string() + ".accepted" : std::string()) {}

UploadEventsQueue::~UploadEventsQueue() = default;

void UploadEventsQueue::onStoreQueue(std::function<void(UploadEventsQueue&)> task) {
  std::weak_ptr<UploadEventsQueue> weak = weak_from_this();
  database_->databaseQueue().async([weak, task = std::move(task)] {
    if (auto self = weak.lock()) task(*self);
  });
}

void UploadEventsQueue::checkAndTranferEvents(Trigger trigger) {
  const bool inProgress = isDispatchInProgress.load();
  Log::infoLazy(
      [&] { return "checkAndTranferEvents: isDispatchInProgress - " + render(inProgress); });
  if (inProgress || scheduler_->holds(trigger)) return;
  bool expected = false;
  if (!isDispatchInProgress.compare_exchange_strong(expected, true)) return;
  onStoreQueue([trigger](UploadEventsQueue& self) {
    self.flushRestarted_ = false;
    self.startChain(trigger == Trigger::start);
  });
}

void UploadEventsQueue::startChain(bool evenIfStopped) {
  if ((!scheduler_->running() && !evenIfStopped) || !consentService_->isConsentGiven("track")) {
    finish(End::notAllowed);
    return;
  }
  // A store folder removed meanwhile is made again before its upload lock is looked for.
  database_->keepFileAtPath();
  if (!lock_.tryLock()) {
    if (lock_.unavailable()) {
      finish(End::notAllowed);
      return;
    }
    Log::infoLazy([] {
      return std::string("checkAndTranferEvents: another process of this app is uploading");
    });
    finish(End::lockBusy);
    return;
  }
  // Accepted rows the store could not delete go first, this process's and those another
  // process left on record; while the store still cannot, nothing is sent (they would only
  // pile up, and go twice).
  if (!acceptedUndeleted_.empty()) retriedDelete_ = acceptedUndeleted_.front().rowid;
  if (!acceptedUndeleted_.empty() && !deleteAccepted(std::exchange(acceptedUndeleted_, {}))) {
    finish(End::storeStuck);
    return;
  }
  if (!deleteRecordedAccepted()) {
    finish(End::storeStuck);
    return;
  }
  cursor_ = 0;
  ahead_.clear();
  fetchFromDBAndLogEvents();
}

void UploadEventsQueue::fetchFromDBAndLogEvents() {
  bool full = false;
  auto batch = nextBatch(full);
  Log::infoLazy([&] { return batchLine(batch); });
  if (batch.empty()) {
    finish(End::drained);
    return;
  }
  send(std::move(batch), full);
}

void UploadEventsQueue::readAhead(size_t wanted) {
  if (wanted == 0) return;
  auto rows = database_->readAfter(cursor_, static_cast<int64_t>(wanted));
  std::vector<int64_t> unreadable;
  for (auto& row : rows) {
    cursor_ = std::max(cursor_, row.rowid);
    if (!row.decode()) {
      Log::error("a stored event (row " + std::to_string(row.rowid) + ", id \"" + row.eventUUID +
                 "\") cannot be read back; it was deleted and is not sent");
      unreadable.push_back(row.rowid);
      continue;
    }
    ahead_.push_back(std::move(row));
  }
  if (!unreadable.empty()) {
    database_->deleteRowids(unreadable);
    counters_->droppedUndecodable.fetch_add(unreadable.size());
  }
  if (auto store = store_.lock()) store->protectThrough(cursor_);
}

std::vector<StoredRow> UploadEventsQueue::nextBatch(bool& full) {
  full = false;
  if (!halves_.empty()) {
    auto batch = std::move(halves_.front());
    halves_.pop_front();
    full = true;
    return batch;
  }
  const auto batchSize = static_cast<size_t>(std::max<int64_t>(1, options_->batchSize()));
  if (ahead_.size() < batchSize) readAhead(batchSize - ahead_.size());
  std::vector<StoredRow> batch;
  size_t bytes = 16;
  while (!ahead_.empty() && batch.size() < batchSize) {
    const size_t size = ahead_.front().wireSize() + 1;
    if (!batch.empty() && bytes + size > maxBodyBytes) {
      full = true;  // cut by size: more is waiting
      break;
    }
    bytes += size;
    batch.push_back(std::move(ahead_.front()));
    ahead_.pop_front();
  }
  if (batch.size() == batchSize) full = true;
  return batch;
}

void UploadEventsQueue::send(std::vector<StoredRow> batch, bool full) {
  auto flight = std::make_shared<Flight>(Flight{std::move(batch), full});
  inFlight_ = flight;
  std::weak_ptr<UploadEventsQueue> weak = weak_from_this();
  auto answer = [weak, flight](int64_t code, const std::optional<HttpResponse>& response,
                               const TransferError& error) {
    if (auto self = weak.lock()) {
      self->onStoreQueue([flight, code, response, error](UploadEventsQueue& q) {
        q.answered(flight, code, response, error);
      });
    }
  };
  orvaService_->sendEvents(body(flight->rows), requestConsent(), answer, answer);
  // The next batch is read while this one is out.
  if (halves_.empty()) {
    const auto batchSize = static_cast<size_t>(std::max<int64_t>(1, options_->batchSize()));
    if (ahead_.size() < batchSize) readAhead(batchSize - ahead_.size());
  }
}

bool UploadEventsQueue::refusedForContent(int64_t code) {
  return code == 400 || code == 413 || code == 422;
}

std::string UploadEventsQueue::describeFailure(int64_t code, const TransferError& error) const {
  return "upload to " + orvaService_->url() +
         (code == 0
              ? " got no answer (" + (error.text.empty() ? "no reason given" : error.text) + ")"
              : " failed with status " + std::to_string(code));
}

void UploadEventsQueue::answered(const std::shared_ptr<Flight>& flight, int64_t code,
                                 const std::optional<HttpResponse>& response,
                                 const TransferError& error) {
  if (flight != inFlight_) return;  // the chain ended meanwhile
  inFlight_.reset();
  if (code >= 200 && code <= 299) {
    counters_->sent.fetch_add(flight->rows.size());
    scheduler_->succeeded();
    // The next batch goes before this one is deleted, so the two overlap.
    const bool more = !stopAfterFlight_ && continueChain(flight->full);
    const bool deleted = deleteAccepted(std::move(flight->rows));
    if (!deleted) stopAfterFlight_ = true;
    scheduler_->progress();
    checkFlushes(std::nullopt);
    if (!more) finish(deleted && !stopAfterFlight_ ? End::drained : End::storeStuck);
    return;
  }
  if (refusedForContent(code)) {
    Log::error("[Code] :: " + std::to_string(code) + " - " +
               (response ? response->description() : std::string("nil")));
    auto& rows = flight->rows;
    if (rows.size() > 1) {
      // Halves go one after the other until the refused event stands alone.
      const auto half = static_cast<std::ptrdiff_t>(rows.size() / 2);
      std::vector<StoredRow> second(std::make_move_iterator(rows.begin() + half),
                                    std::make_move_iterator(rows.end()));
      rows.resize(static_cast<size_t>(half));
      halves_.push_front(std::move(second));
      halves_.push_front(std::move(rows));
      Log::warning("the endpoint refused a batch of " +
                   std::to_string(halves_[0].size() + halves_[1].size()) + " events with status " +
                   std::to_string(code) + "; it is sent in halves to find the refused event");
    } else if (!rows.empty()) {
      dropRefused(rows.front(), code);
    }
    const bool more = !stopAfterFlight_ && continueChain(true);
    scheduler_->progress();
    checkFlushes(std::nullopt);
    if (!more) finish(stopAfterFlight_ ? End::storeStuck : End::drained);
    return;
  }
  // No answer, or a status that means "not now": the rows stay and uploads back off.
  Log::error("[Code] :: " + std::to_string(code) + " - " +
             (response ? response->description() : std::string("nil")));
  counters_->failure(code, error);
  const auto asked = response ? response->retryAfter : std::nullopt;
  const auto delay = scheduler_->failed(asked, code != 0);
  Log::warning(describeFailure(code, error) + ": " + std::to_string(database_->knownCount()) +
               " events are kept in the store; the next try is in " +
               std::to_string((delay.count() + 999) / 1000) + " s");
  // A flush tries again after a short wait, or after the wait the endpoint asked for.
  const int doublings = std::clamp(scheduler_->failures() - 1, 0, 3);
  flushRetryWait_ =
      std::min<std::chrono::milliseconds>(flushRetryFirst * (1 << doublings), flushRetryLongest);
  if (asked) flushRetryWait_ = std::max<std::chrono::milliseconds>(flushRetryWait_, *asked);
  finish(End::failed);
  // A retry that failed too stalls delivery: what is reported from now on keeps to maxCacheSize.
  if (auto store = store_.lock()) store->checkCacheSize();
}

bool UploadEventsQueue::continueChain(bool lastWasFull) {
  if (!scheduler_->running() || !consentService_->isConsentGiven("track")) return false;
  const auto batchSize = static_cast<size_t>(std::max<int64_t>(1, options_->batchSize()));
  bool go = !halves_.empty();
  if (!go) {
    if (ahead_.size() < batchSize) readAhead(batchSize - ahead_.size());
    // After a full batch any stored event starts the next, so a backlog drains to its tail;
    // after a partial one the size rule applies again. A flush sends partial batches.
    go = !ahead_.empty() && (lastWasFull || !flushes_.empty() || ahead_.size() >= batchSize);
  }
  if (!go) return false;
  // After failures the backlog goes one batch per gap, so that clients back from one outage do
  // not all send theirs at once; a flush does not wait.
  if (halves_.empty() && flushes_.empty()) {
    const auto gap = scheduler_->paceNext();
    if (gap.count() > 0) {
      Log::infoLazy([&] {
        return "checkAndTranferEvents: the next batch of the backlog goes in " +
               std::to_string(gap.count()) + " ms";
      });
      return false;
    }
  }
  bool full = false;
  auto next = nextBatch(full);
  if (next.empty()) return false;
  Log::infoLazy([&] { return batchLine(next); });
  send(std::move(next), full);
  return true;
}

void UploadEventsQueue::dropRefused(const StoredRow& row, int64_t code) {
  Log::error("the endpoint refused event " + row.eventUUID + " with status " +
             std::to_string(code) + "; it was dropped and the other events still go");
  counters_->droppedRefused.fetch_add(1);
  std::vector<StoredRow> gone;
  gone.push_back(row);
  deleteAccepted(std::move(gone));
}

bool UploadEventsQueue::deleteAccepted(std::vector<StoredRow> rows) {
  if (rows.empty()) return true;
  std::vector<std::string> ids;
  ids.reserve(rows.size());
  for (const auto& row : rows) ids.push_back(row.eventUUID);
  // On record before the delete: a process that ends while the delete waits for another
  // connection's lock leaves them on record, and no other process sends them again.
  recordAccepted(ids);
  if (database_->deleteIds(ids)) {
    if (acceptedUndeleted_.empty()) clearRecordedAccepted();
    return true;
  }
  // Said once per batch: retries of the same delete stay quiet.
  if (rows.front().rowid != retriedDelete_) {
    Log::warning("the endpoint accepted " + std::to_string(rows.size()) +
                 " events but the event store could not delete them; they are not sent again "
                 "and are deleted once the store takes writes");
  }
  for (auto& row : rows) acceptedUndeleted_.push_back(std::move(row));
  return false;
}

void UploadEventsQueue::recordAccepted(const std::vector<std::string>& ids) {
  // Beside the store, under the upload lock, so another process of the app, or the next start,
  // deletes them before it reads a batch. Written without a sync: the record is for a process
  // that ends, not for a machine that loses power. Without it (a full disk) this process keeps
  // the upload lock until they are deleted.
  std::string text;
  for (const auto& id : ids) text += id + "\n";
  int fd = ::open(acceptedFile_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return;
  if (::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())) {
    recordedAccepted_ = true;
  }
  ::close(fd);
}

void UploadEventsQueue::clearRecordedAccepted() {
  if (!recordedAccepted_) return;
  recordedAccepted_ = false;
  std::error_code ec;
  std::filesystem::remove(acceptedFile_, ec);
}

bool UploadEventsQueue::deleteRecordedAccepted() {
  // Read close-on-exec, like every descriptor of the library.
  const int fd = ::open(acceptedFile_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  std::string text;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  std::vector<std::string> ids;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) ids.push_back(line);
  }
  // Ids are quoted into the statement, so a tampered record cannot inject SQL.
  if (!ids.empty() && !database_->deleteIds(ids)) return false;
  recordedAccepted_ = true;
  if (acceptedUndeleted_.empty()) clearRecordedAccepted();
  return true;
}

void UploadEventsQueue::storeWritable() {
  if (acceptedUndeleted_.empty() || isDispatchInProgress.load()) return;
  retriedDelete_ = acceptedUndeleted_.front().rowid;
  if (deleteAccepted(std::exchange(acceptedUndeleted_, {}))) lock_.unlock();
}

void UploadEventsQueue::finish(End end) {
  inFlight_.reset();
  ahead_.clear();
  halves_.clear();
  cursor_ = 0;
  stopAfterFlight_ = false;
  int64_t keep = 0;
  for (const auto& row : acceptedUndeleted_) keep = std::max(keep, row.rowid);
  if (auto store = store_.lock()) store->protectThrough(keep);
  // Rows accepted but not yet deleted would be read and sent again by another process of the
  // app: the lock stays with this one until they are gone.
  if (acceptedUndeleted_.empty()) lock_.unlock();
  isDispatchInProgress.store(false);
  scheduler_->progress();
  checkFlushes(end);
}

std::optional<int64_t> UploadEventsQueue::remainingThrough(int64_t through) {
  // Accepted rows the store could not delete count as done; one row more than those says that
  // something is left, without counting the whole store.
  int64_t accepted = 0;
  for (const auto& row : acceptedUndeleted_) {
    if (row.rowid <= through) ++accepted;
  }
  auto count = database_->countThrough(through, accepted + 1);
  if (!count) return std::nullopt;
  return std::max<int64_t>(0, *count - accepted);
}

void UploadEventsQueue::checkFlushes(std::optional<End> end) {
  if (flushes_.empty()) return;
  const auto now = std::chrono::steady_clock::now();
  std::vector<FlushWaiter> waiting;
  bool again = false;
  bool later = false;
  bool retry = false;
  for (auto& waiter : flushes_) {
    auto remaining = remainingThrough(waiter.through);
    if (remaining && *remaining == 0) {
      waiter.done(true);
    } else if (now >= waiter.deadline) {
      waiter.done(false);
    } else if (!end) {
      waiting.push_back(std::move(waiter));
    } else if (*end == End::drained && flushRestarted_) {
      // A pass that sent what it could and still left rows behind: give up, do not spin.
      waiter.done(false);
    } else if (*end == End::drained) {
      again = true;
      waiting.push_back(std::move(waiter));
    } else if (*end == End::lockBusy) {
      later = true;
      waiting.push_back(std::move(waiter));
    } else if (*end == End::failed && now + flushRetryWait_ < waiter.deadline) {
      // A failure may pass: keep trying until the limit, unless the endpoint's wait is longer.
      retry = true;
      waiting.push_back(std::move(waiter));
    } else {
      waiter.done(false);
    }
  }
  flushes_ = std::move(waiting);
  if (flushes_.empty() || !end) return;
  auto start = [](UploadEventsQueue& self, bool restarted) {
    bool expected = false;
    if (!self.isDispatchInProgress.compare_exchange_strong(expected, true)) return;
    self.flushRestarted_ = restarted;
    self.startChain();
  };
  if (again) {
    start(*this, true);
  } else if (later || retry) {
    // Another process of the app is uploading (our rows too), or the last try failed: look
    // again shortly.
    std::weak_ptr<UploadEventsQueue> weak = weak_from_this();
    database_->databaseQueue().asyncAfter(later ? lockRetryDelay : flushRetryWait_, [weak, start] {
      if (auto self = weak.lock()) start(*self, false);
    });
  }
}

void UploadEventsQueue::flush(std::chrono::steady_clock::time_point deadline,
                              std::function<void(bool)> done) {
  onStoreQueue([deadline, done = std::move(done)](UploadEventsQueue& self) {
    self.flushes_.push_back({self.database_->maxRowid(), deadline, done});
    bool expected = false;
    if (self.isDispatchInProgress.compare_exchange_strong(expected, true)) {
      // A flush goes now, back-off or not.
      self.flushRestarted_ = false;
      self.startChain();
    } else {
      self.checkFlushes(std::nullopt);
    }
  });
}

void UploadEventsQueue::waitForChain(std::chrono::steady_clock::time_point deadline) {
  scheduler_->awaitUntil([this] { return !isDispatchInProgress.load(); }, deadline);
}

bool UploadEventsQueue::sendInstant(StoredRow& row) {
  if (!scheduler_->running() || scheduler_->backingOff()) return false;
  const auto bound = static_cast<size_t>(std::max<int64_t>(1, options_->maxCacheSize()));
  uint64_t key = 0;
  // The body is made before the row moves: the request must not read a row it no longer owns.
  std::string text = OrvaService::batchBody({row.texts()});
  {
    // Each event out on its own is held here until it is answered; beyond maxCacheSize of them
    // the rest wait in the store, so an endpoint that never answers cannot grow memory.
    std::lock_guard lock(instantMutex_);
    if (instantsInFlight_.size() >= bound) return false;
    key = ++instantKey_;
    instantsInFlight_.emplace(key, std::move(row));
  }
  std::weak_ptr<UploadEventsQueue> weak = weak_from_this();
  orvaService_->sendEvents(
      std::move(text), requestConsent(),
      [weak, key](int64_t code, const std::optional<HttpResponse>& response,
                  const TransferError& error) {
        OrvaService::logResponse(code, response, error);
        auto self = weak.lock();
        if (!self) return;
        // Taken already when the library stopped and stored it: it goes again at the next start.
        if (!self->claimInstant(key)) return;
        self->counters_->sent.fetch_add(1);
        self->scheduler_->succeeded();
        self->settledInstant(key);
      },
      [weak, key](int64_t code, const std::optional<HttpResponse>& response,
                  const TransferError& error) {
        if (auto self = weak.lock()) self->instantSendFailed(code, response, error, key);
      });
  return true;
}

std::optional<StoredRow> UploadEventsQueue::takeInstant(uint64_t key) {
  std::lock_guard lock(instantMutex_);
  auto found = instantsInFlight_.find(key);
  if (found == instantsInFlight_.end()) return std::nullopt;
  StoredRow row = std::move(found->second);
  instantsInFlight_.erase(found);
  return row;
}

std::optional<StoredRow> UploadEventsQueue::claimInstant(uint64_t key) {
  std::lock_guard lock(instantMutex_);
  auto found = instantsInFlight_.find(key);
  if (found == instantsInFlight_.end()) return std::nullopt;
  StoredRow row = std::move(found->second);
  instantsInFlight_.erase(found);
  instantsSettling_.emplace(key, row.seq);
  return row;
}

void UploadEventsQueue::settledInstant(uint64_t key) {
  {
    std::lock_guard lock(instantMutex_);
    instantsSettling_.erase(key);
  }
  scheduler_->progress();
}

std::vector<StoredRow> UploadEventsQueue::takeInstantsInFlight() {
  std::lock_guard lock(instantMutex_);
  std::vector<StoredRow> rows;
  rows.reserve(instantsInFlight_.size());
  for (auto& [key, row] : instantsInFlight_) rows.push_back(std::move(row));
  instantsInFlight_.clear();
  return rows;
}

void UploadEventsQueue::instantSendFailed(int64_t code, const std::optional<HttpResponse>& response,
                                          const TransferError& error, uint64_t key) {
  if (refusedForContent(code)) {
    auto row = claimInstant(key);
    if (!row) return;
    Log::error("Failed to log events");
    Log::error("the endpoint refused event " + row->eventUUID + " with status " +
               std::to_string(code) + "; it was dropped");
    counters_->droppedRefused.fetch_add(1);
    settledInstant(key);
    return;
  }
  Log::error("Failed to log events");
  Log::warning(describeFailure(code, error) + ": the event is kept in the store");
  counters_->failure(code, error);
  scheduler_->failed(response ? response->retryAfter : std::nullopt, code != 0);
  auto manager = orvaEventManager_.lock();
  if (!manager) return;
  // The row stays held here until the manager's task stores it, so a library that stops
  // meanwhile still finds it and stores it itself.
  std::weak_ptr<OrvaEventManagerCallbacks> weakManager = manager;
  std::weak_ptr<UploadEventsQueue> weak = weak_from_this();
  manager->dispatchQueue().asyncBarrier([weakManager, weak, key] {
    auto self = weak.lock();
    auto m = weakManager.lock();
    if (!self || !m) return;
    // Stored before it stops counting as out, so a flush never sees it nowhere.
    std::optional<StoredRow> row;
    {
      std::lock_guard lock(self->instantMutex_);
      auto found = self->instantsInFlight_.find(key);
      if (found != self->instantsInFlight_.end()) row = found->second;
    }
    if (row) m->storeQuickEventToDB(std::move(*row));
    self->takeInstant(key);
    self->scheduler_->progress();
  });
}

uint64_t UploadEventsQueue::oldestInstantInFlight() const {
  std::lock_guard lock(instantMutex_);
  uint64_t oldest = std::numeric_limits<uint64_t>::max();
  for (const auto& [key, row] : instantsInFlight_) oldest = std::min(oldest, row.seq);
  for (const auto& [key, seq] : instantsSettling_) oldest = std::min(oldest, seq);
  return oldest;
}

RequestConsent UploadEventsQueue::requestConsent() const {
  return {consentService_->isConsentGiven("track"), consentService_->isConsentGiven("identify"),
          consentService_->consentData()};
}

}  // namespace kelvor
