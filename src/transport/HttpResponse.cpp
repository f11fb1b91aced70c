#include "transport/HttpResponse.hpp"

namespace kelvor {

std::string HttpResponse::description() const {
  return "<HTTPURLResponse> { URL: " + url + " } { Status Code: " + std::to_string(statusCode) +
         " }";
}

}  // namespace kelvor
