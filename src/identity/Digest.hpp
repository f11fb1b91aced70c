#pragma once

#include <string>
#include <string_view>

namespace kelvor {

// MD5, SHA-1 and SHA-256 of UTF-8 text as lower-case hexadecimal, through OpenSSL's EVP.
class Digest {
 public:
  static std::string md5Hex(std::string_view text);
  static std::string sha1Hex(std::string_view text);
  static std::string sha256Hex(std::string_view text);
  static std::string hexString(const unsigned char* bytes, size_t length);
};

}  // namespace kelvor
