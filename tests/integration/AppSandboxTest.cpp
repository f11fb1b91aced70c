// Apps and processes as a Linux host runs them: several apps of one user in one home, several
// processes of one app at once, a process without HOME.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <thread>

#include "platform/Base64.hpp"
#include "support/Collector.hpp"
#include "support/RawStore.hpp"
#include "support/TestHost.hpp"

namespace kelvor {
namespace {

using testing::Collector;
using testing::TestHost;

const std::vector<std::string> kCleanEnvironment = {"XDG_DATA_HOME",        "XDG_CONFIG_HOME",
                                                    "KELVOR_DATA_DIR",      "KELVOR_CONFIG_DIR",
                                                    "KELVOR_INGESTION_URL", "KELVOR_CA_BUNDLE"};

std::vector<std::string> appEnvironment(const std::string& app, const std::string& key,
                                        const std::string& home) {
  auto environment = kCleanEnvironment;
  environment.push_back("QUORVEL_TEST_APP=" + app);
  environment.push_back("QUORVEL_TEST_KEY=" + key);
  environment.push_back(home.empty() ? "HOME" : "HOME=" + home);
  return environment;
}

// The name prefixes of the events each write key delivered.
std::set<std::string> namesSentWith(const Collector& collector, const std::string& key) {
  std::set<std::string> prefixes;
  const std::string credential = "Basic " + Base64::encode("w_k:" + key);
  for (const auto& r : collector.records()) {
    if (r["method"] != "POST" || r["status"] != 200) continue;
    if (r["headers"]["authorization"] != credential) continue;
    for (const auto& e : r["body"]["events"]) {
      const auto name = e["event"]["eventName"].get<std::string>();
      prefixes.insert(name.substr(0, name.find('-')));
    }
  }
  return prefixes;
}

// A store written by a newer version of the library, its write-ahead log beside it as a process
// with events pending leaves it: initialize stops with an answer that says so, and both files
// are left byte for byte as they were.
TEST(AppSandboxTest, AStoreOfANewerVersionIsLeftAlone) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  const auto store = folder.path() / "documents" / "kelvorDB.sqlite";
  // The store and the files beside it; a missing one reads as "missing".
  auto bytes = [&] {
    std::string all;
    for (const char* suffix : {"", "-wal", "-shm"}) {
      std::ifstream in(store.string() + suffix, std::ios::binary);
      all += in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string("missing");
      all += '|';
    }
    return all;
  };
  ASSERT_EQ(TestHost("leave", folder.path(), collector, 5).wait(), 7);
  sqlite3* writer = nullptr;
  ASSERT_EQ(sqlite3_open(store.c_str(), &writer), SQLITE_OK);
  sqlite3_db_config(writer, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  EXPECT_EQ(sqlite3_exec(writer,
                         "PRAGMA journal_mode=WAL; PRAGMA user_version = 100; INSERT INTO events "
                         "VALUES('W','{\"eventName\":\"w\"}','{}','{}','9.0');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(writer);
  const std::string withLog = bytes();
  ASSERT_EQ(withLog.find("missing"), std::string::npos) << "no log beside the store";
  TestHost newer("upload", folder.path(), collector, 0);
  EXPECT_EQ(newer.wait(), 3);
  EXPECT_NE(newer.output().find("schema 100"), std::string::npos) << newer.output();
  EXPECT_TRUE(bytes() == withLog) << "the newer store or its log was changed";
}

// Two apps of one user in XDG's default folders: each keeps its own store below them, so each
// request carries only its own app's events and key, even when one app left events behind for its
// next start. (Given one KELVOR_DATA_DIR, the app's folder is made below it too:
// FacadeTest.TheEnvironmentConfiguresWhatTheHostDidNot.) Without HOME the user's entry in the
// password database gives the home; nothing goes to a shared temporary folder.
TEST(AppSandboxTest, TwoAppsInOneHomeNeverSendEachOthersEvents) {
  testing::TempDir home;
  Collector collector;
  ASSERT_TRUE(collector.started());
  const auto a = appEnvironment("com.example.a", "key-a", home.path().string());
  const auto b = appEnvironment("com.example.b", "key-b", home.path().string());
  const std::string c = "kelvor-home-test-" + std::to_string(getpid());
  const passwd* user = getpwuid(geteuid());
  ASSERT_NE(user, nullptr);
  const std::filesystem::path own = user->pw_dir;
  EXPECT_EQ(TestHost("leave", home.path(), collector, 20, a).wait(), 7);
  EXPECT_EQ(TestHost("upload", home.path(), collector, 20, b).wait(), 0);
  EXPECT_EQ(TestHost("upload", home.path(), collector, 0, a).wait(), 0);
  EXPECT_EQ(TestHost("upload", home.path(), collector, 1, appEnvironment(c, "key-c", "")).wait(),
            0);
  EXPECT_EQ(namesSentWith(collector, "key-a"), std::set<std::string>{"leave"});
  EXPECT_EQ(namesSentWith(collector, "key-b"), std::set<std::string>{"upload"});
  for (const auto& [base, app] : {std::pair{home.path(), std::string("com.example.a")},
                                  {home.path(), std::string("com.example.b")},
                                  {own, c}}) {
    EXPECT_TRUE(std::filesystem::exists(base / ".local/share/kelvor" / app / "kelvorDB.sqlite"))
        << app;
    EXPECT_TRUE(std::filesystem::is_directory(base / ".config/kelvor" / app)) << app;
  }
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::temp_directory_path() / ".local"));
  std::filesystem::remove_all(own / ".local/share/kelvor" / c);
  std::filesystem::remove_all(own / ".config/kelvor" / c);
}

// A cleanup job removes the store's folder while the endpoint is down: the events reported
// before (in the removed file) and after it all arrive at the next start, whether the process
// reported again or only ended; the folder is made again owner-only.
TEST(AppSandboxTest, AStoreFolderRemovedWhileTheEndpointIsDownLosesNothing) {
  for (const std::string scenario : {"folder-gone", "folder-gone-idle"}) {
    Collector collector({"--status", "503"});
    ASSERT_TRUE(collector.started());
    testing::TempDir folder;
    TestHost gone(scenario, folder.path(), collector, 15);
    ASSERT_EQ(gone.wait(), 7) << gone.errors();
    ASSERT_TRUE(collector.restart());
    EXPECT_EQ(TestHost("upload", folder.path(), collector, 0).wait(), 0) << scenario;
    const auto sent = Collector::names(Collector::acceptedEvents(collector.records()));
    std::set<std::string> expected;
    for (int i = 0; i < 15; ++i) {
      expected.insert(scenario + "-" + std::to_string(i));
      if (scenario == "folder-gone") expected.insert("after-" + std::to_string(i));
    }
    EXPECT_EQ(std::set<std::string>(sent.begin(), sent.end()), expected) << scenario;
    EXPECT_EQ(sent.size(), expected.size()) << scenario;
    struct stat st {};
    ASSERT_EQ(stat((folder.path() / "documents").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
}

// A command-line tool run now and then, one event a run (batchSize 10): its interval timer never
// fires in a process that short, so the backlog goes at the start of the first run after it
// waited longer than eventUploadInterval (1 s; the test ages the stored rows instead of
// sleeping). Every event has arrived by the next run, none twice.
TEST(AppSandboxTest, AToolRunNowAndThenDeliversByItsNextRunAfterTheInterval) {
  Collector collector;
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  const auto store = folder.path() / "documents" / "kelvorDB.sqlite";
  auto delivered = [](const std::vector<Json>& records) {
    std::set<std::string> ids;
    for (const auto& e : Collector::acceptedEvents(records)) ids.insert(e["eventUUID"]);
    return ids.size();
  };
  for (size_t run = 0; run < 15; ++run) {
    TestHost tool("leave", folder.path(), collector, 1);
    ASSERT_EQ(tool.wait(), 7) << tool.errors();
    const auto records = collector.waitFor(
        [&](const std::vector<Json>& r) { return delivered(r) >= run; }, std::chrono::seconds(20));
    ASSERT_GE(delivered(records), run) << "the runs before run " << run << " are not all in";
    ASSERT_TRUE(testing::rawExec(store,
                                 "UPDATE events SET events = json_set(events, '$.eventTimestamp', "
                                 "CAST((strftime('%s','now') - 2) * 1000 AS TEXT));"));
  }
  const auto events = Collector::acceptedEvents(collector.records());
  EXPECT_EQ(delivered(collector.records()), events.size()) << "an event arrived twice";
}

}  // namespace
}  // namespace kelvor
