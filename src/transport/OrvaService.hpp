#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kelvor/Option.hpp>

#include "pipeline/Events.hpp"
#include "transport/HttpService.hpp"

namespace kelvor {

// The ingestion endpoint: the batch POST and the identity GET, both on <base URL>fp.
class OrvaService {
 public:
  static constexpr const char* path = "fp";

  OrvaService(std::shared_ptr<HttpService> httpService, std::shared_ptr<Option> option,
              std::string baseUrl);

  // POST {"events":[...]} with the Basic credential "w_k:<write key>".
  void sendEvents(const std::vector<Events>& events, const QueryMap& queryParams,
                  ResponseCallback success, ResponseCallback failure);
  // The same POST with a body already in JSON text ({"events":[...]}).
  void sendEventsBody(std::string body, const QueryMap& queryParams, ResponseCallback success,
                      ResponseCallback failure);
  // GET with the identity query map; the write key travels in "w_k".
  void sendIdentity(const QueryMap& queryParams, ResponseCallback success,
                    ResponseCallback failure);
  // "[Code] :: <code> - <response>" at the info level.
  static void logResponse(int64_t code, const std::optional<HttpResponse>& response,
                          const TransferError& error);

  std::string url() const { return baseUrl_ + path; }
  static std::string credential(const std::string& writeKey);

 private:
  std::shared_ptr<HttpService> httpService_;
  std::shared_ptr<Option> option_;
  std::string baseUrl_;
};

}  // namespace kelvor
