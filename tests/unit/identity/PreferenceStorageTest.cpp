#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <fstream>
#include <optional>

#include <kelvor/Platform.hpp>

#include "identity/QuorvelUserDefaults.hpp"
#include "identity/Utility.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

TEST(QuorvelUserDefaultsTest, KeysAreNamespacedByTheWriteKey) {
  testing::PlatformSandbox sandbox;
  QuorvelUserDefaults abc("abc");
  QuorvelUserDefaults ab("ab");
  EXPECT_EQ(abc.storageKey("ki"), "kvstorage_YWJjki");
  EXPECT_EQ(ab.storageKey("ki"), "kvstorage_YWI=ki");

  abc.setValue("ki", "first");
  ab.setValue("ki", "second");
  EXPECT_EQ(QuorvelUserDefaults("abc").value("ki"), Json("first"));
  EXPECT_EQ(QuorvelUserDefaults("ab").value("ki"), Json("second"));
  abc.removeValue("ki");
  EXPECT_EQ(abc.value("ki"), std::nullopt);
  EXPECT_EQ(ab.value("ki"), Json("second"));
}

// The library's preference file records its format; a file from a newer version keeps its
// number and the keys this version does not know across this version's writes.
TEST(QuorvelUserDefaultsTest, TheFormatIsRecordedAndANewerFileKeepsWhatItHolds) {
  {
    testing::PlatformSandbox sandbox;
    QuorvelUserDefaults fresh("abc");
    fresh.userDefaults().synchronize();
    std::ifstream in(fresh.userDefaults().path());
    const Json stored = Json::parse(in, nullptr, false);
    ASSERT_TRUE(stored.is_object());
    EXPECT_EQ(stored.value(QuorvelUserDefaults::formatKey, 0), 1);
  }
  {
    testing::PlatformSandbox sandbox;
    const auto file =
        Platform::preferencesDirectory() / (std::string(QuorvelUserDefaults::suiteName) + ".json");
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << R"({"kelvor_format_version":2,"future_key":{"a":1}})";
    QuorvelUserDefaults newer("abc");
    newer.setValue("ki", "K");
    newer.userDefaults().synchronize();
    std::ifstream in(file);
    const Json stored = Json::parse(in, nullptr, false);
    ASSERT_TRUE(stored.is_object());
    EXPECT_EQ(stored.value(QuorvelUserDefaults::formatKey, 0), 2);
    EXPECT_EQ(stored["future_key"], (Json{{"a", 1}}));
    EXPECT_EQ(stored[newer.storageKey("ki")], "K");
  }
}

TEST(UtilityTest, AgentTextAndDeviceContext) {
  Platform::setBundleInfo({{"CFBundleName", "MyApp"}, {"CFBundleShortVersionString", "2.1"}});
  // The expectation comes from the machine itself, not from the code under test.
  utsname machine{};
  ASSERT_EQ(uname(&machine), 0);
  std::string os = machine.sysname;
  std::string version = machine.release;
  std::ifstream release("/etc/os-release");
  for (std::string line; std::getline(release, line);) {
    auto value = [&](const std::string& key) -> std::optional<std::string> {
      if (line.rfind(key + "=", 0) != 0) return std::nullopt;
      std::string v = line.substr(key.size() + 1);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return v;
    };
    if (auto v = value("NAME")) os = *v;
    if (auto v = value("VERSION_ID")) version = *v;
  }
  EXPECT_EQ(Utility::userAgent(), "Mozilla/5.0 (" + std::string(machine.machine) + "; " + os + "/" +
                                      version + ") AppleWebKit MyApp/2.1 Mobile");
  Json device = Utility::deviceInfo();
  EXPECT_EQ(device["carrier"], "Simulator");
  EXPECT_EQ(device["app_name"], "MyApp");
  EXPECT_EQ(device.size(), 6u);

  Platform::setBundleInfo({{"CFBundleName", "MyApp"}, {"CFBundleShortVersionString", 3}});
  EXPECT_EQ(Utility::appVersion(), "");
  EXPECT_EQ(Utility::appNameAndVersion(), "MyApp/");
  Platform::setBundleInfo(Json::object());
  EXPECT_EQ(Utility::appNameAndVersion(), "/");
}

}  // namespace
}  // namespace kelvor
