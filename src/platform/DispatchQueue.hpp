#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace kelvor {

// A serial work queue on one worker thread: tasks run one at a time in submission order;
// delayed tasks run at their steady_clock deadline. An exception escaping a task is logged at
// error level and the queue goes on.
class DispatchQueue {
 public:
  using Task = std::function<void()>;

  explicit DispatchQueue(std::string label);
  // Pending immediate tasks are finished, delayed ones dropped. Safe to run from a task of the
  // queue itself (the worker is then detached instead of joined).
  ~DispatchQueue();
  DispatchQueue(const DispatchQueue&) = delete;
  DispatchQueue& operator=(const DispatchQueue&) = delete;

  void async(Task task);
  // Same as async on a serial queue: every task is exclusive.
  void asyncBarrier(Task task) { async(std::move(task)); }
  // Runs the task and waits for it. Called from the queue's own thread it runs inline, since
  // waiting would never end.
  void sync(const Task& task);
  // The deadline saturates: a delay beyond the clock's range waits for ever, never wraps.
  void asyncAfter(std::chrono::steady_clock::duration delay, Task task);
  // Drops the delayed tasks not yet due.
  void cancelDelayed();
  // Finishes the immediate tasks, drops delayed ones and joins the worker; later submissions
  // are ignored (a sync returns at once).
  void stop();
  static std::chrono::steady_clock::time_point deadlineAfter(
      std::chrono::steady_clock::duration delay);

  // Waits until every task submitted before this call (delayed ones not yet due excepted) ran.
  void drain() {
    sync([] {});
  }
  // Drains again while tasks enqueued during a drain (by the queue's own tasks) are waiting.
  void drainAll();
  // drain() that gives up at the deadline (a task stuck on a lock or the disk); true when every
  // task submitted before the call ran.
  bool drainUntil(std::chrono::steady_clock::time_point deadline);
  bool isCurrent() const;
  // Delayed tasks not yet due.
  size_t pendingDelayed() const;
  const std::string& label() const;

  // In a child of fork the worker does not exist. A queue of the whole process carries on there
  // with a worker of its own from its first use; any other (one of the parent's components,
  // abandoned in the child) takes nothing more.
  void continueInChildren();

  // The stand-in for the app's main queue and the global background queue.
  static DispatchQueue& main();
  static DispatchQueue& globalBackground();

 private:
  struct State;
  static void run(const std::shared_ptr<State>& state);
  static void runTask(State& state, Task& task);
  static void guardAcrossFork(const std::shared_ptr<State>& state);
  // False in a child of fork for a queue that does not carry on there.
  bool current();
  std::shared_ptr<State> state_;
  std::thread worker_;
};

}  // namespace kelvor
