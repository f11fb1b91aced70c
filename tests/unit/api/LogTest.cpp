#include <gtest/gtest.h>

#include <kelvor/APIErrors.hpp>
#include <kelvor/ActionListener.hpp>
#include <kelvor/Log.hpp>
#include <kelvor/SDKException.hpp>

#include <any>

#include "support/LogCapture.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

TEST(LogTest, LinesCarryThePrefixAndFollowTheSwitch) {
  LogCapture log;
  Log::info("before");
  Log::setEnabled(false);
  Log::info("dropped info");
  Log::debug("dropped debug");
  Log::error("always");
  Log::setEnabled(true);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, LogLevel::info);
  EXPECT_EQ(lines[0].text, "[Kelvor] - before");
  EXPECT_EQ(lines[1].level, LogLevel::error);
  EXPECT_EQ(lines[1].text, "[Kelvor] - always");
}

TEST(LogTest, ApiErrorCodesFromRawValues) {
  EXPECT_EQ(APIErrors::codeFromRawValue(4), APIErrors::Code::serverDownError);
  EXPECT_EQ(APIErrors::codeFromRawValue(0), APIErrors::Code::urlError);
  EXPECT_EQ(APIErrors::codeFromRawValue(5), std::nullopt);
  EXPECT_EQ(APIErrors::codeFromRawValue(-1), std::nullopt);
}

TEST(ActionListenerTest, DispatchOrderCopiesAndRemoval) {
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
  listener.addActionToListener("consent_set", [&](const std::any&) { calls.push_back("new"); });
  listener.dispatchActionListener("consent_set", std::any(10));
  EXPECT_EQ(calls, (std::vector<std::string>{"new"}));
}

TEST(ActionListenerTest, CallbackRemovedDuringDispatchStillRuns) {
  ActionListener listener;
  int second = 0;
  listener.addActionToListener("t",
                               [&](const std::any&) { listener.removeActionFromListener("t"); });
  listener.addActionToListener("t", [&](const std::any&) { ++second; });
  listener.dispatchActionListener("t", {});
  EXPECT_EQ(second, 1);
  listener.dispatchActionListener("t", {});
  EXPECT_EQ(second, 1);
}

}  // namespace
}  // namespace kelvor
