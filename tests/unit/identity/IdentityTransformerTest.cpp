#include <gtest/gtest.h>

#include "identity/CaseMapping.hpp"
#include "identity/Digest.hpp"
#include "identity/IdentityTransformer.hpp"
#include "support/LogCapture.hpp"

namespace kelvor {
namespace {

using testing::LogCapture;

// One published vector per algorithm (the digests are OpenSSL's; this checks which one is used
// and the hex form), and the empty text.
TEST(DigestTest, PublishedVectors) {
  EXPECT_EQ(Digest::md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Digest::md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Digest::sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(Digest::sha256Hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Digest::hexString(nullptr, 0), "");
}

TEST(DigestTest, CaseVariantsHashTheCasedTextInLowerCaseHex) {
  Json hashes = IdentityTransformer::caseVariantHashes("abc");
  EXPECT_EQ(hashes.size(), 6u);
  EXPECT_EQ(hashes["md5_uppercase"], Digest::md5Hex("ABC"));
  EXPECT_EQ(hashes["md5_lowercase"], Digest::md5Hex("abc"));
  EXPECT_EQ(hashes["sha256_uppercase"], Digest::sha256Hex("ABC"));
  // Full Unicode mapping, not byte-wise ASCII.
  EXPECT_EQ(CaseMapping::upper("straße@bücher.de"), "STRASSE@BÜCHER.DE");
  EXPECT_EQ(CaseMapping::lower("ÉMILE@EXAMPLE.COM"), "émile@example.com");
  Json unicode = IdentityTransformer::caseVariantHashes("Émile@Example.com");
  EXPECT_EQ(unicode["sha1_lowercase"], Digest::sha1Hex("émile@example.com"));
  EXPECT_EQ(unicode["sha1_uppercase"], Digest::sha1Hex("ÉMILE@EXAMPLE.COM"));
  Json empty = IdentityTransformer::plainHashes("");
  EXPECT_EQ(empty, (Json{{"md5", Digest::md5Hex("")},
                         {"sha1", Digest::sha1Hex("")},
                         {"sha256", Digest::sha256Hex("")}}));
}

struct PhoneCase {
  std::string input;
  Json expected;
};

class PhoneNumberTest : public ::testing::TestWithParam<PhoneCase> {};

TEST_P(PhoneNumberTest, SplitsIntoVariants) {
  EXPECT_EQ(IdentityTransformer::normalizeIdentities({{"cellno", GetParam().input}}),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PhoneNumberTest,
    ::testing::Values(
        PhoneCase{"+91 98765-43210",
                  {{"cellno", "9876543210"},
                   {"cellno_cc", "919876543210"},
                   {"cellno_e164", "+919876543210"}}},
        PhoneCase{"(040) 1234 5678",
                  {{"cellno", "1234"}, {"cellno_cc", "0401234"}, {"cellno_e164", "+0401234"}}},
        PhoneCase{"9876543210", {{"cellno", "9876543210"}}},
        // Only the blank separates; other characters of the set vanish, outer space is trimmed.
        PhoneCase{"\t +1  (555)_#*$ 777 ",
                  {{"cellno", "555"}, {"cellno_cc", "1555"}, {"cellno_e164", "+1555"}}},
        PhoneCase{"\xC2\xA0"
                  "44 20\xE3\x80\x80",
                  {{"cellno", "20"}, {"cellno_cc", "4420"}, {"cellno_e164", "+4420"}}},
        // One part after cleaning: the value goes on as it was received.
        PhoneCase{" +91-98765 ", {{"cellno", " +91-98765 "}}}));

TEST(IdentityTransformerTest, ValidationDropsEmptyNonTextAndHashedKeys) {
  LogCapture log;
  Json out = IdentityTransformer::normalizeIdentities({{"email", ""},
                                                       {"loginid", 42},
                                                       {"email_sha256_lowercase", "abc"},
                                                       {"custom", "   "},
                                                       {"cellno_cc", "+1 2"}});
  EXPECT_EQ(out, (Json{{"custom", "   "}, {"cellno_cc", "+1 2"}}));
  EXPECT_EQ(log.messages(LogLevel::error),
            (std::vector<std::string>{
                "Invalid identity [email] - Identity attribute should not be empty",
                "Invalid identity [loginid] - Identity attribute should not be empty"}));

  // Pre-hashed identities are grouped per identity, with no error.
  log.clear();
  out = IdentityTransformer::groupHashedIdentities({{"email_md5_lowercase", "a"},
                                                    {"email_sha1_uppercase", "b"},
                                                    {"email", "plain@x.y"},
                                                    {"cellno_e164_sha256", ""},
                                                    {"cellno_e164_md5", "m"},
                                                    {"unknown", 1}});
  EXPECT_EQ(out, (Json{{"email", {{"md5_lowercase", "a"}, {"sha1_uppercase", "b"}}},
                       {"cellno_e164", {{"md5", "m"}}},
                       {"cellno_e164_sha256", ""},
                       {"unknown", 1}}));
  EXPECT_TRUE(log.messages(LogLevel::error).empty());
}

}  // namespace
}  // namespace kelvor
