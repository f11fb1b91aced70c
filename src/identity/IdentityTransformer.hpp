#pragma once

#include <string>

#include <kelvor/Json.hpp>

namespace kelvor {

// The three treatments of the identities an app reports: validation (with the phone-number
// split), hashing into digest dictionaries, and grouping of identities the app hashed itself.
// Pure functions; the input is never changed.
class IdentityTransformer {
 public:
  static Json normalizeIdentities(const Json& identities);
  static Json hashIdentityValues(const Json& identities);
  static Json groupHashedIdentities(const Json& identities);

  // "md5_lowercase" … "sha256_uppercase": digests of the lower- and upper-cased text.
  static Json caseVariantHashes(const std::string& text);
  // "md5", "sha1", "sha256" of the text unchanged.
  static Json plainHashes(const std::string& text);

  // The phone number split: ok is false with fewer than two parts.
  struct PhoneParts {
    bool ok = false;
    std::string number, withCountryCode, e164;
  };
  static PhoneParts splitPhoneNumber(const std::string& value);
};

}  // namespace kelvor
