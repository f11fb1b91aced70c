#include "platform/DispatchQueue.hpp"

#include <atomic>
#include <exception>
#include <future>
#include <new>

#include <kelvor/Log.hpp>

#include "support/ProcessFork.hpp"

namespace kelvor {

struct DispatchQueue::State {
  std::string label;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> ready;
  // Deadline, then submission order, so equal deadlines keep their order.
  std::map<std::pair<std::chrono::steady_clock::time_point, uint64_t>, Task> delayed;
  uint64_t sequence = 0;
  uint64_t submitted = 0;  // immediate tasks ever queued
  bool stopping = false;
  std::thread::id workerId;
  // Held by the worker while it runs a task, so a fork never copies one half done.
  std::mutex gate;
  // The process whose thread serves the queue; in a child of fork that thread does not exist.
  std::atomic<uint64_t> generation{0};
  bool continuesInChild = false;
};

DispatchQueue::DispatchQueue(std::string label) : state_(std::make_shared<State>()) {
  state_->label = std::move(label);
  state_->generation = ProcessFork::generation();
  guardAcrossFork(state_);
  // Started last, once the state is complete.
  worker_ = std::thread([state = state_] { run(state); });
  std::lock_guard lock(state_->mutex);
  state_->workerId = worker_.get_id();
}

DispatchQueue::~DispatchQueue() {
  if (!current()) {
    if (worker_.joinable()) worker_.detach();  // a parent's thread: nothing to join here
    return;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->delayed.clear();
  }
  state_->wake.notify_all();
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
}

void DispatchQueue::guardAcrossFork(const std::shared_ptr<State>& state) {
  State* s = state.get();
  ProcessFork::guard(ProcessFork::gates, state,
                     {[s] { s->gate.lock(); }, [s] { return s->gate.try_lock(); },
                      [s] { s->gate.unlock(); }, nullptr},
                     &s->gate);
  ProcessFork::guard(ProcessFork::queueState, state,
                     {[s] { s->mutex.lock(); }, nullptr, [s] { s->mutex.unlock(); },
                      [s] {
                        // Its waiters were threads of the parent: a new one, never destroyed.
                        new (&s->wake) std::condition_variable();
                      }});
}

bool DispatchQueue::current() {
  if (state_->generation == ProcessFork::generation()) return true;
  std::lock_guard lock(state_->mutex);
  if (state_->generation == ProcessFork::generation()) return true;
  if (!state_->continuesInChild) return false;
  // A child of fork: the queue's tasks are this process's now, served by a thread of its own.
  state_->generation = ProcessFork::generation();
  if (worker_.joinable()) worker_.detach();
  worker_ = std::thread([state = state_] { run(state); });
  state_->workerId = worker_.get_id();
  return true;
}

void DispatchQueue::continueInChildren() {
  std::lock_guard lock(state_->mutex);
  state_->continuesInChild = true;
}

void DispatchQueue::run(const std::shared_ptr<State>& state) {
  std::unique_lock lock(state->mutex);
  for (;;) {
    const auto due = [&] {
      return !state->delayed.empty() &&
             state->delayed.begin()->first.first <= std::chrono::steady_clock::now();
    };
    if (state->ready.empty() && !state->stopping && !due()) {
      if (state->delayed.empty()) {
        state->wake.wait(lock);
      } else {
        // A copy: the node may be gone (cleared, or run) by the time the wait ends.
        const auto deadline = state->delayed.begin()->first.first;
        state->wake.wait_until(lock, deadline);
      }
      continue;
    }
    // The gate first, then the task leaves the queue: a fork finds it still queued or done.
    lock.unlock();
    std::unique_lock gate(state->gate);
    lock.lock();
    Task task;
    if (!state->ready.empty()) {
      task = std::move(state->ready.front());
      state->ready.pop_front();
    } else if (state->stopping) {
      return;
    } else if (due()) {
      task = std::move(state->delayed.begin()->second);
      state->delayed.erase(state->delayed.begin());
    } else {
      continue;
    }
    lock.unlock();
    runTask(*state, task);
    task = nullptr;  // release captures outside the lock
    gate.unlock();
    lock.lock();
  }
}

void DispatchQueue::runTask(State& state, Task& task) {
  ProcessFork::GateScope scope(&state.gate);
  try {
    task();
  } catch (const std::exception& e) {
    // Nothing may leave this handler: the worker would end the process.
    try {
      Log::error("DispatchQueue " + state.label + ": task failed - " + e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      Log::error("DispatchQueue " + state.label + ": task failed");
    } catch (...) {
    }
  }
}

void DispatchQueue::async(Task task) {
  if (!current()) return;
  // The task may destroy this queue before notify_one runs: hold the state, not `this`.
  std::shared_ptr<State> state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->stopping) return;
    state->ready.push_back(std::move(task));
    ++state->submitted;
  }
  state->wake.notify_one();
}

