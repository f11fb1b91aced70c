#include "Samples.hpp"

#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <iostream>

#include "platform/Uuid.hpp"

namespace kelvor::bench {

Json properties(int i) {
  return {
      {"i", i}, {"screen", "checkout"}, {"price", 12.5}, {"currency", "EUR"}, {"sku", "SKU-12345"}};
}

Json tenProperties(int i) {
  return {{"i", i},
          {"screen", "checkout/payment/confirmation"},
          {"price", 1299.95},
          {"currency", "EUR"},
          {"sku", "SKU-1234567890-ABCDEFGHIJ"},
          {"category", "electronics/computers/laptops/ultrabooks"},
          {"campaign", "winter-sale-2026-newsletter-variant-b-returning-customers"},
          {"items", Json::array({"SKU-1234567890-A", "SKU-1234567890-B", "SKU-1234567890-C",
                                 "SKU-1234567890-D", "SKU-1234567890-E", "SKU-1234567890-F"})},
          {"shipping",
           {{"method", "express"},
            {"country", "DE"},
            {"zip", "10115"},
            {"address_line", "Unter den Linden 77, staircase B, floor 4"}}},
          {"note",
           "gift wrap requested; deliver between 9:00 and 17:00 on weekdays only, "
           "leave with the neighbour at number 75 when nobody answers the door"}};
}

StoredRow sampleRow(int i) {
  StoredRow row;
  row.eventUUID = Uuid::random();
  Json event = properties(i);
  event["eventName"] = "bench";
  event["eventTimestamp"] = "1701781234567";
  row.event = event.dump();
  row.page = StoredRow::text(R"({"screen":"checkout"})");
  row.user = StoredRow::text(
      R"({"app_name":"Bench","app_version":"1.0","carrier":"Simulator","country":"DE",)"
      R"("device_model_identifier":"x86_64","ki":"6F9619FF-8B86-D011-B42D-00C04FC964FF",)"
      R"("network_type":"wi-fi","os_type":"Debian GNU/Linux","os_version":"12","plan":"gold"})");
  row.version = "1.3.0";
  return row;
}

std::string batchBody(int count) {
  std::string body = "{\"events\":[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) body += ',';
    kelvor::OrvaService::appendEvent(body, sampleRow(i).texts());
  }
  return body + "]}";
}

void rawInsert(sqlite3_stmt* insert, const StoredRow& row) {
  sqlite3_bind_text(insert, 1, row.eventUUID.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(insert, 2, row.event.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(insert, 3, row.page->c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(insert, 4, row.user->c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_text(insert, 5, row.version.c_str(), -1, SQLITE_STATIC);
  sqlite3_step(insert);
  sqlite3_reset(insert);
}

double rssMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

double peakRssMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

Quorvel* startOrExit(const std::string& folder, const std::string& url, const std::string& ca,
                     QuorvelOption& option) {
  Platform::setDocumentsDirectory(folder + "/documents");
  Platform::setPreferencesDirectory(folder + "/preferences");
  Platform::setIngestionBaseUrl(url);
  Platform::setCABundle(ca);
  Platform::setBundleInfo({{"CFBundleName", "Bench"}, {"CFBundleShortVersionString", "1"}});
  option.logging(false).writeKey("bench-key").optout(false);
  auto result = Quorvel::tryInitialize(option.build());
  if (!result.ready()) {
    std::cerr << result.message << std::endl;
    std::exit(3);
  }
  return Quorvel::getInstance();
}

}  // namespace kelvor::bench
