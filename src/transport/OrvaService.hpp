#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <kelvor/ConsentData.hpp>
#include <kelvor/Json.hpp>
#include <kelvor/Option.hpp>

#include "transport/HttpService.hpp"

namespace kelvor {

// What the consent record says about a request: the two purposes as given, and the record itself
// for the CMP's words.
struct RequestConsent {
  bool track = false;
  bool identify = false;
  ConsentData record;
};

// One event as the store keeps it: the JSON texts of its event, page and user objects, and its
// id and version as plain text. The texts are spliced into the body, never parsed again.
struct EventTexts {
  std::string_view eventUUID;
  std::string_view event;
  std::string_view page;  // empty or "{}": the element has no "page"
  std::string_view user;  // empty reads as {}
  std::string_view version;
};

// The ingestion endpoint: the batch POST and the identity GET, both on <base URL>fp. Every
// request is built here from values (events, identity, consent record, options), so the wire
// format lives in one place.
class OrvaService {
 public:
  static constexpr const char* path = "fp";
  // The User-Agent of the next request; asked per request, since the host may change its bundle
  // info while the library runs.
  using UserAgent = std::function<std::string()>;

  OrvaService(std::shared_ptr<HttpService> httpService, std::shared_ptr<Option> option,
              std::string baseUrl, UserAgent userAgent);

  // POSTs a body made by batchBody with the Basic credential "w_k:<write key>".
  void sendEvents(std::string body, const RequestConsent& consent, ResponseCallback success,
                  ResponseCallback failure);
  // GET with the renamed identities in "payload"; the write key travels in "w_k". Its answer is
  // only logged.
  void sendIdentity(const Json& identity, const RequestConsent& consent);
  // "[Code] :: <code> - <response>" at the info level.
  static void logResponse(int64_t code, const std::optional<HttpResponse>& response,
                          const TransferError& error);

  std::string url() const { return baseUrl_ + path; }
  static std::string credential(const std::string& writeKey);

  // {"event":...,"eventUUID":"...","page":...,"user":...,"version":"..."}; "page" only when it
  // has an entry.
  static void appendEvent(std::string& out, const EventTexts& event);
  // {"events":[...]}. Made before the rows change hands, so the caller may let them go at once.
  static std::string batchBody(const std::vector<EventTexts>& events);
  // The words every request carries: the purposes, and the CMP's record when the options ask
  // for it.
  static QueryMap queryWords(const Option& options, const RequestConsent& consent);
  // The identity request's words: the identities renamed for the endpoint, in Base64 JSON.
  static QueryMap identityQuery(const Option& options, const RequestConsent& consent,
                                Json identity);

 private:
  std::shared_ptr<HttpService> httpService_;
  std::shared_ptr<Option> option_;
  std::string baseUrl_;
  UserAgent userAgent_;
};

}  // namespace kelvor
