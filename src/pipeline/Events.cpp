#include "pipeline/Events.hpp"

#include "support/Render.hpp"

namespace kelvor {

Json Events::toDictionary() const {
  Json dictionary = {
      {"eventUUID", eventUUID}, {"event", event}, {"user", user}, {"version", version}};
  if (page && page->is_object() && !page->empty()) dictionary["page"] = *page;
  return dictionary;
}

std::string Events::description() const {
  return "Events(eventUUID: " + eventUUID + ", event: " + render(event) +
         ", page: " + (page ? render(*page) : std::string("nil")) + ", user: " + render(user) +
         ", version: " + version + ")";
}

}  // namespace kelvor
