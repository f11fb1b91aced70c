#include "transport/HttpService.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <mutex>
#include <sstream>

#include <kelvor/Log.hpp>
#include <kelvor/SDKException.hpp>

#include "support/Render.hpp"
#include "identity/Utility.hpp"

namespace kelvor {
namespace {

constexpr size_t kMaxResponseBody = 64 * 1024;

size_t collectBody(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  size_t bytes = size * count;
  if (body->size() < kMaxResponseBody) {
    body->append(data, std::min(bytes, kMaxResponseBody - body->size()));
  }
  return bytes;
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return in ? buffer.str() : std::string();
}

// The system's CA bundle followed by the extra one, in a private temporary file that the
// multi handle's CA cache loads once.
std::string combinedCABundle(const std::filesystem::path& extra) {
  std::string extraPem = readFile(extra);
  if (extraPem.empty()) {
    Log::error("HttpService: cannot read the CA bundle " + extra.string());
    return {};
  }
  std::string systemPem;
  if (CURL* probe = curl_easy_init()) {
    char* defaultPath = nullptr;
    if (curl_easy_getinfo(probe, CURLINFO_CAINFO, &defaultPath) == CURLE_OK &&
        defaultPath != nullptr) {
      systemPem = readFile(defaultPath);
    }
    curl_easy_cleanup(probe);
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "kelvor-ca-XXXXXX").string();
  int fd = mkstemp(pattern.data());
  if (fd < 0) return {};
  std::string all = systemPem + "\n" + extraPem + "\n";
  bool ok = ::write(fd, all.data(), all.size()) == static_cast<ssize_t>(all.size());
  ::close(fd);
  if (!ok) {
    ::unlink(pattern.c_str());
    return {};
  }
  return pattern;
}

}  // namespace

struct HttpService::Request {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  std::string body;
  std::string responseBody;
  ResponseCallback success;
  ResponseCallback failure;

  ~Request() {
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headers);
  }
};

struct HttpService::State {
  std::mutex mutex;
  std::deque<std::unique_ptr<Request>> pending;
  bool stopping = false;
  CURLM* multi = nullptr;
  std::string caFile;
  std::thread::id workerId;
  size_t outstanding = 0;  // submitted and not yet finished
  uint64_t submitted = 0;
  std::condition_variable idle;

  void finished() {
    std::lock_guard lock(mutex);
    if (outstanding > 0 && --outstanding == 0) idle.notify_all();
  }
};

HttpService::HttpService(const std::filesystem::path& extraCABundle)
    : state_(std::make_shared<State>()) {
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  state_->multi = curl_multi_init();
  // A few kept-alive connections serve the one batch in flight, instant events and identity
  // requests; more requests wait for a free one instead of opening connection after connection.
  curl_multi_setopt(state_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, 4L);
  if (!extraCABundle.empty()) state_->caFile = combinedCABundle(extraCABundle);
  // Started last, once the state is complete.
  worker_ = std::thread([state = state_] { run(state); });
  std::lock_guard lock(state_->mutex);
  state_->workerId = worker_.get_id();
}

HttpService::~HttpService() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  curl_multi_wakeup(state_->multi);
  if (worker_.joinable()) {
    // The last reference may go in a callback on the networking thread itself.
    if (worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();
    } else {
      worker_.join();
    }
  }
}

std::string HttpService::percentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 0xF];
    }
  }
  return out;
}

void HttpService::run(const std::shared_ptr<State>& state) {
  std::map<CURL*, std::unique_ptr<Request>> active;
  for (;;) {
    std::deque<std::unique_ptr<Request>> incoming;
    {
      std::lock_guard lock(state->mutex);
      if (state->stopping) break;
      incoming.swap(state->pending);
    }
    for (auto& request : incoming) {
      CURL* easy = request->easy;
      curl_multi_add_handle(state->multi, easy);
      active.emplace(easy, std::move(request));
    }
    int running = 0;
    curl_multi_perform(state->multi, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(state->multi, &left)) {
      if (message->msg != CURLMSG_DONE) continue;
      CURL* easy = message->easy_handle;
      CURLcode result = message->data.result;
      curl_multi_remove_handle(state->multi, easy);
      auto node = active.extract(easy);
      if (node.empty()) continue;
      std::unique_ptr<Request> request = std::move(node.mapped());
      long code = 0;
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
      try {
        if (result != CURLE_OK || code <= 0) {
          // No HTTP response: connection refused, TLS refused, timeout, dropped connection.
          Log::info("HttpService - no response from " + request->url + ": " +
                    curl_easy_strerror(result));
          if (request->failure) request->failure(0, std::nullopt);
        } else {
          HttpResponse response{code, request->url, request->responseBody};
          if (code >= 200 && code <= 299) {
            if (request->success) request->success(code, response);
          } else if (request->failure) {
            request->failure(code, response);
          }
        }
      } catch (const std::exception& e) {
        Log::error(std::string("HttpService: a response callback failed - ") + e.what());
      } catch (...) {
        Log::error("HttpService: a response callback failed");
      }
      request.reset();  // the callbacks' captures go before the request counts as finished
      state->finished();
    }
    // Wakes for socket activity, curl's own timers, or curl_multi_wakeup from submit();
    // otherwise the thread sleeps.
    curl_multi_poll(state->multi, nullptr, 0, 24 * 60 * 60 * 1000, nullptr);
  }
  for (auto& [easy, request] : active) curl_multi_remove_handle(state->multi, easy);
  active.clear();
  {
    std::lock_guard lock(state->mutex);
    state->pending.clear();
    state->outstanding = 0;
    state->idle.notify_all();
  }
  curl_multi_cleanup(state->multi);
  state->multi = nullptr;
  if (!state->caFile.empty()) ::unlink(state->caFile.c_str());
}

