#include "transport/HttpService.hpp"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>

#include <kelvor/Log.hpp>
#include <kelvor/SDKException.hpp>

#include "support/BackgroundWork.hpp"
#include "support/ProcessFork.hpp"
#include "support/Redaction.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

// The system's authorities as a hashed folder, when it has one beside the bundle: OpenSSL then
// reads only the authority a handshake needs, where the bundle file is parsed whole (about 140
// certificates, ~35 ms of CPU) at the first connection, which a short-lived command-line tool
// pays on every run. The same authorities (update-ca-certificates writes both); verification
// stays on.
std::string hashedAuthorityFolder() {
  const std::filesystem::path folder = "/etc/ssl/certs";
  std::error_code ec;
  if (!std::filesystem::exists(folder / "ca-certificates.crt", ec)) return {};
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() == 10 && name.compare(8, 2, ".0") == 0) return folder.string();
  }
  return {};
}

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

// The certificates of a PEM file, parsed once; they join the system's trust store of every TLS
// context the library makes, so nothing is written to disk.
std::vector<X509*> loadCertificates(const std::filesystem::path& file) {
  std::vector<X509*> certificates;
  std::string pem = readFile(file);
  if (pem.empty()) {
    Log::error("HttpService: cannot read the CA bundle " + file.string() +
               "; only the system's certificate authorities are trusted");
    return certificates;
  }
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  while (X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    certificates.push_back(certificate);
  }
  BIO_free(bio);
  ERR_clear_error();  // the end of the file reads as an error
  if (certificates.empty()) {
    Log::error("HttpService: no certificate in the CA bundle " + file.string() +
               "; only the system's certificate authorities are trusted");
  }
  return certificates;
}

// The descriptors open in this process now.
std::vector<int> openDescriptors() {
  std::vector<int> found;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return found;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(dir)) found.push_back(fd);
  }
  ::closedir(dir);
  return found;
}

bool unnamed(int fd, int (*name)(int, sockaddr*, socklen_t*)) {
  sockaddr_un address{};
  socklen_t length = sizeof address;
  return name(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
         length == sizeof(sa_family_t);
}

// libcurl (7.88) makes the multi handle's wake-up socket pair without close-on-exec, and offers
// no way to reach it: the ends are the unnamed local stream sockets that appeared while the
// handle was made. Another thread's own socket pair made in that instant would be marked too,
// which costs it nothing but inheritance across exec.
void closeOnExecNewSocketPairs(const std::vector<int>& before) {
  for (int fd : openDescriptors()) {
    if (std::find(before.begin(), before.end(), fd) != before.end()) continue;
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0 || (flags & FD_CLOEXEC) != 0) continue;
    int domain = 0;
    int type = 0;
    socklen_t size = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0 || domain != AF_UNIX) continue;
    size = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) continue;
    if (!unnamed(fd, ::getsockname) || !unnamed(fd, ::getpeername)) continue;
    ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

// The endpoint's connections are close-on-exec from the start: a program the host spawns never
// holds them.
curl_socket_t openSocket(void*, curlsocktype, curl_sockaddr* address) {
  return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

}  // namespace

std::optional<std::string> HttpService::unusableCABundle(const std::filesystem::path& file) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(file, ec)) return std::string("it is not a readable file");
  std::string pem = readFile(file);
  if (pem.empty()) return std::string("it cannot be read or is empty");
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* first = bio != nullptr ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  const bool found = first != nullptr;
  X509_free(first);
  BIO_free(bio);
  ERR_clear_error();
  if (!found) return std::string("it holds no PEM certificate");
  return std::nullopt;
}

FailureReason HttpService::reasonFor(int curlCode) {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OK:
      return FailureReason::none;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return FailureReason::nameResolution;
    case CURLE_COULDNT_CONNECT:
      return FailureReason::connectionRefused;
    case CURLE_OPERATION_TIMEDOUT:
      return FailureReason::timeout;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
      return FailureReason::tls;
    default:
      return FailureReason::other;
  }
}

