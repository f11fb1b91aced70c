#pragma once

#include <string>

#include <kelvor/Json.hpp>

namespace kelvor {

// Keeps e-mail addresses, phone numbers and the write key out of log lines: a log is no place
// for them at any level.
class Redaction {
 public:
  // The value with the values of the identity keys the library knows (e-mail, phone numbers,
  // login id, as given, as sent with "user_" and as digests) masked, at any depth of maps and
  // lists.
  static Json identities(const Json& value);
  // The URL with the values of the query parameters that carry the key or identities masked.
  static std::string url(const std::string& url);
  // The line with e-mail addresses, "+"-led phone numbers and registered secrets masked. Every
  // log line passes here.
  static std::string line(std::string text);
  // A text that must never appear in a log line (the write key and its encodings).
  static void addSecret(const std::string& secret);
};

}  // namespace kelvor