void HttpService::submit(std::unique_ptr<Request> request) {
  CURL* easy = request->easy;
  curl_easy_setopt(easy, CURLOPT_URL, request->url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, Utility::userAgent().c_str());
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!state_->caFile.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, state_->caFile.c_str());
  if (request->headers != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request->responseBody);
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->pending.push_back(std::move(request));
    ++state_->outstanding;
    ++state_->submitted;
  }
  curl_multi_wakeup(state_->multi);
}

uint64_t HttpService::submittedCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->submitted;
}

bool HttpService::waitUntilIdle(std::chrono::milliseconds limit) {
  std::unique_lock lock(state_->mutex);
  return state_->idle.wait_for(lock, limit, [&] { return state_->outstanding == 0; });
}

namespace {

// The request URL with the non-empty query values, or nothing when no URL can be formed.
std::optional<std::string> buildUrl(const std::string& url, const QueryMap& queryParams) {
  CURLU* parts = curl_url();
  if (parts == nullptr) return std::nullopt;
  std::optional<std::string> result;
  if (curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    std::string query;
    for (const auto& [key, value] : queryParams) {
      if (value.empty()) continue;
      Log::info("key - " + key + ", Value - " + value);
      if (!query.empty()) query += '&';
      query += HttpService::percentEncode(key) + "=" + HttpService::percentEncode(value);
    }
    bool ok = query.empty() || curl_url_set(parts, CURLUPART_QUERY, query.c_str(), 0) == CURLUE_OK;
    char* full = nullptr;
    if (ok && curl_url_get(parts, CURLUPART_URL, &full, 0) == CURLUE_OK) result = full;
    curl_free(full);
  }
  curl_url_cleanup(parts);
  return result;
}

}  // namespace

std::unique_ptr<HttpService::Request> HttpService::newRequest(const std::string& url,
                                                              const QueryMap& queryParams,
                                                              ResponseCallback success,
                                                              ResponseCallback failure) {
  auto request = std::make_unique<Request>();
  try {
    auto full = buildUrl(url, queryParams);
    if (!full) throw SDKError(SDKException::URLError);
    request->url = *full;
  } catch (const SDKError& error) {
    Log::error(error.errorDescription());
    return nullptr;
  }
  request->easy = curl_easy_init();
  if (request->easy == nullptr) return nullptr;
  request->success = std::move(success);
  request->failure = std::move(failure);
  return request;
}

void HttpService::post(const std::string& url, const Json& body, const QueryMap& queryParams,
                       const std::string& authToken, ResponseCallback success,
                       ResponseCallback failure) {
  auto request = newRequest(url, queryParams, std::move(success), std::move(failure));
  if (!request) return;
  try {
    request->body = render(body);
  } catch (...) {
    return;  // a body that cannot be serialised sends nothing
  }
  Log::info("HttpService - post: httpBody - " + std::to_string(request->body.size()) + " bytes");
  request->headers =
      curl_slist_append(request->headers, ("Authorization: Basic " + authToken).c_str());
  request->headers = curl_slist_append(request->headers, "Content-Type: application/json");
  curl_easy_setopt(request->easy, CURLOPT_POST, 1L);
  curl_easy_setopt(request->easy, CURLOPT_POSTFIELDS, request->body.c_str());
  curl_easy_setopt(request->easy, CURLOPT_POSTFIELDSIZE_LARGE,
                   static_cast<curl_off_t>(request->body.size()));
  submit(std::move(request));
}

void HttpService::get(const std::string& url, const QueryMap& queryParams, ResponseCallback success,
                      ResponseCallback failure) {
  auto request = newRequest(url, queryParams, std::move(success), std::move(failure));
  if (!request) return;
  curl_easy_setopt(request->easy, CURLOPT_HTTPGET, 1L);
  submit(std::move(request));
}

}  // namespace kelvor
