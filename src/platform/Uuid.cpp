#include "platform/Uuid.hpp"

#include <uuid/uuid.h>

namespace kelvor {

std::string Uuid::random() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string(text, 36);
}

}  // namespace kelvor
