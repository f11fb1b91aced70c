#include "Inspector.hpp"

#include <algorithm>

#include "JsonFields.hpp"

namespace kelvor::collector {
namespace {

using nlohmann::json;

// "1733640000123" (as the library sends it) or a number; null when it is neither.
json milliseconds(const json& value) {
  if (value.is_number_integer()) return value;
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    if (!s.empty() && s.size() < 19 && std::all_of(s.begin(), s.end(), ::isdigit))
      return std::stoll(s);
  }
  return nullptr;
}

}  // namespace

Inspector::Inspector(size_t keep) : keep_(keep) {}

std::string Inspector::maskKey(const std::string& key) {
  const std::string shown = key.size() >= 12 ? key.substr(0, 4) : "";
  return shown + "… (" + std::to_string(key.size()) + " characters)";
}

void Inspector::add(const json& entry) {
  const std::string method = JsonFields::text(entry, "method");
  const int64_t status = JsonFields::at(entry, "status").is_number_integer()
                             ? JsonFields::at(entry, "status").get<int64_t>()
                             : 0;
  const bool accepted = status >= 200 && status <= 299;
  json view = {{"method", method},
               {"path", JsonFields::text(entry, "path")},
               {"status", status},
               {"received_ms", JsonFields::at(entry, "received_ms")},
               {"size", JsonFields::at(entry, "size")},
               {"query", JsonFields::at(entry, "query")}};
  std::string verdict = accepted ? "accepted" : "refused";
  if (!JsonFields::text(entry, "fault").empty()) verdict = "fault";
  view["verdict"] = verdict;
  if (!JsonFields::text(entry, "problem").empty())
    view["problem"] = JsonFields::text(entry, "problem");
  if (!JsonFields::text(entry, "fault").empty()) view["fault"] = JsonFields::text(entry, "fault");
  if (JsonFields::at(entry, "write_key").is_string())
    view["w_k"] = maskKey(JsonFields::text(entry, "write_key"));
  if (method == "GET" && JsonFields::at(entry, "payload").is_object()) {
    view["payload"] = JsonFields::at(entry, "payload");
  }
  const json& list = JsonFields::at(JsonFields::at(entry, "body"), "events");
  const json& verdicts = JsonFields::at(entry, "verdicts");

  std::lock_guard lock(mutex_);
  view["seq"] = ++lastRequest_;
  ++counters_.requests;
  if (!accepted) ++counters_.refused;
  if (method == "GET" && accepted) ++counters_.identities;
  if (method == "POST" && accepted && list.is_array()) ++counters_.batches;
  view["events"] = list.is_array() ? list.size() : 0;
  if (list.is_array()) {
    view["firstEvent"] = lastEvent_ + 1;
    for (size_t i = 0; i < list.size(); ++i) {
      const json& e = list[i];
      const json& body = JsonFields::at(e, "event");
      json properties = json::object();
      if (body.is_object()) {
        for (const auto& [key, value] : body.items()) {
          if (key != "eventName" && key != "eventTimestamp") properties[key] = value;
        }
      }
      json violations = verdicts.is_array() && i < verdicts.size()
                            ? JsonFields::at(verdicts[i], "violations")
                            : json::array();
      if (!violations.is_array()) violations = json::array();
      const std::string id = JsonFields::text(e, "eventUUID");
      const std::string name = JsonFields::text(body, "eventName");
      bool duplicate = false;
      if (accepted) {
        ++counters_.events;
        ++counters_.byName[name];
        duplicate = !acceptedIds_.insert(id).second;
        counters_.duplicates += duplicate;
        counters_.violations += violations.size();
        counters_.eventsWithViolations += !violations.empty();
        for (const auto& v : violations) ++counters_.byViolation[JsonFields::text(v, "type")];
      }
      events_.push_back({{"seq", ++lastEvent_},
                         {"request", view["seq"]},
                         {"received_ms", view["received_ms"]},
                         {"name", name},
                         {"eventUUID", id},
                         {"timestamp_ms", milliseconds(JsonFields::at(body, "eventTimestamp"))},
                         {"properties", properties},
                         {"page", JsonFields::at(e, "page")},
                         {"user", JsonFields::at(e, "user")},
                         {"version", JsonFields::at(e, "version")},
                         {"violations", violations},
                         {"duplicate", duplicate},
                         {"verdict", !accepted            ? "refused"
                                     : violations.empty() ? "ok"
                                                          : "violation"}});
    }
  }
  requests_.push_back(std::move(view));
  while (requests_.size() > keep_) requests_.pop_front();
  while (events_.size() > keep_ * 10) events_.pop_front();
}

json Inspector::requests(uint64_t since) const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& r : requests_) {
    if (r["seq"].get<uint64_t>() > since) out.push_back(r);
  }
  return {{"requests", out}, {"last", lastRequest_}};
}

json Inspector::events(const EventFilter& filter) const {
  std::lock_guard lock(mutex_);
  json out = json::array();
  for (const auto& e : events_) {
    if (e["seq"].get<uint64_t>() <= filter.since) continue;
    if (!filter.name.empty() && e["name"] != filter.name) continue;
    if (!filter.verdict.empty() && e["verdict"] != filter.verdict) continue;
    out.push_back(e);
  }
  return {{"events", out}, {"last", lastEvent_}};
}

json Inspector::summary() const {
  std::lock_guard lock(mutex_);
  return {{"requests", counters_.requests},
          {"events", counters_.events},
          {"batches", counters_.batches},
          {"identities", counters_.identities},
          {"refused", counters_.refused},
          {"duplicates", counters_.duplicates},
          {"violations", counters_.violations},
          {"eventsWithViolations", counters_.eventsWithViolations},
          {"byName", counters_.byName},
          {"byViolation", counters_.byViolation},
          {"lastRequest", lastRequest_},
          {"lastEvent", lastEvent_}};
}

void Inspector::reset() {
  std::lock_guard lock(mutex_);
  requests_.clear();
  events_.clear();
  acceptedIds_.clear();
  counters_ = Counters();
  // Numbers keep growing, so a page polling with `since` never mistakes new rows for old ones.
}

}  // namespace kelvor::collector
