#include "platform/Uuid.hpp"

#include <openssl/rand.h>
#include <uuid/uuid.h>

namespace kelvor {

std::string Uuid::random() {
  uuid_t id;
  // OpenSSL's generator runs in user space (libuuid asks the kernel and reseeds its own
  // generator for every id, a fifth of the cost of an event); the bits of a version-4 UUID are
  // then set as uuid_generate_random sets them.
  if (RAND_bytes(id, sizeof id) == 1) {
    id[6] = static_cast<unsigned char>((id[6] & 0x0F) | 0x40);
    id[8] = static_cast<unsigned char>((id[8] & 0x3F) | 0x80);
  } else {
    uuid_generate_random(id);
  }
  char text[37];
  uuid_unparse_upper(id, text);
  return std::string(text, 36);
}

}  // namespace kelvor
