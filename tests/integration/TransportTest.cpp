#include <gtest/gtest.h>

#include <algorithm>
#include <future>

#include <kelvor/QuorvelOption.hpp>

#include "platform/Base64.hpp"
#include "support/Collector.hpp"
#include "support/LogCapture.hpp"
#include "transport/HttpService.hpp"
#include "transport/OrvaService.hpp"

namespace kelvor {
namespace {

using testing::Collector;
using testing::LogCapture;

struct Outcome {
  bool success;
  int64_t code;
  bool hasResponse;
};

// Runs one request and waits for whichever callback comes.
template <class Send>
Outcome await(Send&& send) {
  auto promise = std::make_shared<std::promise<Outcome>>();
  auto future = promise->get_future();
  send(
      [promise](int64_t code, const std::optional<HttpResponse>& r) {
        promise->set_value({true, code, r.has_value()});
      },
      [promise](int64_t code, const std::optional<HttpResponse>& r) {
        promise->set_value({false, code, r.has_value()});
      });
  EXPECT_EQ(future.wait_for(std::chrono::seconds(90)), std::future_status::ready);
  return future.get();
}

Outcome post(HttpService& http, const std::string& url, const QueryMap& query = {}) {
  return await([&](ResponseCallback s, ResponseCallback f) {
    http.post(url + "fp", Json{{"events", Json::array()}}, query, OrvaService::credential("key"), s,
              f);
  });
}

TEST(TransportTest, BatchArrivesWithBodyHeadersCredentialAndStrictQuery) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  auto http = std::make_shared<HttpService>(collector.caFile());
  auto option = std::make_shared<QuorvelOption>();
  option->setApiKey("key");
  OrvaService orva(http, option, collector.baseUrl());
  Events a;
  a.eventUUID = "A";
  a.event = {{"eventName", "first"}};
  Events b = a;
  b.eventUUID = "B";
  b.page = Json{{"screen", "home"}};
  QueryMap query = {{"optin", "yes"}, {"empty", ""}, {"payload", "a+b/c=="}, {"", "keyless"}};
  Outcome outcome = await([&](ResponseCallback s, ResponseCallback f) {
    orva.sendEvents({a, b}, query, s, f);
  });
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.code, 200);

  auto records = collector.records();
  ASSERT_EQ(records.size(), 1u);
  const Json& r = records[0];
  EXPECT_EQ(r["status"], 200);
  EXPECT_EQ(r["headers"]["content-type"], "application/json");
  EXPECT_EQ(r["headers"]["authorization"], "Basic " + Base64::encode("w_k:key"));
  EXPECT_EQ(r["headers"]["user-agent"].get<std::string>().rfind("Mozilla/5.0 (", 0), 0u);
  EXPECT_EQ(r["query"]["optin"], "yes");
  EXPECT_EQ(r["query"]["payload"], "a+b/c==");
  EXPECT_FALSE(r["query"].contains("empty"));
  // Hex digits of an escape may come in either case; both mean the same octet.
  std::string target = r["target"];
  std::transform(target.begin(), target.end(), target.begin(), ::tolower);
  EXPECT_EQ(target, "/fp?=keyless&optin=yes&payload=a%2bb%2fc%3d%3d");
  ASSERT_EQ(r["body"]["events"].size(), 2u);
  EXPECT_EQ(r["body"]["events"][0]["eventUUID"], "A");
  EXPECT_FALSE(r["body"]["events"][0].contains("page"));
  EXPECT_EQ(r["body"]["events"][1]["page"], (Json{{"screen", "home"}}));
}

TEST(TransportTest, IdentityRequestIsAGetWithoutCredentialHeaders) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  auto http = std::make_shared<HttpService>(collector.caFile());
  OrvaService orva(http, std::make_shared<QuorvelOption>(), collector.baseUrl());
  std::string payload = Base64::encode(R"({"user_ki":"K>?"})");
  Outcome outcome = await([&](ResponseCallback s, ResponseCallback f) {
    orva.sendIdentity({{"payload", payload}, {"w_k", Base64::encode("key")}, {"user_country", ""}},
                      s, f);
  });
  EXPECT_TRUE(outcome.success);
  auto r = collector.records().at(0);
  EXPECT_EQ(r["method"], "GET");
  EXPECT_EQ(r["headers"]["authorization"], "");
  EXPECT_EQ(r["headers"]["content-type"], "");
  EXPECT_EQ(r["payload"], (Json{{"user_ki", "K>?"}}));
  EXPECT_EQ(r["write_key"], "key");
  EXPECT_FALSE(r["query"].contains("user_country"));
}

