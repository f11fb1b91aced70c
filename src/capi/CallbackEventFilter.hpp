#pragma once

#include <kelvor/kelvor.h>
#include <kelvor/Platform.hpp>

namespace kelvor {

// A C host's event filter (kelvor_set_event_filter) as the library's EventFilter: the record goes
// out as JSON text, and the text the filter returns, from malloc(), is read and freed here.
class CallbackEventFilter {
 public:
  static EventFilter make(kelvor_event_filter filter, void* userData);
};

}  // namespace kelvor
