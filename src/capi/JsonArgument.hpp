#pragma once

#include <kelvor/kelvor.h>
#include <kelvor/Json.hpp>

namespace kelvor {

// Reads the JSON text a C host passes where the C++ call takes a map.
class JsonArgument {
 public:
  // Parses `text` into `object`. Text that is not JSON answers KELVOR_E_INVALID_JSON, JSON that
  // is not an object or a NULL that is not `optional` KELVOR_E_INVALID_ARGUMENT, each with an
  // error line naming `function`; a NULL that is optional leaves an empty object.
  static kelvor_status parseObject(const char* function, const char* text, bool optional,
                                   Json& object);
};

}  // namespace kelvor
