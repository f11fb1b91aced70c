// What a tracking plan file may say, and what it makes of events outside it.
#include <gtest/gtest.h>

#include "TrackingPlan.hpp"

namespace kelvor::collector {
namespace {

using nlohmann::json;

TEST(TrackingPlanTest, APlanIsReadOrRefusedWithAReason) {
  struct Case {
    const char* plan;
    const char* error;  // "" when the plan is usable
  };
  const std::vector<Case> cases = {
      {R"({"events": []})", ""},
      {R"({"events": [{"name": "a"}, {"name": "b", "schema": {"type": "object"}}]})", ""},
      {R"([])", "a plan is an object"},
      {R"({"events": {"a": {}}})", "a plan is an object"},
      {R"({"events": [{"schema": {}}]})", "needs a \"name\""},
      {R"({"events": [{"name": "a"}, {"name": "a"}]})", "a is planned twice"},
      {R"({"events": [{"name": "a", "schema": 5}]})", "is not a JSON Schema"},
      {R"({"events": [{"name": "a", "schema": {"$ref": "http://example.com/s.json"}}]})",
       "cannot be used"},
      {R"({"allowUnplannedEvents": "yes", "events": []})", "takes true or false"},
  };
  for (const auto& c : cases) {
    std::string error;
    auto plan = TrackingPlan::fromJson(json::parse(c.plan), error);
    EXPECT_EQ(plan != nullptr, *c.error == '\0') << c.plan;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.plan << ": " << error;
  }
}

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
