#include "transport/OrvaService.hpp"

#include <array>
#include <utility>

#include <kelvor/Log.hpp>

#include "platform/Base64.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

// The endpoint knows the identities by these names.
constexpr std::array<std::pair<const char*, const char*>, 8> identityRenaming{{
    {"ki", "user_ki"},
    {"email", "user_email"},
    {"loginid", "user_loginid"},
    {"cellno_without_country_code", "user_cellno_without_country_code"},
    {"cellno_with_country_code", "user_cellno_with_country_code"},
    {"cellno_e164", "user_cellno_e164"},
    {"advertising_id", "user_advertising_id"},
    {"att_authorization_status", "user_att_authorization_status"},
}};

// A JSON string literal; library-made ids and versions need no escaping and take the fast path.
void appendQuoted(std::string& out, std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
      out += render(Json(std::string(text)));
      return;
    }
  }
  out += '"';
  out += text;
  out += '"';
}

}  // namespace

OrvaService::OrvaService(std::shared_ptr<HttpService> httpService, std::shared_ptr<Option> option,
                         std::string baseUrl, UserAgent userAgent)
    : httpService_(std::move(httpService)),
      option_(std::move(option)),
      baseUrl_(std::move(baseUrl)),
      userAgent_(std::move(userAgent)) {}

std::string OrvaService::credential(const std::string& writeKey) {
  return Base64::encode("w_k:" + writeKey);
}

void OrvaService::appendEvent(std::string& out, const EventTexts& event) {
  out += "{\"event\":";
  out += event.event;
  out += ",\"eventUUID\":";
  appendQuoted(out, event.eventUUID);
  if (!event.page.empty() && event.page != "{}") {
    out += ",\"page\":";
    out += event.page;
  }
  out += ",\"user\":";
  out += event.user.empty() ? std::string_view("{}") : event.user;
  out += ",\"version\":";
  appendQuoted(out, event.version);
  out += '}';
}

std::string OrvaService::batchBody(const std::vector<EventTexts>& events) {
  size_t size = 16;
  for (const auto& event : events) {
    size += event.eventUUID.size() + event.event.size() + event.page.size() + event.user.size() +
            event.version.size() + 65;
  }
  std::string out;
  out.reserve(size);
  out += "{\"events\":[";
  for (size_t i = 0; i < events.size(); ++i) {
    if (i > 0) out += ',';
    appendEvent(out, events[i]);
  }
  out += "]}";
  return out;
}

QueryMap OrvaService::queryWords(const Option& options, const RequestConsent& consent) {
  QueryMap query = {{"optin", (consent.track || consent.identify) ? "yes" : "no"},
                    {"identify", render(consent.identify)},
                    {"track", render(consent.track)},
                    {"cookieSync", "false"},
                    {"env", "mApp"}};
  if (options.useConsent() && options.checkForCMP()) {
    const ConsentData& data = consent.record;
    query["cmp"] = "1";
    query["gdpr"] = data.gdprApplies.value_or(false) ? "1" : "0";
    if (data.consentString) query["gdpr_consent"] = *data.consentString;
    query["vendorConsent"] = render(data.vendorConsent.value_or(false));
  }
  return query;
}

QueryMap OrvaService::identityQuery(const Option& options, const RequestConsent& consent,
                                    Json identity) {
  QueryMap query = queryWords(options, consent);
  if (!identity.is_object()) identity = Json::object();
  Json out = Json::object();
  for (const auto& [key, renamed] : identityRenaming) {
    auto found = identity.find(key);
    if (found == identity.end()) continue;
    out[renamed] = *found;
    identity.erase(found);
  }
  for (const auto& [key, value] : identity.items()) out[key] = value;
  query["payload"] = Base64::encode(render(out));
  query["user_country"] = options.userCountry();
  query["w_k"] = Base64::encode(options.apiKey());
  return query;
}

void OrvaService::sendEvents(std::string body, const RequestConsent& consent,
                             ResponseCallback success, ResponseCallback failure) {
  Log::infoLazy([&] {
    return "OrvaService - Event dictionary : " +
           render(Redaction::identities(Json::parse(body, nullptr, false)));
  });
  httpService_->postBody(url(), std::move(body), queryWords(*option_, consent),
                         credential(option_->apiKey()), std::move(success), std::move(failure),
                         userAgent_ ? userAgent_() : std::string());
}

void OrvaService::sendIdentity(const Json& identity, const RequestConsent& consent) {
  httpService_->get(url(), identityQuery(*option_, consent, identity), logResponse, logResponse,
                    userAgent_ ? userAgent_() : std::string());
}

void OrvaService::logResponse(int64_t code, const std::optional<HttpResponse>& response,
                              const TransferError& /*error*/) {
  Log::info("[Code] :: " + std::to_string(code) + " - " +
            (response ? response->description() : std::string("nil")));
}

}  // namespace kelvor
