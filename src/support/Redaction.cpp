#include "support/Redaction.hpp"
#include "support/ForkSafeMutex.hpp"

#include <cctype>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

namespace kelvor {
namespace {

constexpr const char* kMask = "***";
// Maps and lists deeper than this are left as they are: input is limited to 64 levels anyway.
constexpr size_t kMaxDepth = 80;

struct Secrets {
  ForkSafeMutex mutex{ProcessFork::redaction};
  std::vector<std::string> texts;
};

Secrets& secrets() {
  static auto* s = new Secrets();  // never destroyed: threads may log while the process exits
  return *s;
}

// The identity keys the library knows: as the host gives them, as they are kept and sent
// ("user_email"), and their digests ("email_md5_lowercase"). A key that merely contains one of
// them ("email_opt_in", "phone_model") is the host's own and stays readable.
bool isIdentityKey(std::string_view key) {
  if (key.rfind("user_", 0) == 0) key.remove_prefix(5);
  for (std::string_view identity :
       {"email", "loginid", "cellno", "cellno_cc", "cellno_without_country_code",
        "cellno_with_country_code", "cellno_e164"}) {
    if (key == identity) return true;
    if (key.size() <= identity.size() + 1 || key.rfind(identity, 0) != 0 ||
        key[identity.size()] != '_') {
      continue;
    }
    std::string_view digest = key.substr(identity.size() + 1);
    for (std::string_view suffix : {"_lowercase", "_uppercase"}) {
      if (digest.size() > suffix.size() && digest.substr(digest.size() - suffix.size()) == suffix) {
        digest.remove_suffix(suffix.size());
      }
    }
    if (digest == "md5" || digest == "sha1" || digest == "sha256") return true;
  }
  return false;
}

void maskIdentities(Json& value, size_t depth) {
  if (depth > kMaxDepth || !value.is_structured()) return;
  if (value.is_object()) {
    for (auto& [key, child] : value.items()) {
      // An identity's value goes whole, its digests with it.
      if (isIdentityKey(key)) {
        child = kMask;
      } else {
        maskIdentities(child, depth + 1);
      }
    }
    return;
  }
  for (auto& child : value) maskIdentities(child, depth + 1);
}

bool isLocalPart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '%' ||
         c == '+' || c == '-';
}

bool isDomain(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

void maskEmails(std::string& text) {
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
    size_t begin = at;
    while (begin > 0 && isLocalPart(text[begin - 1])) --begin;
    size_t end = at + 1;
    while (end < text.size() && isDomain(text[end])) ++end;
    const std::string domain = text.substr(at + 1, end - at - 1);
    if (begin == at || domain.find('.') == std::string::npos) continue;
    text.replace(begin, end - begin, std::string(kMask) + "@" + kMask);
    at = begin + 4;
  }
}

void maskPhoneNumbers(std::string& text) {
  for (size_t at = text.find('+'); at != std::string::npos; at = text.find('+', at + 1)) {
    size_t end = at + 1;
    size_t digits = 0;
    while (end < text.size()) {
      char c = text[end];
      if (std::isdigit(static_cast<unsigned char>(c))) {
        ++digits;
      } else if (c != ' ' && c != '-' && c != '(' && c != ')' && c != '.') {
        break;
      }
      ++end;
    }
    if (digits >= 7) text.replace(at, end - at, std::string("+") + kMask);
  }
}

// "key":"value" or "key":123 in JSON text, where the key names an identity: the value goes.
void maskIdentityValues(std::string& text) {
  for (size_t colon = text.find("\":"); colon != std::string::npos;
       colon = text.find("\":", colon + 2)) {
    const size_t open = text.rfind('"', colon - 1);
    if (open == std::string::npos ||
        !isIdentityKey(std::string_view(text).substr(open + 1, colon - open - 1))) {
      continue;
    }
    size_t start = colon + 2;
    size_t end = start;
    if (start < text.size() && text[start] == '"') {
      for (end = start + 1; end < text.size() && text[end] != '"'; ++end) {
        if (text[end] == '\\') ++end;
      }
      if (end < text.size()) ++end;
    } else {
      while (end < text.size() && (std::isdigit(static_cast<unsigned char>(text[end])) ||
                                   text[end] == '-' || text[end] == '+')) {
        ++end;
      }
    }
    if (end > start) text.replace(start, end - start, std::string("\"") + kMask + "\"");
  }
}

}  // namespace

Json Redaction::identities(const Json& value) {
  Json copy = value;
  maskIdentities(copy, 0);
  return copy;
}

std::string Redaction::url(const std::string& url) {
  std::string out = url;
  for (const char* name : {"payload=", "w_k="}) {
    size_t at = out.find(name);
    while (at != std::string::npos) {
      if (at == 0 || out[at - 1] == '?' || out[at - 1] == '&') {
        const size_t start = at + std::string(name).size();
        size_t end = out.find('&', start);
        if (end == std::string::npos) end = out.size();
        out.replace(start, end - start, kMask);
      }
      at = out.find(name, at + 1);
    }
  }
  return out;
}

std::string Redaction::line(std::string text) {
  if (text.find("\":") != std::string::npos) maskIdentityValues(text);
  if (text.find('@') != std::string::npos) maskEmails(text);
  if (text.find('+') != std::string::npos) maskPhoneNumbers(text);
  std::lock_guard lock(secrets().mutex);
  for (const auto& secret : secrets().texts) {
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at)) {
      text.replace(at, secret.size(), kMask);
      at += 3;
    }
  }
  return text;
}

void Redaction::addSecret(const std::string& secret) {
  // Short texts would mask ordinary words.
  if (secret.size() < 6) return;
  std::lock_guard lock(secrets().mutex);
  for (const auto& known : secrets().texts) {
    if (known == secret) return;
  }
  secrets().texts.push_back(secret);
}

}  // namespace kelvor
