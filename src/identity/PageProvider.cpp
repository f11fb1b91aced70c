#include "identity/PageProvider.hpp"

namespace kelvor {

Json PageProvider::pageProperty() const {
  std::lock_guard lock(mutex_);
  return *pageProperty_;
}

std::shared_ptr<const Json> PageProvider::snapshot() const {
  std::lock_guard lock(mutex_);
  return pageProperty_;
}

Json PageProvider::merge(const Json& properties) {
  std::lock_guard lock(mutex_);
  Json merged = *pageProperty_;
  if (properties.is_object()) {
    for (const auto& [key, value] : properties.items()) merged[key] = value;
  }
  pageProperty_ = std::make_shared<const Json>(merged);
  return merged;
}

}  // namespace kelvor
