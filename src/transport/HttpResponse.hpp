#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kelvor {

// What arrived from the server: the status and the URL asked. The body is not used.
struct HttpResponse {
  int64_t statusCode = 0;
  std::string url;
  std::string body;
  // The wait the server asked for with Retry-After (seconds or an HTTP date), when it did.
  std::optional<std::chrono::seconds> retryAfter;

  std::string description() const;
};

}  // namespace kelvor
