#pragma once

namespace kelvor {

// The facade across the process's life on Linux: a child of fork gets components of its own at
// its first call, and a signal the host asked for stores what was handed over. A friend of
// Quorvel.
struct QuorvelProcess {
  // At every public call: in a child of fork, the first one builds the child's own queues,
  // store connection and networking thread from the same options, and leaves the parent's
  // untouched (never destroyed, never used: their threads do not exist here, and their
  // connection and sockets are still the parent's). What the parent had handed over and not
  // yet stored stays the parent's.
  static void continueAfterFork();
  // Whether the components were built by this process (false in a child before its first call).
  static bool ownsComponents();
  // What Platform::storeOnSignals runs on its thread before the signal goes on.
  static void storeForSignal(bool terminating);
};

}  // namespace kelvor
