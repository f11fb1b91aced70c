#include "transport/HttpResponse.hpp"

#include "support/Redaction.hpp"

namespace kelvor {

std::string HttpResponse::description() const {
  return "<HTTPURLResponse> { URL: " + Redaction::url(url) +
         " } { Status Code: " + std::to_string(statusCode) + " }";
}

}  // namespace kelvor
