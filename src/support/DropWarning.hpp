#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace kelvor {

// The warning that events were dropped, said once per cause and then at most once per interval
// with the count since the last line: an outage drops events one by one, and a line per event
// would bury everything else in the log. Any thread.
class DropWarning {
 public:
  static constexpr std::chrono::seconds defaultInterval{10};

  explicit DropWarning(std::chrono::steady_clock::duration interval = defaultInterval)
      : interval_(interval) {}

  // `count` events were dropped `where` ("in the store") for `cause`; writes the line when the
  // cause is new or the interval since its last line has passed.
  void dropped(size_t count, const std::string& where, const std::string& cause);
  // Writes the counts not said yet (the library stops).
  void sayPending();

 private:
  struct Cause {
    std::string where;
    std::string cause;
    size_t unsaid = 0;
    std::chrono::steady_clock::time_point lastLine;
    std::string line(bool again) const;
  };

  const std::chrono::steady_clock::duration interval_;
  std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Cause> causes_;  // by where and cause
};

}  // namespace kelvor
