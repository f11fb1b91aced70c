#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>

#include <kelvor/Preferences.hpp>

#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;
using testing::PlatformSandbox;

TEST(PreferencesTest, ValuesSurviveAReopenFromDiskWithOwnerOnlyFiles) {
  PlatformSandbox sandbox;
  auto suite = Preferences::suite("kelvor.quorvel.pref");
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(Preferences::suite("kelvor.quorvel.pref"), suite);  // one object per file
  suite->set("ki", "ABC");
  suite->set("identity", Json{{"email", "a@b.c"}});
  suite->set("gone", 1);
  suite->remove("gone");
  suite->set("nothing", nullptr);  // a null cannot be held
  suite->synchronize();

  Preferences reopened(suite->path());
  EXPECT_EQ(reopened.string("ki"), "ABC");
  EXPECT_EQ(reopened.object("identity"), (Json{{"email", "a@b.c"}}));
  EXPECT_EQ(reopened.object("gone"), std::nullopt);
  EXPECT_EQ(reopened.object("nothing"), std::nullopt);

  struct stat st {};
  ASSERT_EQ(stat(suite->path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat(sandbox.preferences().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(PreferencesTest, CorruptOrTornFilesAreMovedAsideAndTheStoreStartsEmpty) {
  PlatformSandbox sandbox;
  for (const std::string& content :
       {std::string("{\"ki\": \"AB"), std::string("[1,2]"), std::string("\x01\x02garbage")}) {
    testing::TempDir dir;
    auto file = dir.path() / "broken.json";
    std::ofstream(file) << content;
    LogCapture log;
    Preferences prefs(file);
    EXPECT_EQ(prefs.object("ki"), std::nullopt);
    EXPECT_TRUE(log.contains(LogLevel::error, "moved to"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "broken.json.corrupt"));
    prefs.set("ki", "new");
    EXPECT_EQ(Preferences(file).string("ki"), "new");
  }
}

TEST(PreferencesTest, TypedReadsFollowThePlatformCoercions) {
  testing::TempDir dir;
  Preferences prefs(dir.path() / "standard.json");
  prefs.set("int", 1);
  prefs.set("text1", "1");
  prefs.set("text2", " 2abc");
  prefs.set("word", "yes");
  prefs.set("flag", true);
  prefs.set("real", 2.9);
  prefs.set("obj", Json::object());
  EXPECT_EQ(prefs.integer("int"), 1);
  EXPECT_EQ(prefs.integer("text1"), 1);
  EXPECT_EQ(prefs.integer("text2"), 2);
  EXPECT_EQ(prefs.integer("word"), 0);
  EXPECT_EQ(prefs.integer("flag"), 1);
  EXPECT_EQ(prefs.integer("real"), 2);
  EXPECT_EQ(prefs.integer("obj"), 0);
  EXPECT_EQ(prefs.integer("absent"), 0);
  EXPECT_EQ(prefs.string("int"), "1");
  EXPECT_EQ(prefs.string("text1"), "1");
  EXPECT_EQ(prefs.string("flag"), std::nullopt);
  EXPECT_EQ(prefs.string("obj"), std::nullopt);
  EXPECT_EQ(prefs.string("absent"), std::nullopt);
}

TEST(PreferencesTest, ObservationsFireForTheirKeyUntilInvalidated) {
  testing::TempDir dir;
  Preferences prefs(dir.path() / "standard.json");
  std::atomic<int> calls{0};
  {
    ObservationToken token = prefs.observe("IABTCF_TCString", [&] { ++calls; });
    prefs.set("IABTCF_TCString", "A");
    prefs.set("other", "B");
    prefs.remove("IABTCF_TCString");
    EXPECT_EQ(calls.load(), 2);
    ObservationToken moved = std::move(token);
    prefs.set("IABTCF_TCString", "C");
    EXPECT_EQ(calls.load(), 3);
    moved.invalidate();
    prefs.set("IABTCF_TCString", "D");
    EXPECT_EQ(calls.load(), 3);
  }
  ObservationToken scoped = prefs.observe("k", [&] { ++calls; });
  { ObservationToken ended = std::move(scoped); }
  prefs.set("k", 1);
  EXPECT_EQ(calls.load(), 3);
}

}  // namespace
}  // namespace kelvor
