#include "pipeline/SQLQuery.hpp"

namespace kelvor {

std::string SQLQuery::readFirst(int64_t limit) {
  return "SELECT * FROM events LIMIT " + std::to_string(limit) + ";";
}

std::string SQLQuery::deleteQuery(const std::vector<Events>& events) {
  std::string list;
  for (const auto& record : events) {
    list += '\'';
    for (char c : record.eventUUID) {
      list += c;
      if (c == '\'') list += '\'';
    }
    list += "',";
  }
  if (!list.empty()) list.pop_back();
  return "DELETE FROM events WHERE eventUUID in (" + list + ")";
}

}  // namespace kelvor
