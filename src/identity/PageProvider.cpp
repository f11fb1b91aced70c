#include "identity/PageProvider.hpp"

namespace kelvor {

Json PageProvider::pageProperty() const {
  std::lock_guard lock(mutex_);
  return pageProperty_;
}

Json PageProvider::merge(const Json& properties) {
  std::lock_guard lock(mutex_);
  if (properties.is_object()) {
    for (const auto& [key, value] : properties.items()) pageProperty_[key] = value;
  }
  return pageProperty_;
}

}  // namespace kelvor
