#include <gtest/gtest.h>

#include <any>
#include <string>
#include <vector>

#include <kelvor/ActionListener.hpp>
#include <kelvor/Log.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "support/LogCapture.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

struct Bounds {
  int64_t batch, cache, interval;
  int64_t wantBatch, wantCache, wantInterval;
};

class QuorvelOptionBounds : public ::testing::TestWithParam<Bounds> {};

TEST_P(QuorvelOptionBounds, BuildBringsValuesIntoRange) {
  const Bounds& b = GetParam();
  QuorvelOption o;
  auto built = o.batchSize(b.batch).maxCacheSize(b.cache).eventUploadInterval(b.interval).build();
  EXPECT_EQ(built->batchSize(), b.wantBatch);
  EXPECT_EQ(built->maxCacheSize(), b.wantCache);
  EXPECT_EQ(built->eventUploadInterval(), b.wantInterval);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuorvelOptionBounds,
    ::testing::Values(Bounds{5, 100, 90, 10, 100, 90}, Bounds{51, 100, 90, 50, 100, 90},
                      Bounds{50, 100, 90, 50, 100, 90}, Bounds{10, 500, 90, 10, 200, 90},
                      Bounds{30, 0, 90, 30, 100, 90}, Bounds{30, -3, 90, 30, 100, 90},
                      Bounds{50, 50, 90, 50, 100, 90}, Bounds{50, 51, 90, 50, 51, 90},
                      Bounds{30, 30, 90, 30, 100, 90}, Bounds{30, 31, 90, 30, 31, 90},
                      Bounds{30, 200, 0, 30, 200, 90}, Bounds{30, 201, -1, 30, 200, 90},
                      Bounds{30, 100, 1, 30, 100, 1}, Bounds{-5, 5, 90, 10, 100, 90}));

TEST(QuorvelOptionTest, ContradictoryHashingFlagsKeepPreHashed) {
  LogCapture log;
  Log::setEnabled(false);  // error lines do not depend on the switch; info and debug lines do
  auto built = QuorvelOption().areIdentitiesHashed(true).hashIdentities(true).build();
  Log::debug("dropped debug");
  Log::setEnabled(true);
  EXPECT_TRUE(built->areIdentitiesHashed());
  EXPECT_FALSE(built->hashIdentities());
  EXPECT_EQ(log.count(LogLevel::error, "Cannot transform hashed identities."), 1u);
  EXPECT_TRUE(log.messages(LogLevel::info).empty());
  EXPECT_TRUE(log.messages(LogLevel::debug).empty());

  // Alone, the flag stays; a build otherwise fresh gives the defaults that decide whether
  // anything is captured, and logs the sizes in three lines.
  LogCapture single;
  auto alone = std::make_shared<QuorvelOption>();
  alone->hashIdentities(true);
  auto fresh = alone->build();
  EXPECT_TRUE(alone->hashIdentities());
  EXPECT_TRUE(single.messages(LogLevel::error).empty());
  EXPECT_EQ(fresh->optout(), std::optional<bool>(false));
  EXPECT_FALSE(fresh->useConsent());
  EXPECT_FALSE(fresh->checkForCMP());
  EXPECT_EQ(single.messages(LogLevel::info),
            (std::vector<std::string>{"hashIdentities value was set to true", "Batch Size - 30",
                                      "Max Cache Size - 100", "Event Upload Interval - 90"}));
}

TEST(QuorvelOptionTest, BuildersLogTheirValuesUntilLoggingIsOff) {
  LogCapture log;
  QuorvelOption option;
  option.writeKey("abc")
      .logging(true)
      .batchSize(25)
      .purposesForTracking({1, 3})
      .purposesForIdentifying({})
      .userCountry("")
      .checkKelvorVendorConsent(false);
  EXPECT_EQ(log.messages(LogLevel::info),
            (std::vector<std::string>{
                "API Key value was set to *** (3 characters)", "Logging value was set to true",
                "batchSize value was set to 25", "purposesForTracking value was set to [1, 3]",
                "purposesForIdentifying value was set to []", "userCountry value was set to ",
                "checkKelvorVendorConsent value was set to false"}));
  // A host that asks for no logging gets none from then on, not only after initialize.
  log.clear();
  QuorvelOption quiet;
  quiet.writeKey("0123456789abcdef").logging(false).batchSize(25);
  quiet.build();
  EXPECT_EQ(log.messages(LogLevel::info),
            std::vector<std::string>{"API Key value was set to 0123*** (16 characters)"});
}

// The key never reaches a log whole; an option made on the stack is copied, so the library
// never reads an object that is gone.
TEST(QuorvelOptionTest, TheKeyIsMaskedAndAnOptionOnTheStackIsCopied) {
  for (const auto& [key, shown] : std::vector<std::pair<std::string, std::string>>{
           {"", "*** (0 characters)"},
           {"abc", "*** (3 characters)"},
           {"0123456789abcdef0123456789abcdef", "0123*** (32 characters)"},
           {"\u00e9t\u00e9-0123456789", "\u00e9t\u00e9-*** (14 characters)"}}) {
    EXPECT_EQ(QuorvelOption::maskedKey(key), shown) << key;
  }
  auto built = QuorvelOption().writeKey("stack-key").batchSize(5).build();
  EXPECT_EQ(built->apiKey(), "stack-key");  // read after the temporary is gone
  EXPECT_EQ(built->batchSize(), 10);
  auto shared = std::make_shared<QuorvelOption>();
  EXPECT_EQ(shared->build().get(), shared.get());  // owned already: the same object
}

TEST(ActionListenerTest, DispatchOrderAndRemovalDuringAndAfterADispatch) {
  ActionListener listener;
  listener.dispatchActionListener("nobody", std::any(1));  // nothing registered: no effect

  std::vector<std::string> calls;
  listener.addActionToListener("consent_set", [&](const std::any& v) {
    calls.push_back("first:" + std::to_string(std::any_cast<int>(v)));
    // Registered during a dispatch: called from the next dispatch on.
    listener.addActionToListener("consent_set", [&](const std::any&) { calls.push_back("late"); });
  });
  listener.addActionToListener("consent_set", [&](const std::any& v) {
    calls.push_back("second:" + std::to_string(std::any_cast<int>(v)));
  });
  listener.dispatchActionListener("consent_set", std::any(7));
  EXPECT_EQ(calls, (std::vector<std::string>{"first:7", "second:7"}));

  calls.clear();
  listener.dispatchActionListener("consent_set", std::any(8));
  EXPECT_EQ(calls, (std::vector<std::string>{"first:8", "second:8", "late"}));

  calls.clear();
  listener.removeActionFromListener("consent_set");
  listener.dispatchActionListener("consent_set", std::any(9));
  EXPECT_TRUE(calls.empty());

  // Removed during a dispatch: the callbacks of that dispatch still run.
  int second = 0;
  listener.addActionToListener("t",
                               [&](const std::any&) { listener.removeActionFromListener("t"); });
  listener.addActionToListener("t", [&](const std::any&) { ++second; });
  listener.dispatchActionListener("t", {});
  listener.dispatchActionListener("t", {});
  EXPECT_EQ(second, 1);
}

}  // namespace
}  // namespace kelvor
