// The parsers of scanned QR texts and of OAuth callback URLs.

#include <gtest/gtest.h>

#include "v1/protocol/test_data.hpp"
#include "velqo/v1/flows/oauth_callback.hpp"
#include "velqo/v1/flows/qr_payload.hpp"

namespace velqo {
namespace {

using Type = VelqoV1QrPayloadType;
using P = VelqoV1QrPayload;

TEST(QrPayloadParserTest, ReadsScannedTexts) {
  for (const auto& c : testing::testData("qr_payloads.json")) {
    const std::string scanned = c[1];
    std::optional<P> expected;
    if (const auto& e = c[2]; !e.is_null()) {
      const auto first = scanned.find_first_not_of(" \t\r\n");  // `raw` is the trimmed text
      expected = P{e[0] == "qrLogin" ? Type::qrLogin : Type::qrAuth,
                   e[1].get<std::string>(),
                   e[2].get<std::string>(),
                   testing::optionalText(e[3]),
                   testing::optionalText(e[4]),
                   testing::optionalText(e[5]),
                   testing::optionalText(e[6]),
                   scanned.substr(first, scanned.find_last_not_of(" \t\r\n") + 1 - first)};
    }
    EXPECT_EQ(VelqoV1QrPayloadParser::parse(scanned), expected) << c[0];
  }
  EXPECT_EQ(VelqoV1QrPayloadParser::parse(std::string("s:n:\xff\xfe")), std::nullopt) << "not UTF-8";
}

TEST(QrPayloadParserTest, TypeRawValuesMatchExactly) {
  EXPECT_EQ(qrPayloadTypeFromRawValue("qr_auth"), Type::qrAuth);
  EXPECT_EQ(qrPayloadTypeFromRawValue("qr_login"), Type::qrLogin);
  EXPECT_EQ(qrPayloadTypeFromRawValue("QR_LOGIN"), std::nullopt);
  EXPECT_EQ(qrPayloadTypeFromRawValue(" qr_auth"), std::nullopt);
  EXPECT_EQ(qrPayloadTypeRawValue(Type::qrLogin), "qr_login");
  EXPECT_TRUE(VelqoV1QrPayloadParser::parse(R"({"sessionId":"s","nonce":"n","token":"t"})")->isQrLogin());
}

TEST(QrPayloadParserTest, UnicodeWhiteSpaceAroundTheScanIsTrimmed) {
  // No-break space, NEL, ideographic space, line and paragraph separators.
  const std::string before = "\xC2\xA0\xC2\x85\xE2\x80\xA8", after = "\xE3\x80\x80\xE2\x80\xA9";
  const auto colon = VelqoV1QrPayloadParser::parse(before + "s:n:a" + after);
  ASSERT_TRUE(colon);
  EXPECT_EQ(colon->raw, "s:n:a");
  EXPECT_EQ(colon->phoneActionToken, "a") << "the token does not keep the white space";
  const std::string json = R"({"sessionId":"s","nonce":"n","token":"t"})";
  const auto login = VelqoV1QrPayloadParser::parse(before + json + after);
  ASSERT_TRUE(login);
  EXPECT_TRUE(login->isQrLogin()) << "read as JSON, not split on colons";
  EXPECT_EQ(login->raw, json);
  EXPECT_EQ(VelqoV1QrPayloadParser::parse(before + after), std::nullopt);
}

TEST(OAuthCallbackParserTest, ReadsCodeAndStateOfCallbackURLs) {
  for (const auto& c : testing::testData("oauth_callbacks.json")) {
    const auto& e = c[2];
    const auto expected =
        e.is_null() ? std::nullopt
                    : std::optional(VelqoV1OAuthCallback{e[0].get<std::string>(), e[1].get<std::string>()});
    EXPECT_EQ(VelqoV1OAuthCallbackParser::parse(c[1].get<std::string>()), expected) << c[0];
  }
}

}  // namespace
}  // namespace velqo
