#pragma once

#include <mutex>

#include <kelvor/Json.hpp>

namespace kelvor {

// The page properties of the screen the user is on; not persisted. Written from the app's
// thread and read on the events manager's queue, so guarded.
class PageProvider {
 public:
  PageProvider() = default;

  Json pageProperty() const;
  // A given key replaces an existing one; keys are never removed. Returns the merged map.
  Json merge(const Json& properties);

 private:
  mutable std::mutex mutex_;
  Json pageProperty_ = Json::object();
};

}  // namespace kelvor
