// What --summarize prints of a record.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "RecordSummary.hpp"
#include "support/TempDir.hpp"

namespace kelvor::collector {
namespace {

// The write key is masked as the page masks it: a summary ends up in tickets and CI logs.
TEST(RecordSummaryTest, TheWriteKeyIsMaskedAsOnThePage) {
  testing::TempDir dir;
  const auto record = dir.path() / "record.jsonl";
  std::ofstream(record) << R"({"method":"GET","path":"/fp","status":200,)"
                        << R"("write_key":"secret-write-key-0123","query":{"user_country":"DE"},)"
                        << R"("payload":{"user_ki":"K"}})"
                        << "\n";
  std::ostringstream out;
  RecordSummary::print(record.string(), out);
  EXPECT_EQ(out.str().find("secret-write-key-0123"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("w_k: secr… (21 characters)"), std::string::npos) << out.str();
}

}  // namespace
}  // namespace kelvor::collector
