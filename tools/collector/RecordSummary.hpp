#pragma once

#include <ostream>
#include <string>

namespace kelvor::collector {

// Reads a collector's record (JSON lines) and prints what the endpoint received: batches and
// their sizes, a few events with their enriched fields, the decoded identity payload.
class RecordSummary {
 public:
  // Returns the number of distinct events accepted, or -1 when the record cannot be read.
  static int print(const std::string& recordFile, std::ostream& out);
};

}  // namespace kelvor::collector