namespace {

bool hasPart(CURLU* parts, CURLUPart which) {
  char* text = nullptr;
  const bool has = curl_url_get(parts, which, &text, 0) == CURLUE_OK;
  curl_free(text);
  return has;
}

}  // namespace

std::optional<std::string> HttpService::refusedUrl(const std::string& url) {
  CURLU* parts = curl_url();
  if (parts == nullptr) return std::string("it cannot be read");
  char* scheme = nullptr;
  char* host = nullptr;
  std::optional<std::string> problem;
  if (curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) != CURLUE_OK ||
      curl_url_get(parts, CURLUPART_SCHEME, &scheme, 0) != CURLUE_OK ||
      curl_url_get(parts, CURLUPART_HOST, &host, 0) != CURLUE_OK) {
    problem = "it cannot be read as a URL";
  } else {
    std::string s = scheme;
    std::string h = host;
    std::transform(h.begin(), h.end(), h.begin(), ::tolower);
    // Only the loopback address itself: a name that merely starts like one
    // (127.evil.example, 127.0.0.1.nip.io) resolves wherever its owner wants.
    in_addr v4{};
    const bool loopback =
        h == "localhost" || h == "[::1]" ||
        (::inet_pton(AF_INET, h.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127);
    if (s != "https" && !(s == "http" && loopback)) {
      problem =
          "it is not https, so the write key and identities would travel in clear text "
          "(plain http is accepted only for 127.0.0.1, [::1] and localhost)";
    } else if (url.back() != '/' || hasPart(parts, CURLUPART_QUERY) ||
               hasPart(parts, CURLUPART_FRAGMENT)) {
      // The request's path is appended to it: it would land in the port, a query or a fragment.
      problem =
          "no request can be formed from it; give a base URL that ends in \"/\", without "
          "a query or a fragment, such as https://ingest.example.com/";
    }
  }
  curl_free(scheme);
  curl_free(host);
  curl_url_cleanup(parts);
  return problem;
}

std::optional<std::chrono::seconds> HttpService::parseRetryAfter(std::string value,
                                                                 const std::string& serverDate) {
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
  size_t start = 0;
  while (start < value.size() && std::isspace(static_cast<unsigned char>(value[start]))) ++start;
  value = value.substr(start);
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](unsigned char c) { return std::isdigit(c); })) {
    if (value.size() > 9) return std::chrono::seconds(999999999);
    return std::chrono::seconds(std::stoll(value));
  }
  time_t when = curl_getdate(value.c_str(), nullptr);
  if (when < 0) return std::nullopt;
  time_t now = serverDate.empty() ? -1 : curl_getdate(serverDate.c_str(), nullptr);
  if (now < 0) now = std::time(nullptr);
  return std::chrono::seconds(when > now ? when - now : 0);
}

// The answer's headers the retry rules read. Outside the anonymous namespace: a request holds
// them, and a type of internal linkage in a member of a named class warns in a unity build.
struct ResponseHeaders {
  std::string retryAfter;
  std::string date;
};

namespace {

// The value of header `name` ("date:", lower case) in one header line, when it is that header.
std::optional<std::string> headerValue(const char* data, size_t bytes, std::string_view name) {
  if (bytes <= name.size()) return std::nullopt;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(data[i])) != name[i]) return std::nullopt;
  }
  std::string_view value(data + name.size(), bytes - name.size());
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) {
    value.remove_prefix(1);
  }
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
    value.remove_suffix(1);
  }
  return std::string(value);
}

size_t collectHeader(char* data, size_t size, size_t count, void* user) {
  size_t bytes = size * count;
  auto* headers = static_cast<ResponseHeaders*>(user);
  if (auto value = headerValue(data, bytes, "retry-after:")) headers->retryAfter = *value;
  if (auto value = headerValue(data, bytes, "date:")) headers->date = *value;
  return bytes;
}

}  // namespace

