#pragma once

namespace kelvor {

// The library's own threads (the manager's queue, the store's, the networking thread) run
// behind the app's. Under the batch policy a report that wakes one does not hand it the app's
// processor at once, and at a lower weight (nice 10) the scheduler gives an app thread that
// shares a processor with them nearly all of it, so a report is not held up for a whole time
// slice of the library's work. The library's work still gets its share: the fair scheduler
// starves no thread.
class BackgroundWork {
 public:
  // Makes the calling thread background work; once per thread. A refusal leaves the defaults.
  static void enter();
};

}  // namespace kelvor
