#pragma once

namespace kelvor {

// The library's own threads (the manager's queue, the store's, the networking thread) run under
// the batch policy: a report that wakes one does not hand it the app's processor at once (the
// woken thread would otherwise preempt the caller that woke it). Their share of the processor
// is unchanged.
class BackgroundWork {
 public:
  // Makes the calling thread background work; once per thread. A refusal leaves the defaults.
  static void enter();
};

}  // namespace kelvor
