#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include <kelvor/QuorvelOption.hpp>

#include "consent/ConsentService.hpp"
#include "consent/GDPRConsent.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

class ConsentServiceTest : public ::testing::Test {
 protected:
  testing::PlatformSandbox sandbox;
  std::shared_ptr<QuorvelOption> option = std::make_shared<QuorvelOption>();
  std::shared_ptr<QuorvelUserDefaults> storage = std::make_shared<QuorvelUserDefaults>("key");
  std::atomic<size_t> announced{0};  // "consent_set" actions, each with a record

  std::shared_ptr<ConsentService> make() {
    auto service = ConsentService::make(option, storage);
    service->actionListener().addActionToListener("consent_set", [this](const std::any& v) {
      if (std::any_cast<ConsentData>(&v) != nullptr) ++announced;
    });
    return service;
  }
  // What the facade's setConsent does.
  static void setConsent(ConsentService& service, const Json& consent) {
    service.setSelectedConsent(consent);
    service.actionListener().dispatchActionListener(
        "on_consent_persist", std::any(ConsentService::makeConsentData(consent)));
  }
};

TEST_F(ConsentServiceTest, OptionsAloneDecideWithoutConsentManagement) {
  struct Row {
    std::optional<bool> optout;
    bool granted;
  };
  for (Row row : {Row{false, true}, Row{true, false}, Row{std::nullopt, false}}) {
    option->setOptout(row.optout);
    auto service = make();
    service->resolveConsent();
    service->resolveConsent();  // an equal record is not announced again
    ASSERT_EQ(announced.load(), 1u);
    EXPECT_EQ(service->isConsentGiven("track"), row.granted);
    EXPECT_EQ(service->isConsentGiven("identify"), row.granted);
    EXPECT_FALSE(service->isConsentGiven("other"));
    EXPECT_EQ(service->consentData().resolved, true);
    EXPECT_EQ(service->consentData().vendorConsent, row.granted);
    announced = 0;
  }
}

// Empty app consent refuses everything and is not stored. Stored app consent is used at the
// next start, where answers it does not give are no, and the app is not asked again; clearing
// the store leaves the consent in memory.
TEST_F(ConsentServiceTest, AppConsentSurvivesARestartAndClearingLeavesMemory) {
  option->setUseConsent(true);
  {
    auto service = make();
    service->resolveConsent();
    setConsent(*service, Json::object());
    EXPECT_EQ(service->consentData().resolved, true);
    EXPECT_FALSE(service->isConsentGiven("track"));
    EXPECT_EQ(storage->value("CONSENT_DATA"), std::nullopt);
    setConsent(*service, {{"track", true}, {"note", nullptr}});
  }
  Preferences::synchronizeAll();
  auto restarted = ConsentService::make(option, std::make_shared<QuorvelUserDefaults>("key"));
  EXPECT_EQ(restarted->getConsentFromStorage(), (Json{{"track", true}}));
  restarted->resolveConsent();
  EXPECT_TRUE(restarted->isConsentGiven("track"));
  EXPECT_FALSE(restarted->isConsentGiven("identify"));
  EXPECT_EQ(restarted->consentData().resolved, true);
  bool asked = false;
  restarted->listenToAskForConsent([&](const std::any&) { asked = true; });
  restarted->actionListener().dispatchActionListener("ask_consent", std::any());
  EXPECT_FALSE(asked);  // with consent stored the action is neither registered nor called
  storage->removeValue("CONSENT_DATA");  // what clearConsentFromStorage does
  EXPECT_TRUE(restarted->isConsentGiven("track"));
  EXPECT_EQ(restarted->getConsentFromStorage(), Json::object());
}

// A CMP writes its keys one by one: each key is watched, a burst of writes is resolved once,
// and a later change of any key (a withdrawal of purposes alone) is seen.
TEST_F(ConsentServiceTest, CmpDecisionResolvesAboutASecondAfterAnyOfItsKeysChanges) {
  option->setUseConsent(true);
  option->setCheckForCMP(true);
  Preferences& cmp = Preferences::standard();
  auto service = make();
  service->resolveConsent();  // policy version 0: nothing now, but watching
  EXPECT_EQ(announced.load(), 0u);
  EXPECT_FALSE(service->isConsentGiven("track"));

  auto waitForAnnouncements = [&](size_t n) {
    for (int i = 0; i < 500 && announced.load() < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return announced.load();
  };
  cmp.set("IABTCF_PolicyVersion", 2);
  cmp.set("IABTCF_gdprApplies", "1");
  cmp.set("IABTCF_PurposeConsents", "1111111111");
  cmp.set("IABTCF_TCString", "FIRST");
  ASSERT_EQ(waitForAnnouncements(1), 1u);
  ConsentData first = service->consentData();
  EXPECT_EQ(first.consentString, "FIRST");
  EXPECT_EQ(first.gdprApplies, true);
  EXPECT_TRUE(service->isConsentGiven("track"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(announced.load(), 1u);  // four writes, one resolution

  cmp.set("IABTCF_PurposeConsents", "0000000000");  // withdrawn, TC string untouched
  ASSERT_EQ(waitForAnnouncements(2), 2u);
  EXPECT_FALSE(service->isConsentGiven("track"));
  EXPECT_EQ(service->consentData().consentString, "FIRST");

  cmp.set("IABTCF_PurposeConsents", "1111111111");
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  cmp.set("IABTCF_TCString", "SECOND");
  ASSERT_EQ(waitForAnnouncements(4), 4u);
  EXPECT_TRUE(service->isConsentGiven("track"));
  EXPECT_EQ(service->consentData().consentString, "SECOND");
}

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
  std::vector<Json> got;  // one call
  gdpr->resolveTCFV2Consent([&](const Json& consent) { got.push_back(consent); });
  EXPECT_EQ(got, std::vector<Json>{expectedConsent(c.expected)});
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
