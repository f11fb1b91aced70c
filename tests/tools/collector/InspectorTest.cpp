// The collector as an inspector, driven as a CI job would: its API over HTTP, its plan
// verdicts, --summarize's output and --summarize --plan's exit codes.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "RecordSummary.hpp"
#include "support/Collector.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::Collector;

struct Reply {
  long status = 0;  // 0: no answer
  Json body;
};

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One request with libcurl: a POST when there is a body. The ingestion port (HTTPS, `ca`) takes
// the write key "key"; the page's API ignores it.
Reply call(const std::string& url, const std::string& body = "", const std::string& ca = "") {
  CURL* curl = curl_easy_init();
  std::string received;
  curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
  headers = curl_slist_append(headers, "Authorization: Basic d19rOmtleQ==");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
  if (!ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
  if (!body.empty()) curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
  Reply reply;
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    reply.body = Json::parse(received, nullptr, false);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return reply;
}

Json event(const std::string& id, const std::string& name, Json properties) {
  properties["eventName"] = name;
  properties["eventTimestamp"] = "1733640000123";
  return {{"eventUUID", id}, {"event", properties}, {"user", {{"ki", "K"}}}, {"version", "1"}};
}

// A batch as the library sends it.
long postBatch(const Collector& collector, const Json& events) {
  return call(collector.baseUrl() + "fp", Json{{"events", events}}.dump(),
              collector.caFile().string())
      .status;
}

const Json kPlan = Json::parse(R"({
  "allowUnplannedEvents": false,
  "events": [{"name": "purchase", "schema": {
    "type": "object",
    "properties": {
      "price": {"type": "number", "minimum": 0, "maximum": 1000},
      "currency": {"enum": ["EUR", "USD"]},
      "items": {"type": "array", "items": {"type": "object",
                                           "properties": {"sku": {"type": "string"}}}}},
    "required": ["price"],
    "additionalProperties": false}}]})");

std::filesystem::path writeFile(const std::filesystem::path& file, const std::string& text) {
  std::ofstream(file) << text;
  return file;
}

// One event per kind of verdict: the API, the counters and the record agree on each.
TEST(InspectorTest, EveryEventGetsItsVerdictInTheApiAndTheRecord) {
  testing::TempDir dir;
  Collector collector(
      {"--ui-port", "0", "--plan", writeFile(dir.path() / "plan.json", kPlan.dump()).string()});
  auto api = [&collector](const std::string& path) { return collector.uiUrl() + path; };
  ASSERT_TRUE(collector.started());
  ASSERT_FALSE(collector.uiUrl().empty());
  struct Case {
    const char* id;
    const char* name;
    Json properties;
    const char* type;  // "" for an event as planned
    const char* pointer;
  };
  const std::vector<Case> cases = {
      {"OK", "purchase", {{"price", 10}, {"currency", "EUR"}}, "", ""},
      {"UNPLANNED", "refund", Json::object(), "unplanned_event", "/event/eventName"},
      {"MISSING", "purchase", {{"currency", "EUR"}}, "missing_property", "/event/price"},
      {"TYPE", "purchase", {{"price", "10"}}, "wrong_type", "/event/price"},
      {"ENUM", "purchase", {{"price", 10}, {"currency", "JPY"}}, "out_of_range", "/event/currency"},
      {"RANGE", "purchase", {{"price", 5000}}, "out_of_range", "/event/price"},
      {"EXTRA", "purchase", {{"price", 1}, {"coupon", "X"}}, "unplanned_property", "/event/coupon"},
      {"NESTED",
       "purchase",
       {{"price", 1}, {"items", {{{"sku", 5}}}}},
       "wrong_type",
       "/event/items/0/sku"},
  };
  Json batch = Json::array();
  for (const auto& k : cases) batch.push_back(event(k.id, k.name, k.properties));
  ASSERT_EQ(postBatch(collector, batch), 200);
  ASSERT_EQ(postBatch(collector, Json::array({batch[0]})), 200);  // sent twice

  Reply all = call(api("api/events"));
  ASSERT_EQ(all.status, 200);
  ASSERT_EQ(all.body["events"].size(), cases.size() + 1);
  const std::vector<Json> records = collector.records();
  ASSERT_EQ(records.size(), 2u);
  const Json& record = records[0]["verdicts"];
  for (size_t i = 0; i < cases.size(); ++i) {
    const Json& e = all.body["events"][i];
    const Json& violations = e["violations"];
    SCOPED_TRACE(cases[i].id);
    EXPECT_EQ(e["eventUUID"], cases[i].id);
    EXPECT_EQ(e["timestamp_ms"], 1733640000123);
    EXPECT_EQ(record[i]["violations"], violations);
    if (*cases[i].type == '\0') {
      EXPECT_EQ(e["verdict"], "ok");
      EXPECT_TRUE(violations.empty());
      continue;
    }
    EXPECT_EQ(e["verdict"], "violation");
    ASSERT_EQ(violations.size(), 1u) << violations.dump();
    EXPECT_EQ(violations[0]["type"], cases[i].type);
    EXPECT_EQ(violations[0]["pointer"], cases[i].pointer);
    EXPECT_FALSE(violations[0]["message"].get<std::string>().empty());
  }
  EXPECT_EQ(all.body["events"].back()["duplicate"], true);
  // The schema's own words for a planned property come along.
  EXPECT_EQ(all.body["events"][5]["violations"][0]["schema"]["maximum"], 1000);

  const uint64_t last = all.body["events"][cases.size() - 1]["seq"];
  EXPECT_EQ(call(api("api/events?name=purchase&verdict=ok")).body["events"].size(), 2u);
  EXPECT_EQ(call(api("api/events?since=" + std::to_string(last))).body["events"].size(), 1u);
  EXPECT_EQ(call(api("api/events?verdict=bogus")).status, 400);

  EXPECT_EQ(call(api("api/summary")).body["byViolation"]["out_of_range"], 2);
  EXPECT_EQ(call(api("api/reset"), "{}").status, 200);
  EXPECT_EQ(call(api("api/summary")).body["events"], 0);
  EXPECT_TRUE(call(api("api/events")).body["events"].empty());
}

