#pragma once

#include <any>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <kelvor/export.hpp>

namespace kelvor {

// A registry of callbacks keyed by action type ("consent_set", "ask_consent",
// "on_consent_persist"). Dispatch walks a copy of the list, so a callback may register more.
// Actions run on the dispatching thread (the caller of initialize, setConsent or
// listenToAskForConsent, or the library's queue that saw the app's TCF values change), with no
// lock held: they must be thread-safe and may call the library, initialize excepted. An
// exception an action throws is caught and written to standard error; the others still run.
class KELVOR_EXPORT ActionListener {
 public:
  using Action = std::function<void(const std::any&)>;

  ActionListener() = default;
  virtual ~ActionListener() = default;

  virtual void addActionToListener(const std::string& type, Action action);
  virtual void dispatchActionListener(const std::string& type, const std::any& data);
  virtual void removeActionFromListener(const std::string& type);

 protected:
  // Callers of the registry come from several threads; the map is guarded, the callbacks run
  // outside the lock.
  std::mutex mutex_;
  std::map<std::string, std::vector<Action>> listener;
};

}  // namespace kelvor
