#include "identity/Digest.hpp"

#include <openssl/evp.h>

namespace kelvor {
namespace {

std::string digestHex(const EVP_MD* algorithm, std::string_view text) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), out, &length, algorithm, nullptr) != 1) return {};
  return Digest::hexString(out, length);
}

}  // namespace

std::string Digest::md5Hex(std::string_view text) {
  return digestHex(EVP_md5(), text);
}

std::string Digest::sha1Hex(std::string_view text) {
  return digestHex(EVP_sha1(), text);
}

std::string Digest::sha256Hex(std::string_view text) {
  return digestHex(EVP_sha256(), text);
}

std::string Digest::hexString(const unsigned char* bytes, size_t length) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += hex[bytes[i] >> 4];
    out += hex[bytes[i] & 0xF];
  }
  return out;
}

}  // namespace kelvor
