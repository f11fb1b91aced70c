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
  std::vector<int> purposesForTracking;
  std::vector<int> purposesForIdentifying;
  bool checkVendor;
  Json expected;
};

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
  option->setPurposesForTracking(c.purposesForTracking);
  option->setPurposesForIdentifying(c.purposesForIdentifying);
  option->setCheckKelvorVendorConsent(c.checkVendor);
  auto gdpr = std::make_shared<GDPRConsent>(option);
  Json got;
  int calls = 0;
  gdpr->resolveTCFV2Consent([&](const Json& consent) {
    got = consent;
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(got, c.expected);
}

Json applies(bool track, bool identify, bool vendor) {
  return {{"gdprApplies", true},
          {"consentString", "TC"},
          {"track", track},
          {"identify", identify},
          {"vendorConsent", vendor}};
}
const Json notApplies = {
    {"track", false}, {"identify", false}, {"vendorConsent", false}, {"gdprApplies", false}};

const std::string vendor742 = bits(742, {742});
const std::string allPurposes = bits(10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});

INSTANTIATE_TEST_SUITE_P(
    Table, TcfTable,
    ::testing::Values(
        TcfCase{"no_policy", nullptr, 1, vendor742, allPurposes, {}, {}, false, notApplies},
        TcfCase{"policy_zero", 0, 1, vendor742, allPurposes, {}, {}, false, notApplies},
        TcfCase{"applies_zero", 2, 0, vendor742, allPurposes, {}, {}, false, notApplies},
        TcfCase{"applies_two", 2, 2, vendor742, allPurposes, {}, {}, false, notApplies},
        TcfCase{"applies_absent", 2, nullptr, vendor742, allPurposes, {}, {}, false, notApplies},
        TcfCase{"applies_number",
                2,
                1,
                vendor742,
                allPurposes,
                {},
                {},
                true,
                applies(true, true, true)},
        TcfCase{"applies_text",
                "4",
                "1",
                vendor742,
                allPurposes,
                {},
                {},
                true,
                applies(true, true, true)},
        TcfCase{"vendor_741_chars",
                2,
                1,
                bits(741, {741}),
                allPurposes,
                {},
                {},
                true,
                applies(false, false, false)},
        TcfCase{"vendor_bit_zero",
                2,
                1,
                bits(742),
                allPurposes,
                {},
                {},
                true,
                applies(false, false, false)},
        TcfCase{
            "vendor_not_checked", 2, 1, "", allPurposes, {}, {}, false, applies(true, true, false)},
        TcfCase{"second_alternative",
                2,
                1,
                vendor742,
                bits(9, {1, 2, 4, 5, 6, 9}),
                {},
                {},
                true,
                applies(true, true, true)},
        TcfCase{"neither_alternative",
                2,
                1,
                vendor742,
                bits(9, {1, 2, 4, 6, 9}),
                {},
                {},
                true,
                applies(false, true, true)},
        TcfCase{"purpose9_zero",
                2,
                1,
                vendor742,
                bits(9, {1, 3, 4}),
                {},
                {},
                true,
                applies(true, false, true)},
        TcfCase{"purpose9_beyond",
                2,
                1,
                vendor742,
                bits(8, {1, 3, 4, 5, 6, 7, 8}),
                {},
                {},
                true,
                applies(true, false, true)},
        TcfCase{"configured_beyond",
                2,
                1,
                vendor742,
                allPurposes,
                {1, 11},
                {12},
                true,
                applies(false, false, true)},
        TcfCase{"configured_met",
                2,
                1,
                vendor742,
                bits(10, {2, 7}),
                {2},
                {7},
                true,
                applies(true, true, true)},
        TcfCase{"empty_purposes", 2, 1, vendor742, "", {}, {}, true, applies(false, false, true)},
        // Any character but "0" counts as consent at a listed position.
        TcfCase{
            "non_binary", 2, 1, vendor742, "x0yz0000a", {}, {}, true, applies(true, true, true)},
        TcfCase{"purpose_below_one",
                2,
                1,
                vendor742,
                allPurposes,
                {0},
                {-1},
                true,
                applies(false, false, true)}),
    [](const ::testing::TestParamInfo<TcfCase>& info) { return std::string(info.param.name); });

TEST(GDPRConsentTest, NotApplyingEndsTheObservation) {
  testing::PlatformSandbox sandbox;
  auto gdpr = std::make_shared<GDPRConsent>(std::make_shared<QuorvelOption>());
  gdpr->observeTCString([](const Json&) {});
  EXPECT_TRUE(gdpr->isObserving());
  gdpr->resolveTCFV2Consent([](const Json&) {});
  EXPECT_FALSE(gdpr->isObserving());
}

}  // namespace
}  // namespace kelvor