TEST(TransportTest, StatusCodesChooseTheCallback) {
  for (auto [status, success] :
       std::vector<std::pair<int, bool>>{{204, true}, {299, true}, {300, false}, {500, false}}) {
    Collector collector({"--status", std::to_string(status)});
    ASSERT_TRUE(collector.started());
    HttpService http(collector.caFile());
    Outcome outcome = post(http, collector.baseUrl());
    EXPECT_EQ(outcome.success, success) << status;
    EXPECT_EQ(outcome.code, status);
    EXPECT_TRUE(outcome.hasResponse);
  }
}

TEST(TransportTest, NoResponseReachesFailureWithCodeZero) {
  Collector dropping({"--drop-every", "1"});
  ASSERT_TRUE(dropping.started());
  HttpService trusting(dropping.caFile());
  Outcome dropped = post(trusting, dropping.baseUrl());
  EXPECT_FALSE(dropped.success);
  EXPECT_EQ(dropped.code, 0);
  EXPECT_FALSE(dropped.hasResponse);

  Collector untrusted;
  ASSERT_TRUE(untrusted.started());
  HttpService systemOnly;  // does not trust the collector's own certificate
  Outcome refused = post(systemOnly, untrusted.baseUrl());
  EXPECT_FALSE(refused.success);
  EXPECT_EQ(refused.code, 0);
  EXPECT_TRUE(untrusted.records().empty());

  HttpService http;
  Outcome closed = post(http, "https://127.0.0.1:9/");
  EXPECT_FALSE(closed.success);
  EXPECT_EQ(closed.code, 0);
}

TEST(TransportTest, AnUnformableUrlCallsNeitherCallback) {
  LogCapture log;
  HttpService http;
  bool called = false;
  auto mark = [&called](int64_t, const std::optional<HttpResponse>&) { called = true; };
  http.post("not a url", Json::object(), {}, "", mark, mark);
  http.get("://", {}, mark, mark);
  EXPECT_EQ(log.count(LogLevel::error, "Unable to create URL"), 2u);
  EXPECT_FALSE(called);
}

TEST(CollectorTest, RefusesBadCredentialsAndBodies) {
  Collector collector({"--write-key", "key"});
  ASSERT_TRUE(collector.started());
  HttpService http(collector.caFile());
  auto send = [&](const Json& body, const std::string& token) {
    return await([&](ResponseCallback s, ResponseCallback f) {
      http.post(collector.baseUrl() + "fp", body, {}, token, s, f);
    });
  };
  EXPECT_EQ(send(Json{{"events", Json::array()}}, Base64::encode("w_k:wrong")).code, 401);
  EXPECT_EQ(send(Json{{"events", Json::array()}}, "!!!").code, 401);
  EXPECT_EQ(send(Json{{"events", 1}}, OrvaService::credential("key")).code, 400);
  EXPECT_EQ(send(Json::array(), OrvaService::credential("key")).code, 400);
  EXPECT_EQ(send(Json{{"events", Json::array()}}, OrvaService::credential("key")).code, 200);
  Outcome get = await([&](ResponseCallback s, ResponseCallback f) {
    http.get(collector.baseUrl() + "fp", {{"payload", "%%%"}, {"w_k", Base64::encode("key")}}, s,
             f);
  });
  EXPECT_EQ(get.code, 400);
}

TEST(CollectorTest, FaultFlagsFailAndDelayOnSchedule) {
  Collector collector({"--fail-every", "2", "--delay-ms", "50"});
  ASSERT_TRUE(collector.started());
  HttpService http(collector.caFile());
  std::vector<int64_t> codes;
  for (int i = 0; i < 4; ++i) codes.push_back(post(http, collector.baseUrl()).code);
  EXPECT_EQ(codes, (std::vector<int64_t>{200, 500, 200, 500}));
}

}  // namespace
}  // namespace kelvor
