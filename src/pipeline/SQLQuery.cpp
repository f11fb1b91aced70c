#include "pipeline/SQLQuery.hpp"

namespace kelvor {

std::string SQLQuery::readFirst(int64_t limit) {
  return "SELECT * FROM events LIMIT " + std::to_string(limit) + ";";
}

std::string SQLQuery::deleteQuery(const std::vector<Events>& events) {
  std::vector<std::string> ids;
  ids.reserve(events.size());
  for (const auto& record : events) ids.push_back(record.eventUUID);
  return deleteQuery(ids);
}

std::string SQLQuery::deleteQuery(const std::vector<std::string>& ids) {
  std::string list;
  list.reserve(ids.size() * 40);
  for (const auto& id : ids) {
    list += '\'';
    for (char c : id) {
      list += c;
      if (c == '\'') list += '\'';
    }
    list += "',";
  }
  if (!list.empty()) list.pop_back();
  return "DELETE FROM events WHERE eventUUID in (" + list + ")";
}

}  // namespace kelvor
