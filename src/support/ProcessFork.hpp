#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kelvor {

// What the library does around fork(). Before it, the locks a child could otherwise find held
// by a thread that does not exist there are taken, in one fixed order; after it the parent
// releases them and goes on unchanged, and the child releases them, counts a new process
// generation and runs the child hooks (cheap: no thread, no file). Everything else waits for
// the child's first call into the library, so a child that only calls exec or _exit pays
// nothing.
class ProcessFork {
 public:
  // The order in which the locks are taken, lowest first. The gates of the library's threads
  // (held while a thread runs a task) come before the locks those tasks take, and are taken all
  // at once, since a task on one thread may wait for another thread's task. Every lock of a
  // higher rank is only ever taken while holding locks of lower ranks, never the reverse.
  enum Rank : int {
    initialize = 0,
    gates = 10,
    storeReader = 20,
    consent = 30,
    consentStrings = 31,
    identityStore = 32,
    identity = 33,
    page = 34,
    notifications = 35,
    options = 36,
    signals = 37,
    consentListeners = 38,
    preferencesRegistry = 40,
    preferencesWrite = 41,
    preferences = 42,
    preferencesObservers = 43,
    preferencesHook = 44,
    queueState = 50,
    settings = 60,
    redaction = 61,
    logSink = 62,
    standardError = 63,
  };

  struct Hooks {
    std::function<void()> lock;
    std::function<bool()> tryLock;  // gates only
    std::function<void()> unlock;   // in the parent after fork, and in the child
    std::function<void()> child;    // in the child, once every lock is released; may be empty
  };

  // Registers the hooks for as long as `owner` lives. `gate` names a gate that a thread of the
  // library holds while it runs a task (see GateScope).
  static void guard(Rank rank, std::weak_ptr<void> owner, Hooks hooks, const void* gate = nullptr);
  // A mutex of an object that lives as long as `owner`.
  template <class Mutex>
  static void guardMutex(Rank rank, std::weak_ptr<void> owner, Mutex* mutex) {
    guard(rank, std::move(owner),
          Hooks{[mutex] { mutex->lock(); }, nullptr, [mutex] { mutex->unlock(); }, nullptr});
  }
  // An owner for what lives as long as the process.
  static std::shared_ptr<void> forever();

  // 0 in the process that loaded the library, one more in every child of a fork.
  static uint64_t generation();

  // A descriptor a child must not keep: it carries a lock (flock) that would outlive the parent
  // in the child's copy. Closed in the child; forget() it before closing it.
  static void closeInChild(int fd);
  static void forget(int fd);

  // Marks the gate the calling thread holds while it runs a task: a fork from inside that task
  // (a host callback) does not wait for it.
  class GateScope {
   public:
    explicit GateScope(const void* gate);
    ~GateScope();
    GateScope(const GateScope&) = delete;
    GateScope& operator=(const GateScope&) = delete;

   private:
    const void* previous_;
  };
};

}  // namespace kelvor
