#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "transport/OrvaService.hpp"

namespace kelvor {

struct Events;

// One event as the store keeps it: the JSON texts of its columns. Rows on their way in share the
// page and user texts of the moment they were reported; rows read back own theirs. The wire form
// is spliced from these texts and never parsed back into values.
struct StoredRow {
  int64_t rowid = 0;  // 0 until stored
  uint64_t seq = 0;   // order of the report in this process
  std::string eventUUID;
  std::string event;
  std::shared_ptr<const std::string> page;
  std::shared_ptr<const std::string> user;
  std::string version;

  static StoredRow fromRecord(const Events& record);
  static std::shared_ptr<const std::string> text(std::string value);

  // Bytes the row takes in the store.
  size_t storedSize() const;
  // Checks that the row can be sent: an id, an event object with a text "eventName", nesting
  // within bounds. A page or user column that is not an object (or is missing) reads as empty.
  bool decode();
  // The columns as the request is built from them; valid while the row lives unchanged.
  EventTexts texts() const;
  // At least the bytes the row takes in a batch body.
  size_t wireSize() const;
  // The record again, for the library's diagnostic lines and the store's record interface.
  Events toRecord() const;
};

}  // namespace kelvor
