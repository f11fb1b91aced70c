#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include <kelvor/Option.hpp>

#include "consent/ConsentService.hpp"
#include "pipeline/DeliveryCounters.hpp"
#include "pipeline/DeliveryScheduler.hpp"
#include "pipeline/OrvaEventManagerCallbacks.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "pipeline/UploadLock.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {

class StoreEventsQueue;

// Moves stored events to the endpoint, one batch in flight at a time, oldest first. The batch
// logic runs on the store's queue, next to the rows: the next batch is read while the current
// one is out, bodies are spliced from the stored JSON texts, and exactly the sent rows are
// deleted once accepted.
//
// Faults: a failed upload backs off (the scheduler's) with one retry at its end; a batch the
// endpoint refuses for its content is sent in halves until the refused event stands alone and is
// dropped; an accepted batch the store cannot delete is never read again (its ids wait for a store
// that takes writes); several processes of the app upload one at a time (UploadLock).
class UploadEventsQueue : public std::enable_shared_from_this<UploadEventsQueue> {
 public:
  // A batch body stays below 1 MiB (it always holds at least one event).
  static constexpr size_t maxBodyBytes = 1024 * 1024 - 1;
  static constexpr std::chrono::milliseconds lockRetryDelay{100};
  // A flush whose try failed tries again after this, doubling while tries fail, up to the
  // longest (or after the endpoint's Retry-After, when it fits before the flush's limit).
  static constexpr std::chrono::milliseconds flushRetryFirst{250};
  static constexpr std::chrono::milliseconds flushRetryLongest{2000};

  using Trigger = DeliveryScheduler::Trigger;

  UploadEventsQueue(
      std::shared_ptr<Option> options, std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager,
      std::shared_ptr<SQLiteDatabase> database, std::shared_ptr<ConsentService> consentService,
      std::shared_ptr<OrvaService> orvaService, std::shared_ptr<DeliveryCounters> counters,
      std::shared_ptr<DeliveryScheduler> scheduler, std::weak_ptr<StoreEventsQueue> store);
  ~UploadEventsQueue();

  // Starts one batch unless one is in flight or a back-off is running. Any thread.
  void checkAndTranferEvents(Trigger trigger = Trigger::interval);
  // Reads and sends the next batch (store's queue).
  void fetchFromDBAndLogEvents();
  // The consent record as the requests carry it.
  RequestConsent requestConsent() const;

  // Sends one event on its own at once (taking the row, which is held until answered); false
  // while uploads back off or maxCacheSize events are out this way, and the row stays with the
  // caller, who stores it.
  bool sendInstant(StoredRow& row);
  // The failure callback of an instant send: the event joins the store (or is dropped when the
  // endpoint refused it for its content).
  void instantSendFailed(int64_t code, const std::optional<HttpResponse>& response,
                         const TransferError& error, uint64_t key);
  // The instant events still out, for the store when the library stops; a later answer to one
  // of them is ignored.
  std::vector<StoredRow> takeInstantsInFlight();
  // Uploads everything in the store when the request reaches the store's queue, partial
  // batches included, ignoring a running back-off once; `done` learns whether all of it was
  // accepted (or dropped by a rule). Gives up with false at the deadline.
  void flush(std::chrono::steady_clock::time_point deadline, std::function<void(bool)> done);

  // Once the scheduler no longer runs: waits (up to the deadline) for the batch in flight to be
  // answered and deleted, so a process that ends does not leave an accepted batch to be sent
  // again.
  void waitForChain(std::chrono::steady_clock::time_point deadline);

  // Store's queue: a commit succeeded, so accepted rows that could not be deleted can go.
  void storeWritable();
  // The oldest report among instant sends still out; max when none.
  uint64_t oldestInstantInFlight() const;

  // A batch chain runs.
  bool inProgress() const { return isDispatchInProgress.load(); }

 private:
  enum class End { drained, failed, storeStuck, lockBusy, notAllowed };
  struct Flight;
  struct FlushWaiter {
    int64_t through;
    std::chrono::steady_clock::time_point deadline;
    std::function<void(bool)> done;
  };

  void onStoreQueue(std::function<void(UploadEventsQueue&)> task);
  void startChain(bool evenIfStopped = false);
  std::vector<StoredRow> nextBatch(bool& full);
  void readAhead(size_t wanted);
  void send(std::vector<StoredRow> batch, bool full);
  void answered(const std::shared_ptr<Flight>& flight, int64_t code,
                const std::optional<HttpResponse>& response, const TransferError& error);
  // After an accepted or refused batch: the next batch goes (true) or the chain ends.
  bool continueChain(bool lastWasFull);
  void dropRefused(const StoredRow& row, int64_t code);
  bool deleteAccepted(std::vector<StoredRow> rows);
  void recordAccepted(const std::vector<std::string>& ids);
  void clearRecordedAccepted();
  // Deletes the rows another process (or an earlier run) recorded as accepted; false while the
  // store cannot.
  bool deleteRecordedAccepted();
  void finish(End end);
  void checkFlushes(std::optional<End> end);
  std::optional<int64_t> remainingThrough(int64_t through);
  static bool refusedForContent(int64_t code);
  // Names the URL, the status or libcurl's words for why there was no answer.
  std::string describeFailure(int64_t code, const TransferError& error) const;

  std::shared_ptr<Option> options_;
  std::weak_ptr<OrvaEventManagerCallbacks> orvaEventManager_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<ConsentService> consentService_;
  std::shared_ptr<OrvaService> orvaService_;
  std::shared_ptr<DeliveryCounters> counters_;
  std::shared_ptr<DeliveryScheduler> scheduler_;
  std::weak_ptr<StoreEventsQueue> store_;
  std::atomic<bool> isDispatchInProgress{false};

  // The chain's state, touched only on the store's queue.
  UploadLock lock_;
  std::filesystem::path acceptedFile_;
  bool recordedAccepted_ = false;              // acceptedFile_ may hold ids
  int64_t cursor_ = 0;                         // rows up to here were read
  std::deque<StoredRow> ahead_;                // read, not yet sent
  std::deque<std::vector<StoredRow>> halves_;  // parts of a refused batch, in order
  std::vector<StoredRow> acceptedUndeleted_;   // accepted; the store could not delete them
  int64_t retriedDelete_ = 0;                  // first rowid of the batch whose delete is retried
  std::shared_ptr<Flight> inFlight_;
  bool stopAfterFlight_ = false;
  bool flushRestarted_ = false;
  std::chrono::milliseconds flushRetryWait_{0};  // after the last failure
  std::vector<FlushWaiter> flushes_;

  std::optional<StoredRow> takeInstant(uint64_t key);
  // Takes the instant event `key` to settle its answer (none when the library's stop took it
  // first). It still counts as out until settled(), so a flush that returns finds its outcome
  // counted and said.
  std::optional<StoredRow> claimInstant(uint64_t key);
  void settledInstant(uint64_t key);

  mutable std::mutex instantMutex_;
  std::map<uint64_t, StoredRow> instantsInFlight_;
  std::map<uint64_t, uint64_t> instantsSettling_;  // key: the report's number
  uint64_t instantKey_ = 0;
};

}  // namespace kelvor
