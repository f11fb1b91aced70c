#pragma once

#include <memory>

#include "pipeline/Events.hpp"

namespace kelvor {

class DispatchQueue;
class IdentityProvider;

// How the store and upload queues reach the events manager that owns them, without naming it.
class OrvaEventManagerCallbacks {
 public:
  virtual ~OrvaEventManagerCallbacks() = default;
  virtual DispatchQueue& dispatchQueue() = 0;
  virtual std::shared_ptr<IdentityProvider> identityProvider() const = 0;
  // Enqueues the size trigger as an exclusive task on the manager's queue. After a full batch
  // was accepted, any stored record is enough to send the next one, so a backlog drains to its
  // last partial batch without waiting for the timer.
  virtual void enqueueScheduleEventDispatchOnUpdate(bool afterFullBatch = false) = 0;
  virtual void scheduleEventDispatchOnUpdate(bool afterFullBatch = false) = 0;
  virtual void scheduleIntervalDispatch() = 0;
  virtual void storeQuickEventToDB(const Events& event) = 0;
};

}  // namespace kelvor