int runCollector(const std::string& arguments) {
  int status = std::system(
      (std::string(KELVOR_COLLECTOR_PATH) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// --summarize --plan, as CI runs it: non-zero for any accepted event that breaks the plan.
TEST(InspectorTest, SummarizeWithAPlanFailsOnViolations) {
  testing::TempDir dir;
  const auto plan = writeFile(dir.path() / "plan.json", kPlan.dump());
  auto line = [](int status, const Json& e) {
    return Json{{"method", "POST"}, {"status", status}, {"body", {{"events", {e}}}}}.dump() + "\n";
  };
  const std::string good = line(200, event("A", "purchase", {{"price", 1}}));
  const std::string bad = line(200, event("B", "purchase", {{"price", -1}}));
  // Planned without a schema: any properties; unplanned: only when the plan allows them.
  const auto open = writeFile(dir.path() / "open.json",
                              R"({"allowUnplannedEvents": true, "events": [{"name": "a"}]})");
  const std::string other =
      line(200, event("C", "other", {})) + line(200, event("D", "a", {{"x", 1}}));
  struct Case {
    const char* name;
    std::string record;
    std::string arguments;
    int code;
  };
  const std::vector<Case> cases = {
      {"as planned", good, "--plan " + plan.string(), 0},
      {"a violation", good + bad, "--plan " + plan.string(), 3},
      {"a violation in a refused batch", good + line(503, event("B", "x", {})),
       "--plan " + plan.string(), 0},
      {"without a plan", good + bad, "", 0},
      {"unplanned events a plan allows", other, "--plan " + open.string(), 0},
      {"an unplanned event", good + line(200, event("C", "other", {})), "--plan " + plan.string(),
       3},
      {"a violation and too few events", bad, "--expect 5 --plan " + plan.string(), 1},
      {"no such plan", good, "--plan " + (dir.path() / "none.json").string(), 2},
      {"a plan that is not one", good,
       "--plan " + writeFile(dir.path() / "bad.json", R"({"events": {}})").string(), 2},
  };
  for (const auto& k : cases) {
    const auto record = writeFile(dir.path() / "record.jsonl", k.record);
    EXPECT_EQ(runCollector("--summarize " + record.string() + " " + k.arguments), k.code) << k.name;
  }
  EXPECT_EQ(runCollector("--summarize " + (dir.path() / "none.jsonl").string()), 1);

  // The write key is masked as the page masks it: a summary ends up in tickets and CI logs.
  const auto keyed =
      writeFile(dir.path() / "keyed.jsonl",
                R"({"method":"GET","path":"/fp","status":200,)"
                R"("write_key":"secret-write-key-0123","query":{"user_country":"DE"},)"
                R"("payload":{"user_ki":"K"}})"
                "\n");
  std::ostringstream out;
  collector::RecordSummary::print(keyed.string(), out);
  EXPECT_EQ(out.str().find("secret-write-key-0123"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("w_k: secr… (21 characters)"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace kelvor
