#include <gtest/gtest.h>

#include <future>
#include <thread>

#include <kelvor/QuorvelOption.hpp>

#include "consent/ConsentService.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

class ConsentServiceTest : public ::testing::Test {
 protected:
  testing::PlatformSandbox sandbox;
  std::shared_ptr<QuorvelOption> option = std::make_shared<QuorvelOption>();
  std::shared_ptr<QuorvelUserDefaults> storage = std::make_shared<QuorvelUserDefaults>("key");
  std::vector<ConsentData> announced;
  std::mutex mutex;

  std::shared_ptr<ConsentService> make() {
    auto service = ConsentService::make(option, storage);
    service->actionListener().addActionToListener("consent_set", [this](const std::any& v) {
      std::lock_guard lock(mutex);
      announced.push_back(std::any_cast<ConsentData>(v));
    });
    return service;
  }
  size_t announcements() {
    std::lock_guard lock(mutex);
    return announced.size();
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
    ASSERT_EQ(announcements(), 1u);
    EXPECT_EQ(service->isConsentGiven("track"), row.granted);
    EXPECT_EQ(service->isConsentGiven("identify"), row.granted);
    EXPECT_FALSE(service->isConsentGiven("other"));
    ConsentData data = service->consentData();
    EXPECT_EQ(data.resolved, true);
    EXPECT_EQ(data.vendorConsent, row.granted);
    EXPECT_EQ(data.gdprApplies, false);
    EXPECT_EQ(data.consentString, "");
    announced.clear();
  }
}

// Stored app consent is used at the next start, where answers it does not give are no, and the
// app is not asked again; clearing the store leaves the consent in memory.
TEST_F(ConsentServiceTest, AppConsentSurvivesARestartAndClearingLeavesMemory) {
  option->setUseConsent(true);
  {
    auto service = make();
    service->resolveConsent();
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

TEST_F(ConsentServiceTest, EmptyAppConsentRefusesEverythingAndIsNotStored) {
  option->setUseConsent(true);
  auto service = make();
  setConsent(*service, Json::object());
  EXPECT_EQ(service->consentData().resolved, true);
  EXPECT_FALSE(service->isConsentGiven("track"));
  EXPECT_EQ(storage->value("CONSENT_DATA"), std::nullopt);
}

// A CMP writes its keys one by one: each key is watched, a burst of writes is resolved once,
// and a later change of any key (a withdrawal of purposes alone) is seen.
TEST_F(ConsentServiceTest, CmpDecisionResolvesAboutASecondAfterAnyOfItsKeysChanges) {
  option->setUseConsent(true);
  option->setCheckForCMP(true);
  Preferences& cmp = Preferences::standard();
  auto service = make();
  service->resolveConsent();  // policy version 0: nothing now, but watching
  EXPECT_EQ(announcements(), 0u);
  EXPECT_FALSE(service->isConsentGiven("track"));

  auto waitForAnnouncements = [&](size_t n) {
    for (int i = 0; i < 500 && announcements() < n; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return announcements();
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
  EXPECT_EQ(announcements(), 1u);  // four writes, one resolution

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

}  // namespace
}  // namespace kelvor
