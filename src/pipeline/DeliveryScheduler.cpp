#include "pipeline/DeliveryScheduler.hpp"

#include <algorithm>

#include <kelvor/Log.hpp>

#include "platform/Clock.hpp"

namespace kelvor {
namespace {

// Seconds as a timer delay that saturates instead of overflowing the clock's nanoseconds.
TimeSource::Clock::duration secondsDelay(int64_t seconds) {
  using Duration = TimeSource::Clock::duration;
  constexpr int64_t longest =
      std::chrono::duration_cast<std::chrono::seconds>(Duration::max()).count();
  return seconds >= longest ? Duration::max() : Duration(std::chrono::seconds(seconds));
}

}  // namespace

DeliveryScheduler::DeliveryScheduler(std::shared_ptr<Option> options,
                                     std::shared_ptr<SQLiteDatabase> database,
                                     std::shared_ptr<TimeSource> time, Hooks hooks)
    : options_(std::move(options)),
      database_(std::move(database)),
      time_(std::move(time)),
      hooks_(std::move(hooks)),
      backoff_(std::random_device{}(), time_) {}

template <class Task>
std::shared_ptr<TimeSource::Timer> DeliveryScheduler::after(TimeSource::Clock::duration delay,
                                                            Task task) {
  std::weak_ptr<DeliveryScheduler> weak = weak_from_this();
  return time_->runAfter(delay, [weak, task = std::move(task)]() mutable {
    auto self = weak.lock();
    if (self && self->running()) task(*self);
  });
}

void DeliveryScheduler::close() {
  std::lock_guard lock(timerMutex_);
  if (state_.load() == State::running) state_.store(State::closing);
  if (tick_) tick_->cancel();
  if (retry_) retry_->cancel();
}

void DeliveryScheduler::stop() {
  close();
  state_.store(State::stopped);
}

void DeliveryScheduler::stored() {
  Log::info("scheduleEventDispatchOnUpdate - ");
  if (!hooks_.allowed() || hooks_.busy()) return;
  // The count is the store's own, kept in memory: no statement, no wait.
  if (database_->knownCount() >= options_->batchSize()) hooks_.transfer(Trigger::size);
}

void DeliveryScheduler::sendOverdueBacklog() {
  // A command-line tool lives a few milliseconds: its interval timer never fires, and one event
  // per run would wait for batchSize runs. The store's oldest row at open says how long the
  // backlog has waited, across the processes that left it.
  if (overdueChecked_.exchange(true)) return;
  const int64_t oldest = database_->oldestEventMillisAtOpen();
  if (oldest <= 0 || !hooks_.allowed()) return;
  const int64_t waited = (Clock::millisFromSeconds(Clock::secondsSinceEpoch()) - oldest) / 1000;
  if (waited < std::max<int64_t>(1, options_->eventUploadInterval())) return;
  Log::infoLazy([&] {
    return "scheduleEventDispatchOnUpdate - the oldest stored event waited " +
           std::to_string(waited) + " s, more than eventUploadInterval: a batch goes now";
  });
  hooks_.transfer(Trigger::start);
}

void DeliveryScheduler::armInterval() {
  std::lock_guard lock(timerMutex_);
  if (!running() || chainPending_) return;
  chainPending_ = true;
  armTickLocked();
}

void DeliveryScheduler::armTickLocked() {
  tick_ = after(secondsDelay(std::max<int64_t>(1, options_->eventUploadInterval())),
                [](DeliveryScheduler& self) { self.tick(); });
}

void DeliveryScheduler::tick() {
  Log::info("scheduleEventDispatchOnIntervalThreshold");
  {
    std::lock_guard lock(timerMutex_);
    if (!hooks_.allowed() || !running()) {
      chainPending_ = false;  // the chain ends here
      return;
    }
  }
  hooks_.transfer(Trigger::interval);
  std::lock_guard lock(timerMutex_);
  if (!running()) {
    chainPending_ = false;
    return;
  }
  chainPending_ = true;
  armTickLocked();
}

void DeliveryScheduler::retryAfter(std::chrono::milliseconds delay) {
  std::lock_guard lock(timerMutex_);
  if (!running()) return;
  if (retry_) retry_->cancel();  // one try at a time: the newest wait wins
  retry_ = after(delay, [](DeliveryScheduler& self) {
    if (self.hooks_.allowed()) self.hooks_.transfer(Trigger::retry);
  });
}

std::chrono::milliseconds DeliveryScheduler::failed(std::optional<std::chrono::seconds> retryAfter,
                                                    bool answered) {
  const auto delay = backoff_.fail(retryAfter, answered);
  this->retryAfter(delay);
  return delay;
}

void DeliveryScheduler::succeeded() {
  backoff_.reset();
}

std::chrono::milliseconds DeliveryScheduler::paceNext() {
  const auto gap = backoff_.nextGap();
  if (gap.count() > 0) retryAfter(gap);
  return gap;
}

bool DeliveryScheduler::holds(Trigger trigger) const {
  if (trigger == Trigger::network || !backoff_.holding()) return false;
  Log::infoLazy([&] {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(backoff_.until() - time_->now());
    return "checkAndTranferEvents: uploads wait " + std::to_string(left.count()) +
           (backoff_.active() ? " ms for the retry after a failure"
                              : " ms before the next batch of the backlog");
  });
  return true;
}

void DeliveryScheduler::networkReturned() {
  if (!running() || backoff_.failures() == 0 || backoff_.endpointAnswered() || !hooks_.allowed()) {
    return;
  }
  // Every process on this network saw it come back at the same instant.
  after(backoff_.networkDelay(), [](DeliveryScheduler& self) {
    if (self.hooks_.allowed()) self.hooks_.transfer(Trigger::network);
  });
}

void DeliveryScheduler::progress() {
  {
    std::lock_guard lock(progressMutex_);
    ++progress_;
  }
  progressed_.notify_all();
}

uint64_t DeliveryScheduler::progressCount() const {
  std::lock_guard lock(progressMutex_);
  return progress_;
}

bool DeliveryScheduler::waitForProgress(uint64_t seen,
                                        std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock lock(progressMutex_);
  return progressed_.wait_until(lock, deadline, [&] { return progress_ != seen; });
}

bool DeliveryScheduler::awaitUntil(const std::function<bool()>& done,
                                   std::chrono::steady_clock::time_point deadline) const {
  for (;;) {
    const uint64_t seen = progressCount();
    if (done()) return true;
    if (!waitForProgress(seen, deadline)) return false;
  }
}

}  // namespace kelvor
