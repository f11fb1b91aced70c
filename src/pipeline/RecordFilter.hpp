#pragma once

#include <kelvor/Platform.hpp>

#include "pipeline/StoredRow.hpp"

namespace kelvor {

// The host's event filter (Platform::setEventFilter) applied to one row on the manager's queue:
// the row's texts become the record as it would go on the wire, the filter edits or drops it, and
// what it returned becomes the row's texts again. The row keeps its eventUUID whatever the filter
// did with it.
class RecordFilter {
 public:
  enum class Outcome {
    keep,    // the row now holds what the filter returned
    drop,    // the filter dropped the event
    failed,  // the filter threw or returned no usable record; an error line said which
  };

  RecordFilter() = default;
  explicit RecordFilter(EventFilter filter) : filter_(std::move(filter)) {}

  bool active() const { return static_cast<bool>(filter_); }
  // Never throws.
  Outcome apply(StoredRow& row) const noexcept;

  // The record the filter sees for a row.
  static Json record(const StoredRow& row);

 private:
  EventFilter filter_;
};

}  // namespace kelvor
