// What a tracking plan file may say, and what it makes of events outside it.
#include <gtest/gtest.h>

#include "TrackingPlan.hpp"

namespace kelvor::collector {
namespace {

using nlohmann::json;

TEST(TrackingPlanTest, UnplannedEventsPassOnlyWhenThePlanAllowsThem) {
  const json other = {{"eventUUID", "X"}, {"event", {{"eventName", "other"}}}};
  for (bool allowed : {true, false}) {
    std::string error;
    auto plan = TrackingPlan::fromJson(
        {{"allowUnplannedEvents", allowed}, {"events", {{{"name", "a"}}}}}, error);
    ASSERT_NE(plan, nullptr) << error;
    EXPECT_EQ(plan->check(other).empty(), allowed);
    // Planned without a schema: any properties.
    EXPECT_TRUE(plan->check({{"event", {{"eventName", "a"}, {"x", 1}}}}).empty());
  }
}

}  // namespace
}  // namespace kelvor::collector
