#include "RecordSummary.hpp"

#include <fstream>
#include <map>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelvor::collector {
namespace {

using nlohmann::json;

std::string brief(const json& value, size_t limit = 60) {
  std::string text = value.is_string() ? value.get<std::string>()
                                       : value.dump(-1, ' ', false, json::error_handler_t::replace);
  return text.size() > limit ? text.substr(0, limit - 3) + "..." : text;
}

void printEvent(const json& e, std::ostream& out) {
  const json& event = e.value("event", json::object());
  const json& user = e.value("user", json::object());
  out << "  - " << event.value("eventName", std::string("?")) << "  id " << e.value("eventUUID", "")
      << "  at " << event.value("eventTimestamp", "") << " ms\n";
  json properties = json::object();
  for (const auto& [k, v] : event.items()) {
    if (k != "eventName" && k != "eventTimestamp") properties[k] = v;
  }
  if (!properties.empty()) out << "      properties: " << brief(properties, 90) << "\n";
  if (e.contains("page")) out << "      page: " << brief(e["page"], 90) << "\n";
  out << "      user: network_type=" << brief(user.value("network_type", json("")))
      << ", country=" << brief(user.value("country", json("")))
      << ", ki=" << brief(user.value("ki", json(""))) << "\n";
  out << "            os=" << brief(user.value("os_type", json(""))) << " "
      << brief(user.value("os_version", json("")))
      << ", device=" << brief(user.value("device_model_identifier", json("")))
      << ", app=" << brief(user.value("app_name", json(""))) << " "
      << brief(user.value("app_version", json("")))
      << ", carrier=" << brief(user.value("carrier", json(""))) << "\n";
  if (user.contains("email")) out << "            email: " << brief(user["email"], 80) << "\n";
  if (user.contains("plan")) out << "            plan: " << brief(user["plan"]) << "\n";
  out << "      version: " << e.value("version", "") << "\n";
}

}  // namespace

int RecordSummary::print(const std::string& recordFile, std::ostream& out) {
  std::ifstream in(recordFile);
  if (!in) return -1;
  std::vector<json> records;
  std::string line;
  while (std::getline(in, line)) {
    json parsed = json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) records.push_back(std::move(parsed));
  }

  std::vector<size_t> batches;
  std::vector<json> events;
  std::set<std::string> ids;
  std::vector<json> identities;
  int refused = 0;
  json firstQuery;
  for (const auto& r : records) {
    int status = r.value("status", 0);
    bool accepted = status >= 200 && status <= 299;
    if (!accepted) ++refused;
    if (r.value("method", "") == "POST" && accepted) {
      const json& list = r["body"]["events"];
      batches.push_back(list.size());
      if (firstQuery.is_null()) firstQuery = r["query"];
      for (const auto& e : list) {
        events.push_back(e);
        ids.insert(e.value("eventUUID", ""));
      }
    } else if (r.value("method", "") == "GET" && accepted && r.contains("payload")) {
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
  for (const auto& e : events) ++byName[e["event"].value("eventName", std::string("?"))];
  out << "by name:";
  for (const auto& [name, n] : byName) out << " " << name << "=" << n;
  out << "\n\na few events:\n";
  std::set<std::string> shown;
  for (const auto& e : events) {
    std::string name = e["event"].value("eventName", std::string("?"));
    if (shown.size() >= 4 || !shown.insert(name).second) continue;
    printEvent(e, out);
  }
  if (!identities.empty()) {
    const json& last = identities.back();
    out << "\nidentity requests: " << identities.size() << "; the last one decoded:\n";
    out << "  w_k: " << last.value("write_key", "")
        << ", user_country: " << last["query"].value("user_country", "") << "\n";
    for (const auto& [k, v] : last["payload"].items())
      out << "  " << k << ": " << brief(v, 100) << "\n";
  }
  out << "\nwhat the words mean:\n"
         "  POST /fp      a batch of events, {\"events\":[...]}, with the write key as Basic\n"
         "                credential (user w_k); GET /fp is the identity request\n"
         "  w_k           the app's write key (Base64 in the identity request's query)\n"
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
