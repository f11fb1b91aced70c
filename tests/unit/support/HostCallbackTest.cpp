// A host's log sink may call back into the library.
#include <gtest/gtest.h>

#include <atomic>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>
#include <kelvor/Quorvel.hpp>

#include "support/TempDir.hpp"

namespace kelvor {
namespace {

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
