#include "pipeline/RecordFilter.hpp"

#include <kelvor/Log.hpp>

#include "support/InputLimits.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

Json parsedObject(const std::string* text) {
  if (text == nullptr || text->empty()) return Json::object();
  Json value = Json::parse(*text, nullptr, false);
  return value.is_object() ? value : Json::object();
}

std::string eventName(const Json& event) {
  auto name = event.find("eventName");
  return name != event.end() && name->is_string() ? name->get<std::string>() : std::string();
}

// Why a record the filter returned cannot be stored; nothing when it can.
const char* unusable(const Json& result) {
  if (!result.is_object()) return "something that is not a JSON object";
  auto event = result.find("event");
  if (event == result.end() || !event->is_object() || eventName(*event).empty()) {
    return "a record without an \"event\" object holding an \"eventName\" text";
  }
  for (const char* key : {"page", "user"}) {
    auto part = result.find(key);
    if (part != result.end() && !part->is_null() && !part->is_object()) {
      return key[0] == 'p' ? "a \"page\" that is not an object"
                           : "a \"user\" that is not an object";
    }
  }
  auto version = result.find("version");
  if (version != result.end() && !version->is_string()) return "a \"version\" that is not text";
  // The event object itself sits one level down, the page and user maps as well.
  if (InputLimits::nestsDeeperThan(result, InputLimits::maxNestingDepth + 2)) {
    return "a record nested too deeply";
  }
  return nullptr;
}

}  // namespace

Json RecordFilter::record(const StoredRow& row) {
  Json record = Json::object();
  record["eventUUID"] = row.eventUUID;
  record["event"] = parsedObject(&row.event);
  Json page = parsedObject(row.page.get());
  // As on the wire: no "page" at all when none is set.
  if (!page.empty()) record["page"] = std::move(page);
  record["user"] = parsedObject(row.user.get());
  record["version"] = row.version;
  return record;
}

RecordFilter::Outcome RecordFilter::apply(StoredRow& row) const noexcept {
  std::string name;
  try {
    Json given = record(row);
    name = eventName(given["event"]);
    std::optional<Json> result;
    try {
      result = filter_(std::move(given));
    } catch (const std::exception& error) {
      Log::error("the event filter failed for the event \"" + name + "\" (" + error.what() +
                 "); the event was dropped, not sent unfiltered");
      return Outcome::failed;
    } catch (...) {
      Log::error("the event filter threw for the event \"" + name +
                 "\"; the event was dropped, not sent unfiltered");
      return Outcome::failed;
    }
    if (!result) return Outcome::drop;
    if (const char* problem = unusable(*result)) {
      Log::error("the event filter returned " + std::string(problem) + " for the event \"" + name +
                 "\"; the event was dropped, not sent unfiltered");
      return Outcome::failed;
    }
    Json& kept = *result;
    row.event = render(kept["event"]);
    auto page = kept.find("page");
    row.page = StoredRow::text(page != kept.end() && page->is_object() ? render(*page) : "{}");
    auto user = kept.find("user");
    row.user = StoredRow::text(user != kept.end() && user->is_object() ? render(*user) : "{}");
    auto version = kept.find("version");
    if (version != kept.end()) row.version = version->get<std::string>();
    return Outcome::keep;
  } catch (const std::exception& error) {
    Log::error("the event \"" + name + "\" could not be filtered (" + error.what() +
               "); it was dropped, not sent unfiltered");
  } catch (...) {
    Log::error("the event \"" + name + "\" could not be filtered; it was dropped");
  }
  return Outcome::failed;
}

}  // namespace kelvor
