#pragma once

#include <functional>

namespace kelvor::detail {

// For tests only: runs on the writer after the new file is written and synced, before it
// replaces the old one, while the writer holds its write lock. An empty function removes it.
void setPreferencesBeforeReplaceHook(std::function<void()> hook);

}  // namespace kelvor::detail
