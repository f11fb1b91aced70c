#include <gtest/gtest.h>

#include <ctime>
#include <future>

#include <kelvor/QuorvelOption.hpp>

#include "platform/Base64.hpp"
#include "support/Collector.hpp"
#include "support/ConnectProxy.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {
namespace {

using testing::Collector;
using testing::ConnectProxy;
using testing::LogCapture;

struct Outcome {
  bool success;
  int64_t code;
  TransferError error;
};

// Runs one request and waits for whichever callback comes.
template <class Send>
Outcome await(Send&& send) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  send(
      [promise](int64_t code, const std::optional<HttpResponse>&, const TransferError& e) {
        promise->set_value({true, code, e});
      },
      [promise](int64_t code, const std::optional<HttpResponse>&, const TransferError& e) {
        promise->set_value({false, code, e});
      });
  EXPECT_EQ(future.wait_for(std::chrono::seconds(90)), std::future_status::ready);
  return future.get();
}

// A POST to the collector's batch path.
Outcome post(HttpService& http, const Collector& collector, const Json& body,
             const QueryMap& query = {},
             const std::string& credential = OrvaService::credential("key")) {
  return await([&](ResponseCallback s, ResponseCallback f) {
    http.post(collector.baseUrl() + "fp", body, query, credential, s, f);
  });
}

// The requests as values in, text out: the body spliced from the stored texts (no "page" when
// empty, ids quoted), the words the consent record gives.
TEST(TransportTest, RequestsAreBuiltFromValues) {
  EXPECT_EQ(OrvaService::batchBody({{"A", R"({"eventName":"a"})", "{}", "", "1"},
                                    {"B\"", R"({"eventName":"b"})", R"({"s":1})", "{}", "1"}}),
            R"({"events":[{"event":{"eventName":"a"},"eventUUID":"A","user":{},"version":"1"},)"
            R"({"event":{"eventName":"b"},"eventUUID":"B\"","page":{"s":1},"user":{},)"
            R"("version":"1"}]})");
  // Either purpose opts in (a CMP's consent string: PipelineTest.TheRoadOfOneEvent).
  QuorvelOption option;
  const QueryMap plain = {{"cookieSync", "false"}, {"env", "mApp"}, {"track", "false"}};
  QueryMap expected = {{"optin", "yes"}, {"identify", "true"}};
  expected.insert(plain.begin(), plain.end());
  EXPECT_EQ(OrvaService::queryWords(option, {false, true, {}}), expected);
  expected = {{"optin", "no"}, {"identify", "false"}};
  expected.insert(plain.begin(), plain.end());
  EXPECT_EQ(OrvaService::queryWords(option, {false, false, {}}), expected);
  // A CMP's record where the GDPR does not apply, without a consent string.
  option.setUseConsent(true);
  option.setCheckForCMP(true);
  expected.insert({{"cmp", "1"}, {"gdpr", "0"}, {"vendorConsent", "false"}});
  EXPECT_EQ(OrvaService::queryWords(option, {false, false, {}}), expected);
}

// The extra CA is given to the TLS library in memory: no file is left behind, while the client
// lives (a host's lives until the process ends) or after.
TEST(TransportTest, BatchAndIdentityRequestsArriveInTheirExactShape) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  testing::TempDir temp;
  const char* saved = std::getenv("TMPDIR");
  const std::string previous = saved != nullptr ? saved : "";
  setenv("TMPDIR", temp.path().c_str(), 1);
  auto http = std::make_shared<HttpService>(collector.caFile());
  auto option = std::make_shared<QuorvelOption>();
  option->setApiKey("key");
  option->setUserCountry("DE");
  auto orva = std::make_unique<OrvaService>(http, option, collector.baseUrl(),
                                            [] { return std::string("Agent/1.0"); });
  const RequestConsent consent{true, false, {}};
  Outcome outcome = await([&](ResponseCallback s, ResponseCallback f) {
    orva->sendEvents(OrvaService::batchBody({{"A", R"({"eventName":"a"})", "{}", "", "1"}}),
                     consent, s, f);
  });
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.code, 200);
  orva->sendIdentity({{"ki", "K>?"}, {"email", {{"md5", "m"}}}, {"custom", 1}}, consent);
  ASSERT_TRUE(http->waitUntilIdle(std::chrono::seconds(90)));
  // Query values are escaped strictly, in upper-case hex, as RFC 3986 asks of producers; empty
  // ones are left out.
  EXPECT_TRUE(post(*http, collector, Json{{"events", Json::array()}},
                   {{"optin", "yes"}, {"empty", ""}, {"payload", "a+b/c=="}, {"", "keyless"}})
                  .success);

  auto records = collector.records();
  ASSERT_EQ(records.size(), 3u);
  const Json& batch = records[0];
  EXPECT_EQ(batch["headers"]["content-type"], "application/json");
  EXPECT_EQ(batch["headers"]["authorization"], "Basic " + Base64::encode("w_k:key"));
  EXPECT_EQ(batch["headers"]["user-agent"], "Agent/1.0");
  EXPECT_EQ(batch["query"]["optin"], "yes");
  EXPECT_EQ(batch["body"]["events"][0]["eventUUID"], "A");
  // The identity request is a GET without credential headers, the identities renamed.
  const Json& get = records[1];
  EXPECT_EQ(get["method"], "GET");
  EXPECT_EQ(get["headers"]["authorization"], "");
  EXPECT_EQ(get["headers"]["content-type"], "");
  EXPECT_EQ(get["headers"]["user-agent"], "Agent/1.0");
  EXPECT_EQ(get["payload"],
            (Json{{"user_ki", "K>?"}, {"user_email", {{"md5", "m"}}}, {"custom", 1}}));
  EXPECT_EQ(get["write_key"], "key");
  EXPECT_EQ(get["query"]["user_country"], "DE");
  EXPECT_EQ(get["query"]["optin"], "yes");
  EXPECT_EQ(records[2]["target"], "/fp?=keyless&optin=yes&payload=a%2Bb%2Fc%3D%3D");
  // The collector stands for the endpoint: it refuses a wrong write key and a body without events.
  EXPECT_EQ(
      post(*http, collector, Json{{"events", Json::array()}}, {}, Base64::encode("w_k:wrong")).code,
      401);
  EXPECT_EQ(post(*http, collector, Json{{"events", 1}}).code, 400);
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  orva.reset();
  http.reset();
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  saved != nullptr ? setenv("TMPDIR", previous.c_str(), 1) : unsetenv("TMPDIR");
}

