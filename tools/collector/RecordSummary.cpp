#include "RecordSummary.hpp"

#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "Inspector.hpp"
#include "JsonFields.hpp"

namespace kelvor::collector {
namespace {

using nlohmann::json;

// A record file may hold anything (a user may point --summarize at any file): every field is
// read through JsonFields.

std::string brief(const json& value, size_t limit = 60) {
  std::string text = value.is_string() ? value.get<std::string>()
                                       : value.dump(-1, ' ', false, json::error_handler_t::replace);
  return text.size() > limit ? text.substr(0, limit - 3) + "..." : text;
}

void printEvent(const json& e, std::ostream& out) {
  const json& event = JsonFields::at(e, "event");
  const json& user = JsonFields::at(e, "user");
  out << "  - " << JsonFields::text(event, "eventName", "?") << "  id "
      << JsonFields::text(e, "eventUUID") << "  at " << JsonFields::text(event, "eventTimestamp")
      << " ms\n";
  json properties = json::object();
  if (event.is_object()) {
    for (const auto& [key, value] : event.items()) {
      if (key != "eventName" && key != "eventTimestamp") properties[key] = value;
    }
  }
  if (!properties.empty()) out << "      properties: " << brief(properties, 90) << "\n";
  if (!JsonFields::at(e, "page").is_null())
    out << "      page: " << brief(JsonFields::at(e, "page"), 90) << "\n";
  out << "      user: network_type=" << brief(JsonFields::at(user, "network_type"))
      << ", country=" << brief(JsonFields::at(user, "country"))
      << ", ki=" << brief(JsonFields::at(user, "ki")) << "\n";
  out << "            os=" << brief(JsonFields::at(user, "os_type")) << " "
      << brief(JsonFields::at(user, "os_version"))
      << ", device=" << brief(JsonFields::at(user, "device_model_identifier"))
      << ", app=" << brief(JsonFields::at(user, "app_name")) << " "
      << brief(JsonFields::at(user, "app_version"))
      << ", carrier=" << brief(JsonFields::at(user, "carrier")) << "\n";
  if (!JsonFields::at(user, "email").is_null())
    out << "            email: " << brief(JsonFields::at(user, "email"), 80) << "\n";
  if (!JsonFields::at(user, "plan").is_null())
    out << "            plan: " << brief(JsonFields::at(user, "plan")) << "\n";
  out << "      version: " << JsonFields::text(e, "version") << "\n";
}

// nullopt when the file cannot be read.
std::optional<std::vector<json>> readRecord(const std::string& recordFile) {
  std::ifstream in(recordFile);
  if (!in) return std::nullopt;
  std::vector<json> records;
  std::string line;
  while (std::getline(in, line)) {
    json parsed = json::parse(line, nullptr, false);
    if (parsed.is_object()) records.push_back(std::move(parsed));
  }
  return records;
}

bool acceptedBatch(const json& r) {
  const int64_t status = JsonFields::number(r, "status");
  return JsonFields::text(r, "method") == "POST" && status >= 200 && status <= 299 &&
         JsonFields::at(JsonFields::at(r, "body"), "events").is_array();
}

}  // namespace

int RecordSummary::checkPlan(const std::string& recordFile, const TrackingPlan& plan,
                             std::ostream& out) {
  auto records = readRecord(recordFile);
  if (!records) return -1;
  std::set<std::string> seen;
  int broken = 0;
  int checked = 0;
  out << "\n== Tracking plan ==\n";
  for (const auto& r : *records) {
    if (!acceptedBatch(r)) continue;
    for (const auto& e : JsonFields::at(JsonFields::at(r, "body"), "events")) {
      if (!seen.insert(JsonFields::text(e, "eventUUID")).second) continue;
      ++checked;
      const json violations = plan.check(e);
      if (violations.empty()) continue;
      ++broken;
      out << "  " << JsonFields::text(JsonFields::at(e, "event"), "eventName", "?") << "  id "
          << JsonFields::text(e, "eventUUID") << "\n";
      for (const auto& v : violations) {
        out << "      " << JsonFields::text(v, "type") << " at " << JsonFields::text(v, "pointer")
            << ": " << JsonFields::text(v, "message") << "\n";
      }
    }
  }
  out << checked << " events checked, " << broken << " break the plan\n";
  return broken;
}

int RecordSummary::print(const std::string& recordFile, std::ostream& out) {
  auto read = readRecord(recordFile);
  if (!read) return -1;
  const std::vector<json>& records = *read;

  std::vector<size_t> batches;
  std::vector<json> events;
  std::set<std::string> ids;
  std::vector<json> identities;
  int refused = 0;
  json firstQuery;
  for (const auto& r : records) {
    const int64_t status = JsonFields::number(r, "status");
    const bool accepted = status >= 200 && status <= 299;
    if (!accepted) ++refused;
    const json& list = JsonFields::at(JsonFields::at(r, "body"), "events");
    if (JsonFields::text(r, "method") == "POST" && accepted && list.is_array()) {
      batches.push_back(list.size());
      if (firstQuery.is_null()) firstQuery = JsonFields::at(r, "query");
      for (const auto& e : list) {
        events.push_back(e);
        ids.insert(JsonFields::text(e, "eventUUID"));
      }
    } else if (JsonFields::text(r, "method") == "GET" && accepted &&
               JsonFields::at(r, "payload").is_object()) {
      identities.push_back(r);
    }
  }

  out << "== What the endpoint received ==\n";
  out << "requests: " << records.size() << " (" << refused << " refused)\n";
  out << "event batches: " << batches.size() << ", sizes:";
  for (size_t size : batches) out << " " << size;
  out << "\nevents accepted: " << events.size() << " (" << ids.size() << " distinct ids)\n";
  if (!firstQuery.is_null()) out << "batch query: " << brief(firstQuery, 200) << "\n";
  std::map<std::string, int> byName;
  for (const auto& e : events)
    ++byName[JsonFields::text(JsonFields::at(e, "event"), "eventName", "?")];
  out << "by name:";
  for (const auto& [name, n] : byName) out << " " << name << "=" << n;
  out << "\n\na few events:\n";
  std::set<std::string> shown;
  for (const auto& e : events) {
    std::string name = JsonFields::text(JsonFields::at(e, "event"), "eventName", "?");
    if (shown.size() >= 4 || !shown.insert(name).second) continue;
    printEvent(e, out);
  }
  if (!identities.empty()) {
    const json& last = identities.back();
    out << "\nidentity requests: " << identities.size() << "; the last one decoded:\n";
    // Masked as the page shows it: a summary is pasted into tickets and CI logs.
    out << "  w_k: " << Inspector::maskKey(JsonFields::text(last, "write_key"))
        << ", user_country: " << JsonFields::text(JsonFields::at(last, "query"), "user_country")
        << "\n";
    for (const auto& [k, v] : JsonFields::at(last, "payload").items())
      out << "  " << k << ": " << brief(v, 100) << "\n";
  }
  out << "\nwhat the words mean:\n"
         "  POST /fp      a batch of events, {\"events\":[...]}, with the write key as Basic\n"
         "                credential (user w_k); GET /fp is the identity request\n"
         "  w_k           the app's write key (Base64 in the identity request's query;\n"
         "                masked here)\n"
         "  ki            the library's random id for this user, kept across starts\n"
         "  optin         yes when tracking or identifying is allowed; track and identify\n"
         "                say which; cookieSync is always false\n"
         "  env=mApp      the kind of client: an app (as opposed to a web page)\n"
         "  cmp, gdpr, gdpr_consent, vendorConsent\n"
         "                the IAB TCF v2 decision of a consent-management platform, when the\n"
         "                app reads one (useConsent and checkForCMP)\n"
         "  payload       the identity request's user data: ki, identities (e-mail and phone\n"
         "                numbers hashed when hashIdentities is on), user properties\n";
  return static_cast<int>(ids.size());
}

}  // namespace kelvor::collector
