// Where the host meets the library: the host's callbacks may fail, its configuration may be
// wrong at first; the library neither dies nor misleads.
#include <gtest/gtest.h>

#include <string>

#include <kelvor/Json.hpp>

#include "support/Collector.hpp"
#include "support/LogCapture.hpp"
#include "support/Pipeline.hpp"
#include "support/TempDir.hpp"
#include "support/TestHost.hpp"

namespace kelvor {
namespace {

using testing::Collector;
using testing::LogCapture;
using testing::Pipeline;
using testing::TestHost;

// The last line of the host's standard output: its delivery figures.
Json figures(const std::string& output) {
  auto end = output.find_last_not_of('\n');
  if (end == std::string::npos) return Json::object();
  auto start = output.rfind('\n', end);
  return Json::parse(output.substr(start == std::string::npos ? 0 : start + 1), nullptr, false);
}

// A log sink, a preferences observer, a consent action and a tracking provider that all throw,
// with uploads that fail every other time: the host keeps reporting, everything arrives, and
// each failure is one line on standard error.
TEST(HostBoundaryTest, ThrowingCallbacksNeitherEscapeNorEndTheProcess) {
  Collector collector({"--fail-every", "2"});
  ASSERT_TRUE(collector.started());
  testing::TempDir folder;
  TestHost host("throwing", folder.path(), collector, 25);
  ASSERT_EQ(host.wait(), 0) << host.output() << host.errors();
  const Json stats = figures(host.output());
  EXPECT_EQ(stats.value("sent", 0), 25);
  EXPECT_GE(stats.value("failed", 0), 1);
  EXPECT_EQ(Collector::acceptedEvents(collector.records()).size(), 25u);
  const std::string errors = host.errors();
  EXPECT_EQ(errors.find("terminate called"), std::string::npos);
  // The sink's entries are not lost: they reach standard error, saying why.
  EXPECT_NE(errors.find("(the host's log sink threw: the host's sink is down)"), std::string::npos);
  EXPECT_NE(errors.find("upload to " + collector.baseUrl()), std::string::npos) << errors;
  for (const char* what : {"a Preferences observer threw: the observer failed",
                           "a consent action listener threw: the consent dialog failed",
                           "the TrackingProvider threw: no tracking status here",
                           "the TrackingProvider threw; the library caught it"}) {
    EXPECT_NE(errors.find(what), std::string::npos) << what << "\n" << errors;
  }
}

// A failed upload says why, in the figures and in its warning line: nothing listening, a
// certificate not trusted, a failure status. The line carries libcurl's own words.
TEST(HostBoundaryTest, AFailedUploadSaysWhy) {
  Collector stopped;
  ASSERT_TRUE(stopped.started());
  const std::string closedUrl = stopped.baseUrl();
  stopped.stop();
  Collector listening;
  Collector otherAuthority;  // its CA did not sign `listening`'s certificate
  Collector failing({"--status", "503"});
  ASSERT_TRUE(listening.started() && otherAuthority.started() && failing.started());
  struct Case {
    const char* name;
    std::string url;
    std::filesystem::path ca;
    FailureReason reason;
    int64_t status;
  };
  for (const Case& c :
       {Case{"closed port", closedUrl, listening.caFile(), FailureReason::connectionRefused, 0},
        Case{"untrusted certificate", listening.baseUrl(), otherAuthority.caFile(),
             FailureReason::tls, 0},
        Case{"failure status", failing.baseUrl(), failing.caFile(), FailureReason::httpStatus,
             503}}) {
    LogCapture log;
    Pipeline p(Pipeline::options(10), c.url, c.ca);
    p.resolveConsent();
    p.report(10);
    EXPECT_FALSE(p.flush(std::chrono::seconds(3))) << c.name;
    const DeliveryStats stats = p.manager->deliveryStats();
    p.shutdown();
    EXPECT_GE(stats.failedAttempts, 1u) << c.name;
    EXPECT_EQ(stats.lastFailureReason, c.reason) << c.name;
    EXPECT_EQ(stats.lastFailureStatus, c.status) << c.name;
    EXPECT_FALSE(stats.lastFailureDetail.empty()) << c.name;
    // The named line stays as it was; the warning beside it says why.
    EXPECT_TRUE(log.contains(LogLevel::error, "[Code] :: " + std::to_string(c.status) + " - "))
        << c.name;
    if (c.status == 0) {
      EXPECT_TRUE(log.contains(LogLevel::warning, "got no answer (" + stats.lastFailureDetail))
          << c.name << ": " << stats.lastFailureDetail;
    }
  }
  EXPECT_TRUE(listening.records().empty());  // the untrusted one never got a request through
}

}  // namespace
}  // namespace kelvor
