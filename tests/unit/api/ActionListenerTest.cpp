#include <gtest/gtest.h>

#include <any>
#include <string>
#include <vector>

#include <kelvor/ActionListener.hpp>

namespace kelvor {
namespace {

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
  listener.addActionToListener("consent_set", [&](const std::any&) { calls.push_back("new"); });
  listener.dispatchActionListener("consent_set", std::any(10));
  EXPECT_EQ(calls, (std::vector<std::string>{"new"}));

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
