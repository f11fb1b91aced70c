#include "platform/NotificationCenter.hpp"

#include <vector>

namespace kelvor {

NotificationCenter& NotificationCenter::defaultCenter() {
  static auto* center = new NotificationCenter();
  return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(const std::string& name,
                                                          const void* sender, Observer observer) {
  std::lock_guard lock(mutex_);
  Token token = next_++;
  observers_.emplace(token, Entry{name, sender, std::move(observer)});
  return token;
}

void NotificationCenter::removeObserver(Token token) {
  std::lock_guard lock(mutex_);
  observers_.erase(token);
}

void NotificationCenter::post(const std::string& name, const void* sender) {
  std::vector<Observer> matching;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [token, entry] : observers_) {
      if (entry.name == name && (entry.sender == nullptr || entry.sender == sender)) {
        matching.push_back(entry.observer);
      }
    }
  }
  for (const auto& observer : matching) observer(sender);
}

}  // namespace kelvor
