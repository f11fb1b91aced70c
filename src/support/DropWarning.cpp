#include "support/DropWarning.hpp"

#include <vector>

#include <kelvor/Log.hpp>

namespace kelvor {

std::string DropWarning::Cause::line(bool again) const {
  return "dropped " + std::to_string(unsaid) + " of the oldest events " + where +
         (again ? " since the last such line" : "") + ": " + cause;
}

void DropWarning::dropped(size_t count, const std::string& where, const std::string& cause) {
  if (count == 0) return;
  const auto now = std::chrono::steady_clock::now();
  std::string text;
  {
    std::lock_guard lock(mutex_);
    auto [found, added] = causes_.try_emplace(std::make_pair(where, cause));
    Cause& c = found->second;
    if (added) {
      c.where = where;
      c.cause = cause;
    }
    c.unsaid += count;
    if (!added && now - c.lastLine < interval_) return;
    text = c.line(!added);
    c.unsaid = 0;
    c.lastLine = now;
  }
  Log::warning(text);
}

void DropWarning::sayPending() {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    for (auto& [key, c] : causes_) {
      if (c.unsaid == 0) continue;
      lines.push_back(c.line(true));
      c.unsaid = 0;
      c.lastLine = std::chrono::steady_clock::now();
    }
  }
  for (const auto& text : lines) Log::warning(text);
}

}  // namespace kelvor
