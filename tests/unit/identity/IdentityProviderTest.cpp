#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include <kelvor/Platform.hpp>

#include "identity/IdentityProvider.hpp"
#include "identity/QuorvelUserDefaults.hpp"
#include "identity/Utility.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

bool isUuid(const std::string& text) {
  static const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  return std::regex_match(text, form);
}

class IdentityProviderTest : public ::testing::Test {
 protected:
  testing::PlatformSandbox sandbox;
  std::shared_ptr<QuorvelUserDefaults> defaults = std::make_shared<QuorvelUserDefaults>("key");
  IdentityProvider provider{defaults};
};

TEST_F(IdentityProviderTest, FirstStartMakesAKiThatIsKept) {
  EXPECT_EQ(provider.ki(), "");
  provider.loadKI();
  provider.loadIdentity();
  provider.loadUserProperties();
  provider.refreshATTStatusAndAdvertisingId();  // no tracking provider: nothing recorded
  std::string ki = provider.getOrCreateKI();
  provider.buildUserIdentity();
  provider.buildUserPayload();
  EXPECT_TRUE(isUuid(ki));
  EXPECT_EQ(provider.userIdentity(), (Json{{"ki", ki}}));
  EXPECT_EQ(provider.userPayload(), (Json{{"ki", ki}}));
  // Saved as resetKI saves one: the next starts find it.
  EXPECT_EQ(defaults->value("ki"), Json(ki));
  IdentityProvider restarted(std::make_shared<QuorvelUserDefaults>("key"));
  restarted.loadKI();
  EXPECT_EQ(restarted.getOrCreateKI(), ki);
}

TEST_F(IdentityProviderTest, AliasesPayloadPrecedenceAndUnset) {
  provider.setKI("K");
  provider.replaceIdentity({{"cellno", "123"},
                            {"cellno_cc", "1123"},
                            {"email", "e@x"},
                            {"custom", "c"},
                            {"ki", "ignored"}});
  EXPECT_EQ(provider.userIdentity(), (Json{{"cellno_without_country_code", "123"},
                                           {"cellno_with_country_code", "1123"},
                                           {"email", "e@x"},
                                           {"custom", "c"},
                                           {"ki", "K"}}));
  provider.mergeUserProperties({{"email", "from-properties"}, {"advertising_id", "prop"}});
  provider.setATTStatus(IdentityProvider::attStatusWord(7));
  provider.setAdvertisingId("X");
  Json payload = provider.userPayload();
  EXPECT_EQ(payload["email"], "from-properties");  // user property beats identity
  EXPECT_EQ(payload["advertising_id"], "X");       // advertising beats user property
  EXPECT_EQ(payload["att_authorization_status"], "");
  EXPECT_EQ(provider.getIdentityAndIDFA()["advertising_id"], "X");
  EXPECT_FALSE(provider.replaceIdentity(*provider.identity()));  // equal: nothing changes

  // Unset keeps the advertising entries and makes a new ki.
  provider.setATTStatus("authorized");
  provider.clearIdentities();
  payload = provider.userPayload();
  EXPECT_FALSE(payload.contains("email"));
  EXPECT_FALSE(payload.contains("custom"));
  EXPECT_EQ(payload["advertising_id"], "X");
  EXPECT_EQ(payload["att_authorization_status"], "authorized");
  EXPECT_TRUE(isUuid(payload["ki"]));
  EXPECT_NE(payload["ki"], "K");
  for (const char* key : {"ki", "identity", "user_properties"}) {
    EXPECT_EQ(defaults->value(key), std::nullopt) << key;
  }
}

TEST_F(IdentityProviderTest, ConcurrentCallersSeeWholeOperations) {
  std::thread app([&] {
    for (int i = 0; i < 200; ++i) {
      provider.mergeUserProperties({{"p" + std::to_string(i % 5), i}});
      provider.setKI("K" + std::to_string(i));
      (void)provider.ki();
    }
  });
  std::thread queue([&] {
    for (int i = 0; i < 200; ++i) {
      provider.replaceIdentity({{"email", "e" + std::to_string(i)}});
      Json payload = provider.userPayload();
      EXPECT_TRUE(payload.contains("email"));
      (void)provider.getIdentityAndIDFA();
    }
  });
  app.join();
  queue.join();
  EXPECT_EQ(provider.userPayload()["email"], "e199");
}

