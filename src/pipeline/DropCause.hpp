#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvor {

// Why events beyond a bound were dropped, kept as values and written out as text only when a
// warning says it: the reporting call looks the bound up on every report while delivery is
// stalled, and must not build a sentence each time.
struct DropCause {
  // Why delivery is stalled (a fixed text), empty while it is healthy.
  std::string_view stall;
  int64_t maxCacheSize = 0;
  int64_t storeBytes = 0;

  std::string text() const;
};

}  // namespace kelvor
