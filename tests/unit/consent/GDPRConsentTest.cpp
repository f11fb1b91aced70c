#include <gtest/gtest.h>

#include <kelvor/QuorvelOption.hpp>

#include "consent/GDPRConsent.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

std::string bits(size_t length, std::initializer_list<size_t> ones = {}, char fill = '0') {
  std::string text(length, fill);
  for (size_t position : ones) text[position - 1] = '1';
  return text;
}

struct TcfCase {
  const char* name;
  Json policyVersion;  // null: absent
  Json gdprApplies;    // null: absent
  std::string vendors;
  std::string purposes;
  std::vector<int> tracking;
  std::vector<int> identifying;
  bool checkVendor;
  // "none": the regulation does not apply; otherwise track, identify and vendor consent as 0/1.
  std::string expected;
};

Json expectedConsent(const std::string& code) {
  if (code == "none") {
    return {
        {"track", false}, {"identify", false}, {"vendorConsent", false}, {"gdprApplies", false}};
  }
  return {{"gdprApplies", true},
          {"consentString", "TC"},
          {"track", code[0] == '1'},
          {"identify", code[1] == '1'},
          {"vendorConsent", code[2] == '1'}};
}

class TcfTable : public ::testing::TestWithParam<TcfCase> {};

TEST_P(TcfTable, ResolvesTheConsentDictionary) {
  testing::PlatformSandbox sandbox;
  const TcfCase& c = GetParam();
  Preferences& prefs = Preferences::standard();
  if (!c.policyVersion.is_null()) prefs.set("IABTCF_PolicyVersion", c.policyVersion);
  if (!c.gdprApplies.is_null()) prefs.set("IABTCF_gdprApplies", c.gdprApplies);
  prefs.set("IABTCF_TCString", "TC");
  prefs.set("IABTCF_VendorConsents", c.vendors);
  prefs.set("IABTCF_PurposeConsents", c.purposes);
  auto option = std::make_shared<QuorvelOption>();
  option->setPurposesForTracking(c.tracking);
  option->setPurposesForIdentifying(c.identifying);
  option->setCheckKelvorVendorConsent(c.checkVendor);
  auto gdpr = std::make_shared<GDPRConsent>(option);
  Json got;
  int calls = 0;
  gdpr->resolveTCFV2Consent([&](const Json& consent) {
    got = consent;
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, expectedConsent(c.expected));
}

const std::string V = bits(742, {742});  // our vendor's bit set
const std::string P = bits(10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, TcfTable, ::testing::Values(
    TcfCase{"no_policy",           nullptr, 1,       V, P, {}, {}, false, "none"},
    TcfCase{"policy_zero",         0,       1,       V, P, {}, {}, false, "none"},
    TcfCase{"applies_zero",        2,       0,       V, P, {}, {}, false, "none"},
    TcfCase{"applies_two",         2,       2,       V, P, {}, {}, false, "none"},
    TcfCase{"applies_absent",      2,       nullptr, V, P, {}, {}, false, "none"},
    TcfCase{"applies_number",      2,       1,       V, P, {}, {}, true,  "111"},
    TcfCase{"applies_text",        "4",     "1",     V, P, {}, {}, true,  "111"},
    TcfCase{"vendor_741_chars",    2, 1, bits(741, {741}), P, {}, {}, true, "000"},
    TcfCase{"vendor_bit_zero",     2, 1, bits(742), P, {}, {}, true, "000"},
    TcfCase{"vendor_not_checked",  2, 1, "", P, {}, {}, false, "110"},
    TcfCase{"second_alternative",  2, 1, V, bits(9, {1, 2, 4, 5, 6, 9}), {}, {}, true, "111"},
    TcfCase{"neither_alternative", 2, 1, V, bits(9, {1, 2, 4, 6, 9}), {}, {}, true, "011"},
    TcfCase{"purpose9_zero",       2, 1, V, bits(9, {1, 3, 4}), {}, {}, true, "101"},
    TcfCase{"purpose9_beyond",     2, 1, V, bits(8, {1, 3, 4, 5, 6, 7, 8}), {}, {}, true, "101"},
    TcfCase{"configured_beyond",   2, 1, V, P, {1, 11}, {12}, true, "001"},
    TcfCase{"configured_met",      2, 1, V, bits(10, {2, 7}), {2}, {7}, true, "111"},
    TcfCase{"empty_purposes",      2, 1, V, "", {}, {}, true, "001"},
    // Any character but "0" counts as consent at a listed position.
    TcfCase{"non_binary",          2, 1, V, "x0yz0000a", {}, {}, true, "111"},
    TcfCase{"purpose_below_one",   2, 1, V, P, {0}, {-1}, true, "001"}),
    [](const ::testing::TestParamInfo<TcfCase>& info) { return std::string(info.param.name); });
// clang-format on

}  // namespace
}  // namespace kelvor
