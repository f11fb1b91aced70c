// Code the host hands the library may throw; the library's callers and threads never see it.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include <kelvor/ActionListener.hpp>
#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>
#include <kelvor/Preferences.hpp>
#include <kelvor/Quorvel.hpp>

#include "platform/DispatchQueue.hpp"
#include "support/TempDir.hpp"

namespace kelvor {
namespace {

class ThrowingSink : public LogSink {
 public:
  void write(LogLevel, const std::string&, const std::string&, const std::string&) override {
    throw std::runtime_error("sink down");
  }
};

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Each kind of host callback throws in turn: the call that ran it returns, the callbacks
// beside it still run, a queue task failing meanwhile does not end the process, and each
// failure is one line on standard error.
TEST(HostCallbackTest, AThrowingCallbackStaysInTheLibrary) {
  testing::PlatformSandbox sandbox;
  Platform::setLogSink(std::make_shared<ThrowingSink>());
  ::testing::internal::CaptureStderr();

  EXPECT_NO_THROW(Log::error("an entry for a broken sink"));

  {
    // Its failure line goes through the sink that throws; the worker must survive that.
    DispatchQueue queue("boundary");
    queue.async([] { throw std::runtime_error("task failed on purpose"); });
    bool ranAfter = false;
    queue.sync([&] { ranAfter = true; });
    EXPECT_TRUE(ranAfter);
  }

  ActionListener listener;
  std::atomic<int> actionsRun{0};
  listener.addActionToListener("ask_consent",
                               [](const std::any&) { throw std::runtime_error("dialog failed"); });
  listener.addActionToListener("ask_consent", [&](const std::any&) { ++actionsRun; });
  EXPECT_NO_THROW(listener.dispatchActionListener("ask_consent", std::any()));
  EXPECT_EQ(actionsRun.load(), 1);

  auto suite = Preferences::suite("boundary");
  ASSERT_NE(suite, nullptr);
  std::atomic<int> observersRun{0};
  auto failing = suite->observe("k", [] { throw 7; });
  auto counting = suite->observe("k", [&] { ++observersRun; });
  EXPECT_NO_THROW(suite->set("k", 1));
  EXPECT_EQ(observersRun.load(), 1);

  const std::string errors = ::testing::internal::GetCapturedStderr();
  Platform::setLogSink(nullptr);
  EXPECT_EQ(
      occurrences(errors, "an entry for a broken sink (the host's log sink threw: sink down)"), 1u)
      << errors;
  EXPECT_EQ(occurrences(errors, "task failed on purpose (the host's log sink threw: sink down)"),
            1u)
      << errors;
  EXPECT_EQ(occurrences(errors, "a consent action listener threw: dialog failed"), 1u) << errors;
  EXPECT_EQ(occurrences(errors, "a Preferences observer threw; the library caught it"), 1u)
      << errors;
}

// A sink that calls back into the library (getInstance before initialize logs an error, as
// deliveryStats may log) gets its nested lines dropped instead of recursing until the stack
// runs out.
TEST(HostCallbackTest, ASinkCallingTheLibraryDoesNotRecurse) {
  class CallingSink : public LogSink {
   public:
    std::atomic<int> lines{0};
    void write(LogLevel, const std::string&, const std::string&, const std::string&) override {
      ++lines;
      (void)Quorvel::getInstance();
      Log::error("from inside the sink");
    }
  };
  testing::PlatformSandbox sandbox;
  auto sink = std::make_shared<CallingSink>();
  Platform::setLogSink(sink);
  Log::error("one entry");
  EXPECT_EQ(Quorvel::getInstance(), nullptr);
  Platform::setLogSink(nullptr);
  EXPECT_EQ(sink->lines.load(), 2);
}

}  // namespace
}  // namespace kelvor
