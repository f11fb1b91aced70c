#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "pipeline/StoredRow.hpp"

namespace kelvor {

class DispatchQueue;

// How the store and upload queues reach the events manager that owns them, without naming it.
class OrvaEventManagerCallbacks {
 public:
  virtual ~OrvaEventManagerCallbacks() = default;
  virtual DispatchQueue& dispatchQueue() = 0;
  // The size trigger, run where it is called (the store's queue, right after a commit).
  virtual void scheduleEventDispatchOnUpdate() = 0;
  virtual void scheduleIntervalDispatch() = 0;
  // Stores an event whose immediate send failed.
  virtual void storeQuickEventToDB(StoredRow row) = 0;
  // Why events cannot be delivered now (consent undecided or refused, uploads backing off, no
  // network), empty while they can: the store keeps to maxCacheSize only while stalled.
  virtual std::string stallCause() const = 0;
  // One upload try after `delay`, the end of a back-off; replaces an earlier one.
  virtual void scheduleRetry(std::chrono::milliseconds delay) = 0;
};

}  // namespace kelvor
