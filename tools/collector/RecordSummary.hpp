#pragma once

#include <ostream>
#include <string>

#include "TrackingPlan.hpp"

namespace kelvor::collector {

// Reads a collector's record (JSON lines) and prints what the endpoint received: batches and
// their sizes, a few events with their enriched fields, the decoded identity payload.
class RecordSummary {
 public:
  // Returns the number of distinct events accepted, or -1 when the record cannot be read.
  static int print(const std::string& recordFile, std::ostream& out);
  // Checks every accepted event (each eventUUID once) against the plan and prints each
  // violation; returns how many events break it, or -1 when the record cannot be read.
  static int checkPlan(const std::string& recordFile, const TrackingPlan& plan, std::ostream& out);
};

}  // namespace kelvor::collector
