#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "support/ForkSafeMutex.hpp"

namespace kelvor {

// Observers keyed by name and sender, called synchronously on the posting thread.
class NotificationCenter {
 public:
  using Observer = std::function<void(const void* sender)>;
  using Token = uint64_t;

  static NotificationCenter& defaultCenter();

  // A null sender observes the name from every sender.
  Token addObserver(const std::string& name, const void* sender, Observer observer);
  void removeObserver(Token token);
  void post(const std::string& name, const void* sender);

 private:
  struct Entry {
    std::string name;
    const void* sender;
    Observer observer;
  };
  ForkSafeMutex mutex_{ProcessFork::notifications};
  std::map<Token, Entry> observers_;
  Token next_ = 1;
};

}  // namespace kelvor