struct HttpService::Request {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string url;
  std::string body;
  std::string userAgent;
  std::string responseBody;
  ResponseHeaders answerHeaders;         // what the answer said
  bool unsendable = false;               // no request could be formed: fails at once
  char errorText[CURL_ERROR_SIZE] = {};  // libcurl's own words for a failure
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
  std::vector<X509*> extraCertificates;
  std::string authorityFolder;  // empty: libcurl's default bundle
  std::optional<std::string> proxy;
  std::thread::id workerId;
  // Held by the networking thread except while it waits: a fork never copies a transfer (and
  // OpenSSL's locks) in the middle of its work.
  std::mutex gate;
  // The process whose networking thread this is; a child of fork leaves it alone.
  uint64_t generation = ProcessFork::generation();
  // The transfers under way (networking thread only); here rather than on its stack, so a
  // child of fork still reaches what the parent's thread held.
  std::map<CURL*, std::unique_ptr<Request>> active;
  size_t outstanding = 0;  // submitted and not yet finished
  uint64_t submitted = 0;
  std::condition_variable idle;

  void finished() {
    std::lock_guard lock(mutex);
    if (outstanding > 0 && --outstanding == 0) idle.notify_all();
  }
};

HttpService::HttpService(const std::filesystem::path& extraCABundle,
                         std::optional<std::string> proxy)
    : state_(std::make_shared<State>()) {
  state_->proxy = std::move(proxy);
  static std::once_flag globalInit;
  std::call_once(globalInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  const auto before = openDescriptors();
  state_->multi = curl_multi_init();
  closeOnExecNewSocketPairs(before);
  // A few kept-alive connections serve the one batch in flight, instant events and identity
  // requests; more requests wait for a free one instead of opening connection after connection.
  curl_multi_setopt(state_->multi, CURLMOPT_MAX_HOST_CONNECTIONS, 4L);
  if (!extraCABundle.empty()) state_->extraCertificates = loadCertificates(extraCABundle);
  state_->authorityFolder = hashedAuthorityFolder();
  State* state = state_.get();
  ProcessFork::guard(ProcessFork::gates, state_,
                     {[state] { state->gate.lock(); }, [state] { return state->gate.try_lock(); },
                      [state] { state->gate.unlock(); }, nullptr},
                     &state->gate);
  // Started last, once the state is complete.
  worker_ = std::thread([state = state_] { run(state); });
  std::lock_guard lock(state_->mutex);
  state_->workerId = worker_.get_id();
}

bool HttpService::parentsThread() const {
  return state_->generation != ProcessFork::generation();
}

HttpService::~HttpService() {
  stop();
}

void HttpService::stop() {
  if (parentsThread()) {
    // A child of fork: the thread, its handles and its sockets are the parent's.
    if (worker_.joinable()) worker_.detach();
    return;
  }
  {
    // The worker frees the multi handle under this lock once it saw `stopping`.
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
    if (state_->multi != nullptr) curl_multi_wakeup(state_->multi);
  }
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
  BackgroundWork::enter();
  auto& active = state->active;
  std::unique_lock gate(state->gate);
  ProcessFork::GateScope scope(&state->gate);
  for (;;) {
    std::deque<std::unique_ptr<Request>> incoming;
    {
      std::lock_guard lock(state->mutex);
      if (state->stopping) break;
      incoming.swap(state->pending);
    }
    for (auto& request : incoming) {
      if (request->unsendable) {
        // A request that could not be formed fails like one that got no answer, so its
        // caller's retry rules apply.
        try {
          if (request->failure) {
            request->failure(0, std::nullopt, {FailureReason::other, "no request could be formed"});
          }
        } catch (...) {
          Log::error("HttpService: a response callback failed");
        }
        request.reset();
        state->finished();
        continue;
      }
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
          // The error buffer says more than the code's text ("Failed to connect to 127.0.0.1
          // port 9 after 0 ms: Connection refused").
          TransferError error{reasonFor(result), request->errorText[0] != '\0'
                                                     ? std::string(request->errorText)
                                                     : std::string(curl_easy_strerror(result))};
          Log::info("HttpService - no response from " + Redaction::url(request->url) + ": " +
                    error.text);
          if (request->failure) request->failure(0, std::nullopt, error);
        } else {
          HttpResponse response{code, request->url, request->responseBody,
                                HttpService::parseRetryAfter(request->answerHeaders.retryAfter,
                                                             request->answerHeaders.date)};
          if (code >= 200 && code <= 299) {
            if (request->success) request->success(code, response, {});
          } else if (request->failure) {
            request->failure(code, response,
                             {FailureReason::httpStatus, "HTTP " + std::to_string(code)});
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
    gate.unlock();
    curl_multi_poll(state->multi, nullptr, 0, 24 * 60 * 60 * 1000, nullptr);
    gate.lock();
  }
  for (auto& [easy, request] : active) curl_multi_remove_handle(state->multi, easy);
  active.clear();
  {
    std::lock_guard lock(state->mutex);
    state->pending.clear();
    state->outstanding = 0;
    state->idle.notify_all();
  }
  std::lock_guard lock(state->mutex);
  curl_multi_cleanup(state->multi);
  state->multi = nullptr;
  for (X509* certificate : state->extraCertificates) X509_free(certificate);
  state->extraCertificates.clear();
}

int HttpService::addExtraCertificates(void*, void* sslContext, void* user) {
  auto* state = static_cast<State*>(user);
  X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
  for (X509* certificate : state->extraCertificates) X509_STORE_add_cert(store, certificate);
  ERR_clear_error();  // a certificate already in a shared store is not a failure
  return CURLE_OK;
}

namespace {

CURLcode sslContextCallback(CURL* curl, void* sslContext, void* user) {
  return static_cast<CURLcode>(HttpService::addExtraCertificates(curl, sslContext, user));
}

}  // namespace

void HttpService::submit(std::unique_ptr<Request> request) {
  if (!request->unsendable) {
    CURL* easy = request->easy;
    curl_easy_setopt(easy, CURLOPT_URL, request->url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, timeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    if (!request->userAgent.empty()) {
      curl_easy_setopt(easy, CURLOPT_USERAGENT, request->userAgent.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!state_->authorityFolder.empty()) {
      curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<const char*>(nullptr));
      curl_easy_setopt(easy, CURLOPT_CAPATH, state_->authorityFolder.c_str());
    }
    if (state_->proxy) curl_easy_setopt(easy, CURLOPT_PROXY, state_->proxy->c_str());
    if (!state_->extraCertificates.empty()) {
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, sslContextCallback);
      curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, state_.get());
    }
    if (request->headers != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request->headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request->responseBody);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &request->answerHeaders);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request->errorText);
    curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, openSocket);
  }
  // A child of fork must not wake the parent's thread through the socket pair they share.
  if (parentsThread()) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->stopping) return;
    state_->pending.push_back(std::move(request));
    ++state_->outstanding;
    ++state_->submitted;
    curl_multi_wakeup(state_->multi);
  }
}

