#include <gtest/gtest.h>

#include <kelvor/Log.hpp>

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

}  // namespace
}  // namespace kelvor
