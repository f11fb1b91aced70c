#include "TrackingPlan.hpp"

#include <fstream>
#include <stdexcept>

#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

namespace kelvor::collector {
namespace {

using nlohmann::json;

// Where an event's properties sit in the event as sent: beside the name and the timestamp.
constexpr const char* kPropertiesPointer = "/event";

std::string escapePointer(const std::string& token) {
  std::string out;
  for (char c : token) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
  return out;
}

// The validator names a place as {"<root>", "[key]", "[0]", ...}.
std::string pointerOf(const std::vector<std::string>& context) {
  std::string pointer = kPropertiesPointer;
  for (const auto& part : context) {
    if (part.size() >= 2 && part.front() == '[' && part.back() == ']') {
      pointer += "/" + escapePointer(part.substr(1, part.size() - 2));
    }
  }
  return pointer;
}

// The last quoted text, as in "Missing required property 'x'." or "... constraints: 'x'.".
std::string quoted(const std::string& message) {
  auto close = message.rfind('\'');
  if (close == std::string::npos || close == 0) return "";
  auto open = message.rfind('\'', close - 1);
  if (open == std::string::npos) return "";
  return message.substr(open + 1, close - open - 1);
}

bool startsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

// The plan's own words for the value at `pointer` (below the properties): the subschema the
// developer wrote, found through "properties" and "items".
json schemaAt(const json& schema, const std::string& pointer) {
  const json* at = &schema;
  std::string rest = pointer.substr(std::string(kPropertiesPointer).size());
  size_t start = 0;
  while (start < rest.size()) {
    size_t end = rest.find('/', start + 1);
    std::string token = rest.substr(start + 1, end == std::string::npos ? end : end - start - 1);
    start = end == std::string::npos ? rest.size() : end;
    const std::string key = json::json_pointer("/" + token).back();
    if (at->is_object() && at->contains("properties") && (*at)["properties"].contains(key)) {
      at = &(*at)["properties"][key];
    } else if (at->is_object() && at->contains("items") && (*at)["items"].is_object()) {
      at = &(*at)["items"];
    } else {
      return nullptr;
    }
  }
  return *at;
}

json violation(const std::string& type, const std::string& pointer, const std::string& message,
               const json& schema) {
  json v = {{"type", type}, {"pointer", pointer}, {"message", message}};
  if (!schema.is_null()) v["schema"] = schema;
  return v;
}

}  // namespace

TrackingPlan::~TrackingPlan() = default;

std::unique_ptr<TrackingPlan> TrackingPlan::load(const std::string& file, std::string& error) {
  std::ifstream in(file);
  if (!in) {
    error = "cannot read " + file;
    return nullptr;
  }
  json plan = json::parse(in, nullptr, false);
  if (plan.is_discarded()) {
    error = file + " is not JSON";
    return nullptr;
  }
  auto loaded = fromJson(plan, error);
  if (!loaded) error = file + ": " + error;
  return loaded;
}

std::unique_ptr<TrackingPlan> TrackingPlan::fromJson(const json& plan, std::string& error) {
  if (!plan.is_object() || !plan.contains("events") || !plan["events"].is_array()) {
    error = "a plan is an object with \"events\": [{\"name\": ..., \"schema\": {...}}, ...]";
    return nullptr;
  }
  std::unique_ptr<TrackingPlan> result(new TrackingPlan());
  const json& allow = plan.contains("allowUnplannedEvents") ? plan["allowUnplannedEvents"] : json();
  if (!allow.is_null() && !allow.is_boolean()) {
    error = "allowUnplannedEvents takes true or false";
    return nullptr;
  }
  result->allowUnplanned_ = allow.is_boolean() ? allow.get<bool>() : false;
  for (const auto& entry : plan["events"]) {
    if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string()) {
      error = "every planned event needs a \"name\"";
      return nullptr;
    }
    const std::string name = entry["name"].get<std::string>();
    Planned planned;
    planned.schema = entry.contains("schema") ? entry["schema"] : json::object();
    if (!planned.schema.is_object() && !planned.schema.is_boolean()) {
      error = "the schema of " + name + " is not a JSON Schema";
      return nullptr;
    }
    planned.compiled = std::make_unique<valijson::Schema>();
    try {
      valijson::SchemaParser parser(valijson::SchemaParser::kDraft7);
      valijson::adapters::NlohmannJsonAdapter adapter(planned.schema);
      parser.populateSchema(adapter, *planned.compiled);
    } catch (const std::exception& e) {
      error = "the schema of " + name + " cannot be used: " + e.what();
      return nullptr;
    }
    if (!result->events_.emplace(name, std::move(planned)).second) {
      error = name + " is planned twice";
      return nullptr;
    }
  }
  return result;
}

json TrackingPlan::check(const json& event) const {
  json found = json::array();
  const json empty = json::object();
  const json& body = event.is_object() && event.contains("event") ? event["event"] : empty;
  const std::string name =
      body.is_object() && body.contains("eventName") && body["eventName"].is_string()
          ? body["eventName"].get<std::string>()
          : "";
  auto planned = events_.find(name);
  if (planned == events_.end()) {
    if (!allowUnplanned_) {
      found.push_back(violation("unplanned_event", "/event/eventName",
                                "\"" + name + "\" is not in the tracking plan", nullptr));
    }
    return found;
  }
  json properties = json::object();
  if (body.is_object()) {
    for (const auto& [key, value] : body.items()) {
      if (key != "eventName" && key != "eventTimestamp") properties[key] = value;
    }
  }
  // One validator per call: it caches compiled patterns, and calls come from many threads.
  valijson::Validator validator;
  valijson::ValidationResults results;
  valijson::adapters::NlohmannJsonAdapter target(properties);
  try {
    if (validator.validate(*planned->second.compiled, target, &results)) return found;
  } catch (const std::exception& e) {
    found.push_back(violation("schema", kPropertiesPointer, e.what(), nullptr));
    return found;
  }
  json wrappers = json::array();
  valijson::ValidationResults::Error error;
  while (results.popError(error)) {
    const std::string& message = error.description;
    std::string pointer = pointerOf(error.context);
    std::string type;
    if (startsWith(message, "Missing required property")) {
      type = "missing_property";
      pointer += "/" + escapePointer(quoted(message));
    } else if (startsWith(message, "Object contains a property that could not be validated")) {
      type = "unplanned_property";
      pointer += "/" + escapePointer(quoted(message));
    } else if (startsWith(message, "Value type not permitted")) {
      type = "wrong_type";
    } else if (startsWith(message, "Failed to match against any enum values") ||
               startsWith(message, "Failed to match expected value set by 'const'") ||
               startsWith(message, "Expected number") ||
               startsWith(message, "Value should be a multiple") ||
               startsWith(message, "String should be") ||
               startsWith(message, "Failed to match regex") ||
               startsWith(message, "Array should contain")) {
      type = "out_of_range";
    } else if (startsWith(message, "Failed to validate against schema associated with property") ||
               startsWith(message, "Failed to validate item #")) {
      // Says only that something below failed; the error below says what.
      wrappers.push_back(violation("schema", pointer, message, nullptr));
      continue;
    } else {
      type = "schema";
    }
    found.push_back(violation(type, pointer, message, schemaAt(planned->second.schema, pointer)));
  }
  if (found.empty()) found = wrappers;
  return found;
}

}  // namespace kelvor::collector
