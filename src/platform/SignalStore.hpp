#pragma once

#include <functional>
#include <vector>

namespace kelvor {

// Platform::storeOnSignals: catches the signals the host named, without doing anything unsafe
// in the handler (it writes one byte to a pipe), and on a thread of its own runs the routine
// that stores what was handed over, restores the host's previous disposition and raises the
// signal again, so the host's own handler or the default action happens, once. Each signal is
// caught once; ask again to catch it again. A child of fork has the host's dispositions back
// until its first call into the library catches them again.
class SignalStore {
 public:
  // terminating: the signal's action ends the process (the default action of a terminating
  // signal), so what was handed over is stored as at exit.
  static void setRoutine(std::function<void(bool terminating)> routine);
  static void watch(const std::vector<int>& signals);
  // In a child of fork, at its first call: catches again what the parent caught.
  static void continueInChild();
};

}  // namespace kelvor
