#pragma once

#include <cstdint>
#include <string>

namespace kelvor {

// What arrived from the server: the status and the URL asked. The body is not used.
struct HttpResponse {
  int64_t statusCode = 0;
  std::string url;
  std::string body;

  std::string description() const;
};

}  // namespace kelvor
