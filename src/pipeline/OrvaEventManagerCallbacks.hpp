#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "pipeline/StoredRow.hpp"

namespace kelvor {

class DispatchQueue;

// How the store and upload queues reach the events manager that owns them, without naming it.
class OrvaEventManagerCallbacks {
 public:
  virtual ~OrvaEventManagerCallbacks() = default;
  virtual DispatchQueue& dispatchQueue() = 0;
  // Stores an event whose immediate send failed.
  virtual void storeQuickEventToDB(StoredRow row) = 0;
  // Why events cannot be delivered now (consent undecided or refused, uploads backing off, no
  // network; a fixed text), empty while they can: the store keeps to maxCacheSize only while
  // stalled.
  virtual std::string_view stallCause() const = 0;
  // The store's queue: a commit succeeded, so accepted rows it could not delete before can go.
  virtual void storeTakesWrites() = 0;
};

}  // namespace kelvor
