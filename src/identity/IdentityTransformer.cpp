#include "identity/IdentityTransformer.hpp"

#include <array>
#include <regex>
#include <string_view>
#include <utility>

#include <kelvor/Log.hpp>

#include "identity/CaseMapping.hpp"
#include "identity/Digest.hpp"
#include "support/Text.hpp"

namespace kelvor {
namespace {

struct HashedKey {
  const char* key;
  const char* id;
  const char* type;
};

constexpr std::array<HashedKey, 21> hashedIdentityKeys{{
    {"email_sha256_lowercase", "email", "sha256_lowercase"},
    {"email_sha256_uppercase", "email", "sha256_uppercase"},
    {"email_md5_lowercase", "email", "md5_lowercase"},
    {"email_md5_uppercase", "email", "md5_uppercase"},
    {"email_sha1_lowercase", "email", "sha1_lowercase"},
    {"email_sha1_uppercase", "email", "sha1_uppercase"},
    {"loginid_sha256_lowercase", "loginid", "sha256_lowercase"},
    {"loginid_sha256_uppercase", "loginid", "sha256_uppercase"},
    {"loginid_md5_lowercase", "loginid", "md5_lowercase"},
    {"loginid_md5_uppercase", "loginid", "md5_uppercase"},
    {"loginid_sha1_lowercase", "loginid", "sha1_lowercase"},
    {"loginid_sha1_uppercase", "loginid", "sha1_uppercase"},
    {"cellno_without_country_code_sha256", "cellno_without_country_code", "sha256"},
    {"cellno_without_country_code_md5", "cellno_without_country_code", "md5"},
    {"cellno_without_country_code_sha1", "cellno_without_country_code", "sha1"},
    {"cellno_with_country_code_sha256", "cellno_with_country_code", "sha256"},
    {"cellno_with_country_code_md5", "cellno_with_country_code", "md5"},
    {"cellno_with_country_code_sha1", "cellno_with_country_code", "sha1"},
    {"cellno_e164_sha256", "cellno_e164", "sha256"},
    {"cellno_e164_md5", "cellno_e164", "md5"},
    {"cellno_e164_sha1", "cellno_e164", "sha1"},
}};

constexpr std::array<std::string_view, 5> rawIdentityKeys{"email", "cellno", "cellno_cc", "loginid",
                                                          "cellno_e164"};
constexpr std::array<std::string_view, 2> caseVariantKeys{"email", "loginid"};
constexpr std::array<std::string_view, 3> phoneNumberKeys{"cellno", "cellno_cc", "cellno_e164"};

template <size_t N>
bool contains(const std::array<std::string_view, N>& list, const std::string& key) {
  for (auto item : list) {
    if (item == key) return true;
  }
  return false;
}

const HashedKey* findHashedKey(const std::string& key) {
  for (const auto& row : hashedIdentityKeys) {
    if (key == row.key) return &row;
  }
  return nullptr;
}

std::string textOf(const Json& value) {
  return value.is_string() ? value.get<std::string>() : std::string();
}

std::string trimSpaces(const std::string& s) {
  return Text::trim(s, false);
}

}  // namespace

IdentityTransformer::PhoneParts IdentityTransformer::splitPhoneNumber(const std::string& value) {
  // Never destroyed: the manager's queue may still use it while the process exits.
  static const auto* removed = new std::regex("[-+#()$*_]");
  std::string cleaned = std::regex_replace(trimSpaces(value), *removed, "");
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= cleaned.size()) {
    size_t blank = cleaned.find(' ', start);
    if (blank == std::string::npos) blank = cleaned.size();
    if (blank > start) parts.push_back(cleaned.substr(start, blank - start));
    start = blank + 1;
  }
  PhoneParts out;
  if (parts.size() < 2) return out;
  out.ok = true;
  out.number = parts[1];
  out.withCountryCode = parts[0] + parts[1];
  out.e164 = "+" + parts[0] + parts[1];
  return out;
}

Json IdentityTransformer::normalizeIdentities(const Json& identities) {
  Json result = Json::object();
  if (!identities.is_object()) return result;
  for (const auto& [key, value] : identities.items()) {
    std::string s = textOf(value);
    if (s.empty()) {
      Log::error("Invalid identity [" + key + "] - Identity attribute should not be empty");
      continue;
    }
    if (key == "cellno") {
      PhoneParts parts = splitPhoneNumber(s);
      if (parts.ok) {
        result["cellno"] = parts.number;
        result["cellno_cc"] = parts.withCountryCode;
        result["cellno_e164"] = parts.e164;
        continue;
      }
    }
    if (findHashedKey(key) != nullptr) continue;  // hashed keys are not plain identities
    result[key] = value;
  }
  return result;
}

Json IdentityTransformer::hashIdentityValues(const Json& identities) {
  Json result = Json::object();
  if (!identities.is_object()) return result;
  for (const auto& [key, value] : identities.items()) {
    if (contains(caseVariantKeys, key)) {
      result[key] = caseVariantHashes(textOf(value));
    } else if (contains(phoneNumberKeys, key)) {
      result[key] = plainHashes(textOf(value));
    } else {
      result[key] = value;
    }
  }
  return result;
}

Json IdentityTransformer::groupHashedIdentities(const Json& identities) {
  Json result = Json::object();
  if (!identities.is_object()) return result;
  for (const auto& [key, value] : identities.items()) {
    const HashedKey* row = findHashedKey(key);
    if (row != nullptr && value.is_string() && !value.get<std::string>().empty()) {
      Json& group = result[row->id];
      if (!group.is_object()) group = Json::object();
      group[row->type] = value;
      continue;
    }
    if (contains(rawIdentityKeys, key)) continue;  // plain identities are not sent
    result[key] = value;
  }
  return result;
}

Json IdentityTransformer::caseVariantHashes(const std::string& text) {
  const std::string lower = CaseMapping::lower(text);
  const std::string upper = CaseMapping::upper(text);
  return Json{{"md5_lowercase", Digest::md5Hex(lower)},
              {"md5_uppercase", Digest::md5Hex(upper)},
              {"sha1_lowercase", Digest::sha1Hex(lower)},
              {"sha1_uppercase", Digest::sha1Hex(upper)},
              {"sha256_lowercase", Digest::sha256Hex(lower)},
              {"sha256_uppercase", Digest::sha256Hex(upper)}};
}

Json IdentityTransformer::plainHashes(const std::string& text) {
  return Json{{"md5", Digest::md5Hex(text)},
              {"sha1", Digest::sha1Hex(text)},
              {"sha256", Digest::sha256Hex(text)}};
}

}  // namespace kelvor
