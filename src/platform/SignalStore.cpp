#include "platform/SignalStore.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include <kelvor/Log.hpp>

#include "support/ForkSafeMutex.hpp"
#include "support/HostCallback.hpp"

namespace kelvor {
namespace {

// Read by the handler: written before the handler is installed, lock-free.
struct sigaction previousAction[NSIG];
std::atomic<bool> armed[NSIG];
std::atomic<int> writeFd{-1};
std::atomic<pid_t> ownerPid{0};

struct Watcher {
  ForkSafeMutex mutex{ProcessFork::signals};
  std::function<void(bool)> routine;
  std::vector<int> caught;  // what the host asked for and is still caught
  uint64_t generation = 0;  // the process whose thread reads the pipe
  bool reading = false;
};

// Never destroyed: a signal may come while the process exits.
Watcher& watcher() {
  static auto* made = [] {
    auto* w = new Watcher();
    // A child of fork gets the host's dispositions back at once: its signals must not reach the
    // parent's pipe, and it has no thread to read its own until it calls the library.
    ProcessFork::guard(ProcessFork::signals, ProcessFork::forever(),
                       {[] {}, nullptr, [] {},
                        [] {
                          for (int signal = 1; signal < NSIG; ++signal) {
                            if (armed[signal].exchange(false)) {
                              ::sigaction(signal, &previousAction[signal], nullptr);
                            }
                          }
                          writeFd.store(-1);
                        }});
    return w;
  }();
  return *made;
}

void onSignal(int signal) {
  const int saved = errno;
  if (::getpid() != ownerPid.load() || writeFd.load() < 0) {
    // A child of fork before its handlers ran: the host's own disposition, at once.
    ::sigaction(signal, &previousAction[signal], nullptr);
    ::raise(signal);
  } else {
    const auto byte = static_cast<unsigned char>(signal);
    (void)!::write(writeFd.load(), &byte, 1);
  }
  errno = saved;
}

bool terminatesByDefault(int signal) {
  switch (signal) {
    case SIGCHLD:
    case SIGCONT:
    case SIGURG:
    case SIGWINCH:
    case SIGSTOP:
    case SIGTSTP:
    case SIGTTIN:
    case SIGTTOU:
      return false;
    default:
      return true;
  }
}

// Signals a handler must not take: they cannot be caught, or they come from a fault of the
// thread itself, which returning from the handler would only repeat.
bool refused(int signal) {
  return signal <= 0 || signal >= NSIG || signal == SIGKILL || signal == SIGSTOP ||
         signal == SIGSEGV || signal == SIGBUS || signal == SIGFPE || signal == SIGILL ||
         signal == SIGTRAP || signal == SIGSYS;
}

void handle(int signal) {
  Watcher& w = watcher();
  std::function<void(bool)> routine;
  struct sigaction previous {};
  {
    std::lock_guard lock(w.mutex);
    if (signal <= 0 || signal >= NSIG || !armed[signal].load()) return;
    routine = w.routine;
    previous = previousAction[signal];
  }
  const bool host = (previous.sa_flags & SA_SIGINFO) != 0 || previous.sa_handler != SIG_DFL;
  const bool terminating = !host && terminatesByDefault(signal);
  Log::info("Quorvel: signal " + std::to_string(signal) +
            " - storing what was handed over, then the signal goes on to " +
            (host ? "the host's handler" : "its default action"));
  if (routine) HostCallback::run("storing on a signal", [&] { routine(terminating); });
  {
    std::lock_guard lock(w.mutex);
    if (armed[signal].exchange(false)) ::sigaction(signal, &previousAction[signal], nullptr);
    std::erase(w.caught, signal);
  }
  ::kill(::getpid(), signal);
}

void read(int fd) {
  // The host's threads take the signals; this one only reads the pipe.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    unsigned char byte = 0;
    const ssize_t got = ::read(fd, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    handle(byte);
  }
}

// Under the watcher's lock.
void catchLocked(Watcher& w, const std::vector<int>& signals) {
  if (!w.reading || w.generation != ProcessFork::generation()) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
      Log::error("Platform::storeOnSignals - no pipe for the signals; nothing is caught");
      return;
    }
    // The handler never blocks on a full pipe.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    ownerPid.store(::getpid());
    writeFd.store(fds[1]);
    std::thread(read, fds[0]).detach();
    w.generation = ProcessFork::generation();
    w.reading = true;
  }
  for (int signal : signals) {
    if (armed[signal].load()) continue;
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    // The previous disposition is in place before the handler can read it.
    ::sigaction(signal, nullptr, &previousAction[signal]);
    armed[signal].store(true);
    ::sigaction(signal, &action, nullptr);
    if (std::find(w.caught.begin(), w.caught.end(), signal) == w.caught.end()) {
      w.caught.push_back(signal);
    }
  }
}

}  // namespace

void SignalStore::setRoutine(std::function<void(bool)> routine) {
  Watcher& w = watcher();
  std::lock_guard lock(w.mutex);
  w.routine = std::move(routine);
}

void SignalStore::watch(const std::vector<int>& signals) {
  std::vector<int> taken;
  for (int signal : signals) {
    if (refused(signal)) {
      Log::error("Platform::storeOnSignals - signal " + std::to_string(signal) +
                 " is not caught: it cannot be, or it reports a fault of the thread itself");
    } else {
      taken.push_back(signal);
    }
  }
  if (taken.empty()) return;
  Watcher& w = watcher();
  std::lock_guard lock(w.mutex);
  catchLocked(w, taken);
}

void SignalStore::continueInChild() {
  Watcher& w = watcher();
  std::lock_guard lock(w.mutex);
  if (w.caught.empty() || w.generation == ProcessFork::generation()) return;
  w.reading = false;
  catchLocked(w, std::vector<int>(w.caught));
}

}  // namespace kelvor