uint64_t HttpService::submittedCount() const {
  if (parentsThread()) return 0;
  std::lock_guard lock(state_->mutex);
  return state_->submitted;
}

bool HttpService::waitUntilIdle(std::chrono::milliseconds limit) {
  if (parentsThread()) return true;
  std::unique_lock lock(state_->mutex);
  return state_->idle.wait_for(lock, limit, [&] { return state_->outstanding == 0; });
}

namespace {

// The request URL with the non-empty query values, or nothing when no URL can be formed. The
// query is appended as encoded here: the URL parser would lower-case the escapes.
std::optional<std::string> buildUrl(const std::string& url, const QueryMap& queryParams) {
  CURLU* parts = curl_url();
  if (parts == nullptr) return std::nullopt;
  std::optional<std::string> result;
  char* base = nullptr;
  if (curl_url_set(parts, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
      curl_url_get(parts, CURLUPART_URL, &base, 0) == CURLUE_OK) {
    std::string full = base;
    std::string query;
    for (const auto& entry : queryParams) {
      const std::string& key = entry.first;
      const std::string& value = entry.second;
      if (value.empty()) continue;
      Log::infoLazy([&] {
        // The key and the identities travel in these two: never in a log line.
        const bool secret = key == "payload" || key == "w_k";
        return "key - " + key + ", Value - " + (secret ? std::string("***") : value);
      });
      if (!query.empty()) query += '&';
      query += HttpService::percentEncode(key) + "=" + HttpService::percentEncode(value);
    }
    if (!query.empty()) full += (full.find('?') == std::string::npos ? '?' : '&') + query;
    result = std::move(full);
  }
  curl_free(base);
  curl_url_cleanup(parts);
  return result;
}

}  // namespace

std::unique_ptr<HttpService::Request> HttpService::newRequest(const std::string& url,
                                                              const QueryMap& queryParams,
                                                              ResponseCallback success,
                                                              ResponseCallback failure,
                                                              std::string userAgent) {
  auto request = std::make_unique<Request>();
  request->success = std::move(success);
  request->failure = std::move(failure);
  request->userAgent = std::move(userAgent);
  try {
    auto full = buildUrl(url, queryParams);
    if (!full) throw SDKError(SDKException::URLError);
    request->url = *full;
    request->easy = curl_easy_init();
    if (request->easy == nullptr) throw std::runtime_error("cannot make a transfer");
  } catch (const SDKError& error) {
    Log::error(error.errorDescription());
    Log::error(
        "HttpService: no request can be formed for \"" + url +
        "\"; set a URL such as https://ingest.example.com/ with Platform::setIngestionBaseUrl");
    request->unsendable = true;
  } catch (const std::exception& error) {
    Log::error(std::string("HttpService: ") + error.what() + " for " + url);
    request->unsendable = true;
  }
  return request;
}

void HttpService::post(const std::string& url, const Json& body, const QueryMap& queryParams,
                       const std::string& authToken, ResponseCallback success,
                       ResponseCallback failure, std::string userAgent) {
  postBody(url, render(body), queryParams, authToken, std::move(success), std::move(failure),
           std::move(userAgent));
}

void HttpService::postBody(const std::string& url, std::string body, const QueryMap& queryParams,
                           const std::string& authToken, ResponseCallback success,
                           ResponseCallback failure, std::string userAgent) {
  auto request =
      newRequest(url, queryParams, std::move(success), std::move(failure), std::move(userAgent));
  if (!request->unsendable) {
    request->body = std::move(body);
    Log::infoLazy([&] {
      return "HttpService - post: httpBody - " + std::to_string(request->body.size()) + " bytes";
    });
    request->headers =
        curl_slist_append(request->headers, ("Authorization: Basic " + authToken).c_str());
    request->headers = curl_slist_append(request->headers, "Content-Type: application/json");
    curl_easy_setopt(request->easy, CURLOPT_POST, 1L);
    curl_easy_setopt(request->easy, CURLOPT_POSTFIELDS, request->body.c_str());
    curl_easy_setopt(request->easy, CURLOPT_POSTFIELDSIZE_LARGE,
                     static_cast<curl_off_t>(request->body.size()));
  }
  submit(std::move(request));
}

void HttpService::get(const std::string& url, const QueryMap& queryParams, ResponseCallback success,
                      ResponseCallback failure, std::string userAgent) {
  auto request =
      newRequest(url, queryParams, std::move(success), std::move(failure), std::move(userAgent));
  if (!request->unsendable) curl_easy_setopt(request->easy, CURLOPT_HTTPGET, 1L);
  submit(std::move(request));
}

}  // namespace kelvor
