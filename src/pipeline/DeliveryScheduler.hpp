#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kelvor/Option.hpp>

#include "pipeline/Backoff.hpp"
#include "pipeline/SQLiteDatabase.hpp"
#include "platform/TimeSource.hpp"

namespace kelvor {

// Decides when stored events go and when delivery stops. It owns the interval timer chain, the
// size trigger, the back-off after a failure (with the endpoint's Retry-After) and the try at
// its end, the early try when the network comes back, the pace of a backlog after failures, and
// the one lifecycle state every part of the pipeline asks. Waiters (a flush, an exit) wait here
// for the pipeline to move. Timers run on the injected time source.
class DeliveryScheduler : public std::enable_shared_from_this<DeliveryScheduler> {
 public:
  enum class State {
    running,
    closing,  // the process ends or the host shuts down: no batch starts, no timer runs
    stopped,  // the queues are stopped
  };

  enum class Trigger {
    size,      // enough rows stored (needs batchSize rows unless a full batch just went)
    interval,  // the timer: whatever is stored
    retry,     // the end of a back-off, or of a gap between the batches of a backlog
    network,   // the network came back: may retry during a back-off
    start,     // at start, the oldest stored event waited longer than the interval: whatever
               // is stored, and the exit waits for it as for a batch in flight
  };

  // What the scheduler drives, without knowing the queues.
  struct Hooks {
    std::function<void(Trigger)> transfer;  // starts a batch chain unless one runs
    std::function<bool()> allowed;          // consent to track is given
    std::function<bool()> busy;             // a batch chain runs
  };

  DeliveryScheduler(std::shared_ptr<Option> options, std::shared_ptr<SQLiteDatabase> database,
                    std::shared_ptr<TimeSource> time, Hooks hooks);

  State state() const { return state_.load(); }
  bool running() const { return state_.load() == State::running; }
  // Ends the timers; from now on no batch starts.
  void close();
  void stop();

  // The size trigger, right after a commit: a batch goes once batchSize events are stored.
  void stored();
  // Once per process, with the first size check: a backlog older than eventUploadInterval goes
  // at once, as the timer would have sent it in a process that lived that long.
  void sendOverdueBacklog();
  // Starts the interval chain; at most one runs, and arming it again while one is pending does
  // nothing.
  void armInterval();

  // A failed upload: returns the wait before the next try, which is set.
  std::chrono::milliseconds failed(std::optional<std::chrono::seconds> retryAfter, bool answered);
  void succeeded();
  // After a batch of a backlog: the gap before the next, set as a try; zero when it may go now.
  std::chrono::milliseconds paceNext();
  // Whether a trigger waits: between a failure and its retry, and between the batches of a
  // backlog after one, only a network that comes back may try.
  bool holds(Trigger trigger) const;
  // A failure's wait is running (instant events then wait in the store).
  bool backingOff() const { return backoff_.active(); }
  int failures() const { return backoff_.failures(); }
  // Back online during a back-off that the missing network caused: a try before the end of the
  // wait, after a moment drawn at random. A wait after the endpoint's own answer runs to its end.
  void networkReturned();

  // Something moved in the pipeline (a commit, an answer, a drained intake): wakes the waiters.
  void progress();
  uint64_t progressCount() const;
  // Waits until progress beyond `seen` or the deadline; false at the deadline.
  bool waitForProgress(uint64_t seen, std::chrono::steady_clock::time_point deadline) const;
  // Waits until `done` holds, looking again at each progress; false at the deadline. The
  // deadline is the caller's own time, never the simulated one.
  bool awaitUntil(const std::function<bool()>& done,
                  std::chrono::steady_clock::time_point deadline) const;

 private:
  void armTickLocked();
  void tick();
  void retryAfter(std::chrono::milliseconds delay);
  template <class Task>
  std::shared_ptr<TimeSource::Timer> after(TimeSource::Clock::duration delay, Task task);

  std::shared_ptr<Option> options_;
  std::shared_ptr<SQLiteDatabase> database_;
  std::shared_ptr<TimeSource> time_;
  Hooks hooks_;
  Backoff backoff_;
  std::atomic<State> state_{State::running};
  std::atomic<bool> overdueChecked_{false};

  // The chain's claim and release happen under one lock, so a consent change between a tick's
  // check and its release cannot end the chain for good.
  std::mutex timerMutex_;
  bool chainPending_ = false;
  std::shared_ptr<TimeSource::Timer> tick_;
  std::shared_ptr<TimeSource::Timer> retry_;

  mutable std::mutex progressMutex_;
  mutable std::condition_variable progressed_;
  uint64_t progress_ = 0;
};

}  // namespace kelvor
