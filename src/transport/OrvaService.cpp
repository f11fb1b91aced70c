#include "transport/OrvaService.hpp"

#include <kelvor/Log.hpp>

#include "platform/Base64.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"

namespace kelvor {

OrvaService::OrvaService(std::shared_ptr<HttpService> httpService, std::shared_ptr<Option> option,
                         std::string baseUrl)
    : httpService_(std::move(httpService)),
      option_(std::move(option)),
      baseUrl_(std::move(baseUrl)) {}

std::string OrvaService::credential(const std::string& writeKey) {
  return Base64::encode("w_k:" + writeKey);
}

void OrvaService::sendEvents(const std::vector<Events>& events, const QueryMap& queryParams,
                             ResponseCallback success, ResponseCallback failure) {
  Json list = Json::array();
  for (const auto& record : events) list.push_back(record.toDictionary());
  Json body = {{"events", std::move(list)}};
  Log::infoLazy(
      [&] { return "OrvaService - Event dictionary : " + render(Redaction::identities(body)); });
  httpService_->post(url(), body, queryParams, credential(option_->apiKey()), std::move(success),
                     std::move(failure));
}

void OrvaService::sendEventsBody(std::string body, const QueryMap& queryParams,
                                 ResponseCallback success, ResponseCallback failure) {
  Log::infoLazy([&] {
    return "OrvaService - Event dictionary : " +
           render(Redaction::identities(Json::parse(body, nullptr, false)));
  });
  httpService_->postBody(url(), std::move(body), queryParams, credential(option_->apiKey()),
                         std::move(success), std::move(failure));
}

void OrvaService::sendIdentity(const QueryMap& queryParams, ResponseCallback success,
                               ResponseCallback failure) {
  httpService_->get(url(), queryParams, std::move(success), std::move(failure));
}

void OrvaService::logResponse(int64_t code, const std::optional<HttpResponse>& response,
                              const TransferError& /*error*/) {
  Log::info("[Code] :: " + std::to_string(code) + " - " +
            (response ? response->description() : std::string("nil")));
}

}  // namespace kelvor