TEST(TransportTest, RetryAfterReadsSecondsAndHttpDates) {
  using std::chrono::seconds;
  char date[64];
  std::time_t later = std::time(nullptr) + 120;
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", std::gmtime(&later));
  using Case = std::pair<std::string, std::optional<seconds>>;
  for (const auto& [value, wait] : {Case{"30", seconds(30)}, Case{" 7 ", seconds(7)},
                                    Case{"Thu, 01 Jan 1970 00:00:00 GMT", seconds(0)},
                                    Case{"soon", std::nullopt}, Case{"", std::nullopt}}) {
    EXPECT_EQ(HttpService::parseRetryAfter(value), wait) << value;
  }
  auto dated = HttpService::parseRetryAfter(date);
  ASSERT_TRUE(dated.has_value());
  EXPECT_GE(dated->count(), 100);
  EXPECT_LE(dated->count(), 120);
  // With the answer's Date, a date is measured on the server's clock, whatever this one says.
  EXPECT_EQ(HttpService::parseRetryAfter("Thu, 01 Jan 1970 01:00:05 GMT",
                                         "Thu, 01 Jan 1970 01:00:00 GMT"),
            seconds(5));
}

// Plain http is for the loopback address alone: look-alike names are refused, since they resolve
// wherever their owner wants and the write key would travel in clear text.
TEST(TransportTest, PlainHttpOnlyForTheLoopbackAddressItself) {
  for (const char* url :
       {"http://127.0.0.1:9/", "http://127.255.0.9/", "http://[::1]:9/", "http://localhost:9/",
        "http://LOCALHOST/", "https://127.evil.example/"}) {
    EXPECT_FALSE(HttpService::refusedUrl(url)) << url;
  }
  for (const char* url :
       {"http://127.evil.example/", "http://127.0.0.1.nip.io/", "http://localhost.evil.example/",
        "http://128.0.0.1/", "http://[::2]/", "ftp://127.0.0.1/"}) {
    EXPECT_TRUE(HttpService::refusedUrl(url)) << url;
  }
}

// "127.0.0.1:PORT" of a collector.
std::string address(const Collector& collector) {
  const std::string url = collector.baseUrl();
  return url.substr(8, url.size() - 9);
}

// libcurl takes the proxy from https_proxy, or the one the library sets (which wins; "" turns
// every proxy off). Through a CONNECT tunnel the TLS session is still the endpoint's own, so a
// proxy that presents a certificate of its own is refused like any untrusted endpoint.
TEST(TransportTest, AProxyTunnelsButCannotIntercept) {
  Collector collector;
  Collector impostor;  // its own certificate, which the client does not trust
  ASSERT_TRUE(collector.started() && impostor.started());
  ConnectProxy tunnel;
  ConnectProxy intercepting(address(impostor));
  ASSERT_TRUE(tunnel.started() && intercepting.started());
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  struct Case {
    const char* name;
    const ConnectProxy* environment;  // https_proxy
    std::optional<std::string> set;
    const ConnectProxy* through;  // the proxy that must see the CONNECT, or none
    bool delivered;
  };
  const Case cases[] = {
      {"https_proxy, loopback not bypassed", &tunnel, std::nullopt, &tunnel, true},
      {"set wins over https_proxy", &intercepting, tunnel.url(), &tunnel, true},
      {"intercepting proxy refused", nullptr, intercepting.url(), &intercepting, false},
      {"\"\" turns https_proxy off", &intercepting, "", nullptr, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.environment != nullptr ? setenv("https_proxy", c.environment->url().c_str(), 1)
                             : unsetenv("https_proxy");
    const size_t tunnelled = tunnel.tunnels().size() + intercepting.tunnels().size();
    const size_t received = collector.records().size();
    HttpService http(collector.caFile(), c.set);
    Outcome outcome = post(http, collector, Json{{"events", Json::array()}});
    EXPECT_EQ(outcome.success, c.delivered);
    EXPECT_EQ(collector.records().size(), received + (c.delivered ? 1 : 0));
    EXPECT_TRUE(c.delivered || outcome.error.reason == FailureReason::tls);
    EXPECT_EQ(tunnel.tunnels().size() + intercepting.tunnels().size(),
              tunnelled + (c.through != nullptr ? 1 : 0));
    EXPECT_TRUE(c.through == nullptr || c.through->tunnels().back() == address(collector));
  }
  unsetenv("https_proxy");
  EXPECT_TRUE(impostor.records().empty());
}

}  // namespace
}  // namespace kelvor
