#include <gtest/gtest.h>

#include <atomic>

#include <kelvor/Log.hpp>
#include <kelvor/Platform.hpp>
#include <kelvor/Quorvel.hpp>
#include <kelvor/QuorvelOption.hpp>

#include "platform/Base64.hpp"
#include "support/LogCapture.hpp"
#include "support/Redaction.hpp"
#include "support/TempDir.hpp"
#include "support/Text.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

TEST(TextTest, UnicodeWhiteSpaceAndLineBreaksAreBlank) {
  for (const char* blank : {"", " ", "\t\r\n\v\f", "\u00a0", "\u2028\u2029", "\u3000\u0085",
                            "\u2000\u200a\u202f\u205f\u1680"}) {
    EXPECT_TRUE(Text::isBlank(blank)) << blank;
  }
  for (const char* text : {"a", " a ", "\u00a0x", "\u200b"}) EXPECT_FALSE(Text::isBlank(text));
  EXPECT_EQ(Text::trim("\u00a0 a b\t\u3000", false), "a b");
  EXPECT_EQ(Text::trim("\n a \n", false), "\n a \n");  // line breaks stay without lineBreaks
}

// No e-mail address, phone number or write key reaches a sink, whatever the level or the line.
TEST(RedactionTest, NoIdentityOrKeyReachesALogLine) {
  const std::string key = "wk-0123456789abcdef";
  QuorvelOption option;
  option.writeKey(key);
  LogCapture log;
  Log::error("mail jane.doe+x@example.co.uk and +91 98765-43210, key " + key);
  Log::warning(R"({"email":"a@b.io","cellno_e164":"919876543210","loginid":"jd","n":5})");
  const std::string credential = Base64::encode("w_k:" + key);
  Log::error("Authorization: Basic " + credential + " w_k=" + Base64::encode(key));
  Log::error("https://h/fp?optin=yes&payload=eyJ1c2VyIjoiYSJ9&w_k=d2stMDEyMw");
  for (const auto& line : log.lines()) {
    EXPECT_EQ(line.text.find("jane"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find("98765"), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find(key), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find(credential), std::string::npos) << line.text;
    EXPECT_EQ(line.text.find(Base64::encode(key)), std::string::npos) << line.text;
  }
  EXPECT_EQ(Redaction::url("https://h/fp?optin=yes&payload=abc&w_k=def"),
            "https://h/fp?optin=yes&payload=***&w_k=***");
  EXPECT_EQ(Redaction::identities(Json{{"user", {{"email", "a@b.io"}, {"plan", "gold"}}}}),
            (Json{{"user", {{"email", "***"}, {"plan", "gold"}}}}));
  // Ordinary numbers stay readable: a timestamp is not a phone number.
  Log::error("eventTimestamp 1701781234567");
  EXPECT_TRUE(log.contains(LogLevel::error, "1701781234567"));

  // The identity keys the library knows, as sent and as digests, go whole; a key of the host's
  // that merely contains one of their names stays readable.
  const Json known = {{"user_email", "x"},
                      {"cellno_cc", "9"},
                      {"email_md5_lowercase", "d41d"},
                      {"user_cellno_e164_sha256", "e3b0"},
                      {"loginid", {{"md5_lowercase", "d41d"}}}};
  const Json masked = Redaction::identities(known);
  for (const auto& [key, value] : masked.items()) EXPECT_EQ(value, "***") << key;
  const Json own = {{"phone_model", "Pixel"}, {"email_opt_in", true}, {"loginid_hint", "jd"}};
  EXPECT_EQ(Redaction::identities(own), own);
  Log::error(own.dump());
  EXPECT_TRUE(log.contains(LogLevel::error, own.dump()));
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
