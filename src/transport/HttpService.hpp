#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <kelvor/DeliveryStats.hpp>
#include <kelvor/Json.hpp>

#include "transport/HttpResponse.hpp"

namespace kelvor {

using QueryMap = std::map<std::string, std::string>;
// Why a request failed: no answer (and libcurl's words for it), or a failure status. Reason
// none when it succeeded.
struct TransferError {
  FailureReason reason = FailureReason::none;
  std::string text;
};

// Status code (0 when no HTTP response arrived), the response, when one arrived, and why it
// failed, when it did.
using ResponseCallback = std::function<void(
    int64_t code, const std::optional<HttpResponse>& response, const TransferError& error)>;

// The library's HTTP client: one networking thread drives a curl multi handle, so requests never
// block the caller and connections and the loaded CA store are kept between requests. Exactly
// one callback runs per request, on the networking thread; a request that cannot be formed (no
// valid URL) gets its failure callback with status 0, like one that got no answer.
class HttpService {
 public:
  static constexpr long timeoutSeconds = 60;

  // extraCABundle: a PEM file trusted in addition to the system's (empty: none). proxy: the
  // proxy for every request ("" for none at all); nothing lets libcurl read https_proxy and
  // no_proxy. TLS to the endpoint is verified through it as without it.
  explicit HttpService(const std::filesystem::path& extraCABundle = {},
                       std::optional<std::string> proxy = std::nullopt);
  // Transfers still running are abandoned without a callback.
  ~HttpService();
  // Stops the networking thread now (the same as the destructor); later requests are dropped.
  void stop();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // userAgent: the User-Agent header, none when empty.
  void post(const std::string& url, const Json& body, const QueryMap& queryParams,
            const std::string& authToken, ResponseCallback success, ResponseCallback failure,
            std::string userAgent = {});
  // The body as JSON text already.
  void postBody(const std::string& url, std::string body, const QueryMap& queryParams,
                const std::string& authToken, ResponseCallback success, ResponseCallback failure,
                std::string userAgent = {});
  void get(const std::string& url, const QueryMap& queryParams, ResponseCallback success,
           ResponseCallback failure, std::string userAgent = {});

  // Waits until every request started so far has run its callback (or the limit passed).
  bool waitUntilIdle(std::chrono::milliseconds limit);
  // Requests started since construction.
  uint64_t submittedCount() const;

  // Every value but RFC 3986's unreserved characters is percent-encoded, so Base64 '+', '/' and
  // '=' arrive as they were sent.
  static std::string percentEncode(const std::string& text);

  // Why the library will not send to the base URL `url`: it cannot be read, it is not https
  // although its host is not this machine (the write key and identities would travel in clear
  // text), or no request can be formed from it. Nothing when it is fine.
  static std::optional<std::string> refusedUrl(const std::string& url);

  // A Retry-After value ("120" or "Wed, 21 Oct 2026 07:28:00 GMT") as the wait until then,
  // never negative; nothing when it cannot be read. A date is measured against the answer's own
  // Date header when it has one (the server's clock: the device's may be far off), else
  // against the device's clock.
  static std::optional<std::chrono::seconds> parseRetryAfter(std::string value,
                                                             const std::string& serverDate = {});

  // What a libcurl result code means to the host. CURLE_OK is none.
  static FailureReason reasonFor(int curlCode);

  // Why a CA bundle would trust nothing: it cannot be read, or holds no PEM certificate.
  // Nothing when it holds at least one.
  static std::optional<std::string> unusableCABundle(const std::filesystem::path& file);

  // Adds the extra CA certificates to a new TLS context (libcurl's context callback).
  static int addExtraCertificates(void* curl, void* sslContext, void* state);

 private:
  struct Request;
  struct State;
  // A request for the URL with its non-empty query values; marked unsendable (and "Unable to
  // create URL") when no URL can be formed.
  static std::unique_ptr<Request> newRequest(const std::string& url, const QueryMap& queryParams,
                                             ResponseCallback success, ResponseCallback failure,
                                             std::string userAgent);
  void submit(std::unique_ptr<Request> request);
  static void run(const std::shared_ptr<State>& state);
  // True in a child of fork: the networking thread is the parent's and does not exist here.
  bool parentsThread() const;

  std::shared_ptr<State> state_;
  std::thread worker_;
};

}  // namespace kelvor
