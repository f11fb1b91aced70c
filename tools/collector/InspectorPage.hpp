#pragma once

namespace kelvor::collector {

// The page, built into the binary from inspector.html: one self-contained document (no other
// file, nothing from the network).
class InspectorPage {
 public:
  static const char* html();
};

}  // namespace kelvor::collector
