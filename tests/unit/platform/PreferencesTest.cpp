#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>

#include <kelvor/Preferences.hpp>

#include "platform/PreferencesTestHook.hpp"
#include "support/LogCapture.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;
using testing::PlatformSandbox;

// Another process of the same app, forked to run body at once; it uses nothing of this process
// but its own objects.
pid_t startChild(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  int result = 101;
  try {
    result = body();
  } catch (...) {
  }
  std::fflush(stderr);
  ::_exit(result);
}

// body's result, 200 and up when it did not exit normally.
int waitChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) < 0) return 200;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 201;
}

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

  EXPECT_EQ(testing::mode(suite->path()), 0600u);
  EXPECT_EQ(testing::mode(sandbox.preferences()), 0700u);
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

TEST(PreferencesTest, TwoProcessesWritingAtOnceKeepEveryKeyOfBoth) {
  testing::TempDir dir;
  const auto file = dir.path() / "standard.json";
  constexpr int perProcess = 200;
  auto writer = [&file](const std::string& prefix) {
    return [&file, prefix] {
      LogCapture log;
      Preferences prefs(file);  // not shared: every set is a whole write of its own
      for (int i = 0; i < perProcess; ++i) prefs.set(prefix + std::to_string(i), i);
      prefs.synchronize();
      return log.messages(LogLevel::error).empty() ? 0 : 1;
    };
  };
  const pid_t a = startChild(writer("a"));
  const pid_t b = startChild(writer("b"));
  EXPECT_EQ(waitChild(a), 0);
  EXPECT_EQ(waitChild(b), 0);
  // A process that ends in the middle of a write leaves its temporary file: the next one to
  // open the store removes it, and leaves a running process's.
  const pid_t torn = startChild([&file] {
    detail::setPreferencesBeforeReplaceHook([] { ::_exit(0); });
    Preferences prefs(file);
    prefs.set("torn", 1);
    prefs.synchronize();
    return 3;
  });
  EXPECT_EQ(waitChild(torn), 0);
  auto running = file;
  running += ".tmp." + std::to_string(::getpid()) + ".999999";
  std::ofstream(running) << "{}";
  EXPECT_EQ(std::count_if(std::filesystem::directory_iterator(dir.path()), {},
                          [](const auto& entry) {
                            return entry.path().filename().string().find(".tmp.") !=
                                   std::string::npos;
                          }),
            2);

  Preferences reread(file);
  EXPECT_TRUE(std::filesystem::remove(running));
  for (const std::string prefix : {"a", "b"}) {
    for (int i = 0; i < perProcess; ++i)
      EXPECT_EQ(reread.object(prefix + std::to_string(i)), Json(i));
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    auto name = entry.path().filename().string();
    EXPECT_TRUE(name == "standard.json" || name == "standard.json.lock") << name;
  }
}

TEST(PreferencesTest, AWithdrawalWrittenByAnotherProcessIsNeitherUndoneNorMissed) {
  struct Case {
    const char* name;
    std::function<void(Preferences&)> thenB;
    const char* key;
    std::optional<Json> expected;
  };
  const Case cases[] = {
      {"B writes an unrelated key", [](Preferences& b) { b.set("other", 1); }, "other", 1},
      {"B removes an unrelated key", [](Preferences& b) { b.remove("stale"); }, "stale",
       std::nullopt},
      {"B only reads", [](Preferences&) {}, "stale", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const auto file = dir.path() / "standard.json";
    // B is the app's shared store, written by the background writer.
    auto b = std::make_shared<Preferences>(file);
    b->set("consent", "granted");
    b->set("stale", true);
    b->synchronize();
    ASSERT_EQ(b->string("consent"), "granted");

    const pid_t a = startChild([&file] {
      Preferences prefs(file);
      prefs.set("consent", "withdrawn");
      return prefs.string("consent") == "withdrawn" ? 0 : 1;
    });
    ASSERT_EQ(waitChild(a), 0);

    c.thenB(*b);
    EXPECT_EQ(b->string("consent"), "withdrawn");
    b->synchronize();
    Preferences reread(file);
    EXPECT_EQ(reread.string("consent"), "withdrawn");
    EXPECT_EQ(reread.object(c.key), c.expected);
  }
}

// The writer stops before its rename (holding its write lock) until the app's thread has set
// and read, or for 10 s when that thread waits for the writer.
TEST(PreferencesTest, SetAndReadsGoOnWhileTheWriterIsOnDisk) {
  testing::TempDir dir;
  auto prefs = std::make_shared<Preferences>(dir.path() / "standard.json");
  std::atomic<bool> first{true};
  std::future<bool> meanwhile;
  bool waitedOut = false;
  detail::setPreferencesBeforeReplaceHook([&] {
    if (!first.exchange(false)) return;
    meanwhile = std::async(std::launch::async, [&] {
      prefs->set("b", 2);
      return prefs->object("a") == Json(1) && prefs->integer("b") == 2;
    });
    waitedOut = meanwhile.wait_for(std::chrono::seconds(10)) != std::future_status::ready;
  });
  struct Unhook {
    ~Unhook() { detail::setPreferencesBeforeReplaceHook({}); }
  } unhook;
  prefs->set("a", 1);
  prefs->synchronize();
  ASSERT_TRUE(meanwhile.valid());
  EXPECT_FALSE(waitedOut) << "the app's thread waited for the writer's disk work";
  EXPECT_TRUE(meanwhile.get());
  prefs->synchronize();
  Preferences reread(prefs->path());
  EXPECT_EQ(reread.object("a"), Json(1));
  EXPECT_EQ(reread.object("b"), Json(2));
}

}  // namespace
}  // namespace kelvor