void DispatchQueue::sync(const Task& task) {
  if (!current()) return;
  if (isCurrent()) {
    task();
    return;
  }
  std::shared_ptr<State> state = state_;
  std::promise<void> done;
  auto finished = done.get_future();
  {
    std::lock_guard lock(state->mutex);
    if (state->stopping) return;
    ++state->submitted;
    state->ready.push_back([&task, &done] {
      try {
        task();
        done.set_value();
      } catch (...) {
        done.set_exception(std::current_exception());
      }
    });
  }
  state->wake.notify_one();
  finished.get();
}

void DispatchQueue::asyncAfter(std::chrono::steady_clock::duration delay, Task task) {
  if (!current()) return;
  std::shared_ptr<State> state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->stopping) return;
    auto deadline = deadlineAfter(delay);
    state->delayed.emplace(std::make_pair(deadline, state->sequence++), std::move(task));
  }
  state->wake.notify_one();
}

std::chrono::steady_clock::time_point DispatchQueue::deadlineAfter(
    std::chrono::steady_clock::duration delay) {
  // A huge delay saturates at the clock's end instead of wrapping into the past.
  const auto now = std::chrono::steady_clock::now();
  if (delay <= std::chrono::steady_clock::duration::zero()) return now;
  if (delay >= std::chrono::steady_clock::time_point::max() - now) {
    return std::chrono::steady_clock::time_point::max();
  }
  return now + delay;
}

void DispatchQueue::cancelDelayed() {
  std::lock_guard lock(state_->mutex);
  state_->delayed.clear();
}

void DispatchQueue::stop() {
  if (!current()) {
    if (worker_.joinable()) worker_.detach();
    return;
  }
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    state_->delayed.clear();
  }
  state_->wake.notify_all();
  if (worker_.joinable() && worker_.get_id() != std::this_thread::get_id()) worker_.join();
}

bool DispatchQueue::isCurrent() const {
  std::lock_guard lock(state_->mutex);
  return state_->workerId == std::this_thread::get_id();
}

void DispatchQueue::drainAll() {
  if (!current() || isCurrent()) return;  // the queue's own task: nothing else can run meanwhile
  for (;;) {
    uint64_t before = 0;
    {
      std::lock_guard lock(state_->mutex);
      before = state_->submitted;
    }
    drain();
    // Only the drain's own marker was queued meanwhile: nothing the queue's tasks queued can be
    // waiting or running (an empty queue alone does not say that a popped task has finished).
    std::lock_guard lock(state_->mutex);
    if (state_->submitted == before + 1 || state_->stopping) return;
  }
}

bool DispatchQueue::drainUntil(std::chrono::steady_clock::time_point deadline) {
  if (!current() || isCurrent()) return true;
  struct Marker {
    std::mutex mutex;
    std::condition_variable done;
    bool reached = false;
  };
  // Shared: the marker may run after this call gave up and returned.
  auto marker = std::make_shared<Marker>();
  std::shared_ptr<State> state = state_;
  {
    std::lock_guard lock(state->mutex);
    if (state->stopping) return true;
    ++state->submitted;
    state->ready.push_back([marker] {
      {
        std::lock_guard lock(marker->mutex);
        marker->reached = true;
      }
      marker->done.notify_all();
    });
  }
  state->wake.notify_one();
  std::unique_lock lock(marker->mutex);
  return marker->done.wait_until(lock, deadline, [&] { return marker->reached; });
}

size_t DispatchQueue::pendingDelayed() const {
  std::lock_guard lock(state_->mutex);
  return state_->delayed.size();
}

const std::string& DispatchQueue::label() const {
  return state_->label;
}

// Never destroyed: the library's threads may still use them while the process exits.
// Both serve the whole process, so a child of fork carries on with them.
DispatchQueue& DispatchQueue::main() {
  static auto* queue = [] {
    auto* made = new DispatchQueue("com.kelvor.main");
    made->continueInChildren();
    return made;
  }();
  return *queue;
}

DispatchQueue& DispatchQueue::globalBackground() {
  static auto* queue = [] {
    auto* made = new DispatchQueue("com.kelvor.global.background");
    made->continueInChildren();
    return made;
  }();
  return *queue;
}

}  // namespace kelvor
