#pragma once

#include <memory>
#include <mutex>

#include <kelvor/Json.hpp>

#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// The page properties of the screen the user is on; not persisted. Written from the app's
// thread and read on the events manager's queue, so guarded.
class PageProvider {
 public:
  PageProvider() = default;

  Json pageProperty() const;
  // The page map as it is now; a change makes a new one, so an event can hold it as it was.
  std::shared_ptr<const Json> snapshot() const;
  // A given key replaces an existing one; keys are never removed. Returns the merged map.
  Json merge(const Json& properties);

 private:
  mutable ForkSafeMutex mutex_{ProcessFork::page};
  std::shared_ptr<const Json> pageProperty_ = std::make_shared<const Json>(Json::object());
};

}  // namespace kelvor