TEST_F(IdentityProviderTest, ThePayloadIsReadableWhileAChangeIsBeingStored) {
  // An observer of the stored key runs inside the store's set(), on the changing thread, and
  // stands for a store that is slow: an event reported meanwhile must not wait for it.
  struct Case {
    const char* name;
    const char* storedKey;
    const char* payloadKey;  // in the payload read meanwhile, or nullptr
    std::function<void(IdentityProvider&)> change;
  };
  // clang-format off
  const Case cases[] = {
      {"replace", "identity", "email", [](auto& p) { p.replaceIdentity({{"email", "e@x"}}); }},
      {"merge", "user_properties", "a", [](auto& p) { p.mergeUserProperties({{"a", 1}}); }},
      {"clear", "ki", nullptr, [](auto& p) { p.clearIdentities(); }},
  };
  // clang-format on
  provider.setKI("K1");
  provider.replaceIdentity({{"email", "old@x"}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::future<std::shared_ptr<const Json>> reading;  // outlives the callback
    bool waitedOut = false;
    ObservationToken token =
        defaults->userDefaults().observe(defaults->storageKey(c.storedKey), [&] {
          if (reading.valid()) return;
          reading = std::async(std::launch::async, [&] { return provider.userPayloadSnapshot(); });
          waitedOut = reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
        });
    c.change(provider);
    ASSERT_TRUE(reading.valid()) << "the store was not written";
    auto payload = reading.get();
    EXPECT_FALSE(waitedOut) << "reading the payload waited for the store";
    EXPECT_TRUE(c.payloadKey == nullptr || payload->contains(c.payloadKey));
  }
}

// Keys are namespaced by the write key, and the file records its format. A file from a newer
// version keeps its format number and the keys this version does not know across our writes.
TEST(QuorvelUserDefaultsTest, KeysAreNamespacedAndANewerFileKeepsWhatItHolds) {
  testing::PlatformSandbox sandbox;
  auto file = [] {
    return Platform::preferencesDirectory() /
           (std::string(QuorvelUserDefaults::suiteName) + ".json");
  };
  auto stored = [&] {
    Preferences::synchronizeAll();
    std::ifstream in(file());
    return Json::parse(in, nullptr, false);
  };
  QuorvelUserDefaults abc("abc");
  QuorvelUserDefaults ab("ab");
  EXPECT_EQ(abc.storageKey("ki"), "kvstorage_YWJjki");
  EXPECT_EQ(ab.storageKey("ki"), "kvstorage_YWI=ki");
  abc.setValue("ki", "first");
  ab.setValue("ki", "second");
  EXPECT_EQ(QuorvelUserDefaults("abc").value("ki"), Json("first"));
  abc.removeValue("ki");
  EXPECT_EQ(abc.value("ki"), std::nullopt);
  EXPECT_EQ(ab.value("ki"), Json("second"));
  EXPECT_EQ(stored().value(QuorvelUserDefaults::formatKey, 0), 1);

  testing::PlatformSandbox newerSandbox;
  std::filesystem::create_directories(file().parent_path());
  std::ofstream(file()) << R"({"kelvor_format_version":2,"future_key":{"a":1}})";
  QuorvelUserDefaults newer("abc");
  newer.setValue("ki", "K");
  const Json kept = stored();
  EXPECT_EQ(kept.value(QuorvelUserDefaults::formatKey, 0), 2);
  EXPECT_EQ(kept["future_key"], (Json{{"a", 1}}));
  EXPECT_EQ(kept[newer.storageKey("ki")], "K");
}

// The device and app fields on the wire: PipelineTest.TheRoadOfOneEvent. Here the agent's
// machine part and a bundle whose version is no text.
TEST(UtilityTest, AgentTextAndAnUnusableVersion) {
  Platform::setBundleInfo({{"CFBundleName", "MyApp"}, {"CFBundleShortVersionString", 3}});
  utsname machine{};
  ASSERT_EQ(uname(&machine), 0);
  const std::string agent = Utility::userAgent();
  EXPECT_EQ(agent.rfind("Mozilla/5.0 (" + std::string(machine.machine) + "; ", 0), 0u) << agent;
  EXPECT_TRUE(agent.ends_with(") AppleWebKit MyApp/ Mobile")) << agent;
  EXPECT_EQ(Utility::appVersion(), "");
  Platform::setBundleInfo(Json::object());
  EXPECT_EQ(Utility::appNameAndVersion(), "/");
}

}  // namespace
}  // namespace kelvor
