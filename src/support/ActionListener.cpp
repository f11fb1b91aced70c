#include <kelvor/ActionListener.hpp>

#include "support/HostCallback.hpp"

namespace kelvor {

void ActionListener::addActionToListener(const std::string& type, Action action) {
  std::lock_guard lock(mutex_);
  listener[type].push_back(std::move(action));
}

void ActionListener::dispatchActionListener(const std::string& type, const std::any& data) {
  std::vector<Action> actions;
  {
    std::lock_guard lock(mutex_);
    auto found = listener.find(type);
    if (found == listener.end()) return;
    actions = found->second;  // a callback may change the registry while we walk the copy
  }
  for (const auto& action : actions) {
    // Host actions among them: one that throws does not keep the others from running.
    if (action) HostCallback::run("a consent action listener", [&] { action(data); });
  }
}

void ActionListener::removeActionFromListener(const std::string& type) {
  std::lock_guard lock(mutex_);
  listener.erase(type);
}

}  // namespace kelvor
