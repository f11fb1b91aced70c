#include <gtest/gtest.h>

#include "support/CompactWriter.hpp"
#include "support/Render.hpp"

namespace kelvor {
namespace {

// The reporting call's writer skips the escaping walk for plain texts: every other kind of text
// and value must still come out byte for byte as the JSON library writes it.
TEST(CompactWriterTest, WritesTheSameBytesAsTheLibrarysDump) {
  const std::vector<Json> values = {
      Json::object(),
      Json::array(),
      {{"plain", "text"}, {"n", 12}, {"d", 1.5}, {"neg", -3}, {"big", 18446744073709551615u}},
      {{"quote\"key", "say \"hi\""}, {"slash", "a\\b/c"}, {"ctl", "\x01\n\t\x1f\x7f"}},
      {{"utf8", "caf\xc3\xa9 \xe2\x82\xac"},
       {"bad",
        "a\xff\xfe"
        "b"},
       {"\xc3", "cut"}},
      {{"nested", {{"list", Json::array({nullptr, true, false, 0.1, "x", Json::object()})}}}},
      {{"double", 1e300}, {"tiny", 5e-324}, {"int-like", 2.0}},
  };
  // Twice: the second round writes over the buffer the first one left.
  for (int round = 0; round < 2; ++round) {
    for (const Json& value : values) EXPECT_EQ(CompactWriter::write(value), render(value));
  }
}

}  // namespace
}  // namespace kelvor
