// Whatever comes back from the endpoint: a plain-HTTP server on 127.0.0.1 answers the library's
// real HTTP client with the fuzzer's bytes (status line, headers such as Retry-After, body).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include <kelvor/Log.hpp>

#include "FuzzInput.hpp"
#include "FuzzTargets.hpp"
#include "pipeline/Backoff.hpp"
#include "support/Redaction.hpp"
#include "transport/HttpService.hpp"

namespace kelvor::fuzz {
namespace {

// Answers each connection with the next answer handed to it, then closes it.
class RawServer {
 public:
  RawServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 16);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([this] { serve(); }).detach();
  }
  int port() const { return port_; }
  void answerNext(std::string answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
  }

 private:
  void serve() {
    for (;;) {
      int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      std::string answer;
      {
        std::lock_guard lock(mutex_);
        answer = answer_;
      }
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
      ::shutdown(client, SHUT_RDWR);
      ::close(client);
    }
  }
  int fd_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string answer_;
};

}  // namespace

int endpointAnswer(const uint8_t* data, size_t size) {
  static RawServer* server = [] {
    Log::setEnabled(false);
    return new RawServer();
  }();
  static HttpService* http = new HttpService();
  FuzzInput in(data, size);
  const uint8_t shape = in.byte();
  std::string answer;
  if (shape % 2 == 0) {
    // A well-formed head around fuzzed parts, so the parts get parsed.
    answer = "HTTP/1.1 " + std::to_string(100 + in.number(499)) +
             " X\r\nRetry-After: " + in.text(64) +
             "\r\nContent-Length: " + std::to_string(in.number(300)) + "\r\n" + in.text(200) +
             "\r\n\r\n" + in.rest();
  } else {
    answer = in.rest();
  }
  server->answerNext(answer);
  std::promise<void> done;
  auto finished = done.get_future();
  auto record = [&done](int64_t code, const std::optional<HttpResponse>& response,
                        const TransferError&) {
    Backoff backoff;
    (void)backoff.fail(response ? response->retryAfter : std::nullopt);
    if (response) (void)Redaction::line(response->description() + std::to_string(code));
    done.set_value();
  };
  http->get("http://127.0.0.1:" + std::to_string(server->port()) + "/fp",
            {{"payload", "e30="}, {"w_k", "a2V5"}}, record, record);
  finished.wait();
  (void)HttpService::parseRetryAfter(answer.substr(0, 80));
  return 0;
}

}  // namespace kelvor::fuzz
