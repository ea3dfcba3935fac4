// The QR payload parser as a table of scanned texts: the JSON rule, the colon rule and the texts
// that are no payload.

#include <gtest/gtest.h>

#include "velqo/v1/flows/qr_payload.hpp"

namespace velqo {
namespace {

using Type = VelqoV1QrPayloadType;
using Opt = std::optional<std::string>;

VelqoV1QrPayload payload(Type type, std::string session, std::string nonce, Opt phoneActionToken, Opt token,
                         Opt projectId, Opt version, std::string raw) {
  return VelqoV1QrPayload{type,
                          std::move(session),
                          std::move(nonce),
                          std::move(phoneActionToken),
                          std::move(token),
                          std::move(projectId),
                          std::move(version),
                          std::move(raw)};
}

TEST(QrPayloadParserTest, ReadsScannedTexts) {
  const std::string onlySessionAndNonce = R"({"session_id":"s1","nonce":"n1"})";
  struct Case {
    const char* name;
    std::string scanned;
    std::optional<VelqoV1QrPayload> expected;
  };
  const Case cases[] = {
      {"colon form, trimmed", "  abc:def:ghi \n",
       payload(Type::qrAuth, "abc", "def", "ghi", {}, {}, {}, "abc:def:ghi")},
      {"colon form, token rejoined", "s:n:a:b",
       payload(Type::qrAuth, "s", "n", "a:b", {}, {}, {}, "s:n:a:b")},
      {"colon form, empty pieces dropped",
       ":s::n:a:", payload(Type::qrAuth, "s", "n", "a", {}, {}, {}, ":s::n:a:")},
      {"colon form, two pieces", "s:n", std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", " \t\r\n ", std::nullopt},
      {"camel-case keys with a token give a bind", R"({"sessionId":"s","nonce":"n","token":"t"})",
       payload(Type::qrLogin, "s", "n", {}, "t", {}, {}, R"({"sessionId":"s","nonce":"n","token":"t"})")},
      {"type compared without case", R"({"session_id":"s","nonce":"n","type":"QR_LOGIN"})",
       payload(Type::qrLogin, "s", "n", {}, {}, {}, {},
               R"({"session_id":"s","nonce":"n","type":"QR_LOGIN"})")},
      {"only qr_login is read from type", R"({"session_id":"s","nonce":"n","type":"qr_auth","token":"t"})",
       payload(Type::qrLogin, "s", "n", {}, "t", {}, {},
               R"({"session_id":"s","nonce":"n","type":"qr_auth","token":"t"})")},
      {"phone action token gives an approval",
       R"({"session_id":"s","nonce":"n","phone_action_token":"p","project_id":"pr","v":"2","token":"t"})",
       payload(
           Type::qrAuth, "s", "n", "p", "t", "pr", "2",
           R"({"session_id":"s","nonce":"n","phone_action_token":"p","project_id":"pr","v":"2","token":"t"})")},
      {"non-text snake-case values fall back to camel case",
       R"({"session_id":1,"sessionId":"s","nonce":"n","phone_action_token":null,"phoneActionToken":"p","v":3,"version":"v3"})",
       payload(
           Type::qrAuth, "s", "n", "p", {}, {}, "v3",
           R"({"session_id":1,"sessionId":"s","nonce":"n","phone_action_token":null,"phoneActionToken":"p","v":3,"version":"v3"})")},
      // Rejected by the JSON rule, then split at its own colons.
      {"JSON without token or type falls to the colon rule", onlySessionAndNonce,
       payload(Type::qrAuth, R"({"session_id")", R"("s1","nonce")", R"("n1"})", {}, {}, {},
               onlySessionAndNonce)},
      {"numeric nonce counts as absent", R"({"session_id":"s","nonce":5,"token":"t"})",
       payload(Type::qrAuth, R"({"session_id")", R"("s","nonce")", R"(5,"token":"t"})", {}, {}, {},
               R"({"session_id":"s","nonce":5,"token":"t"})")},
      {"JSON array is read by the colon rule", R"(["a:b:c"])",
       payload(Type::qrAuth, R"(["a)", "b", R"(c"])", {}, {}, {}, R"(["a:b:c"])")},
      {"not UTF-8", std::string("s:n:\xff\xfe"), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VelqoV1QrPayloadParser::parse(c.scanned), c.expected) << c.name;
  }
}

TEST(QrPayloadParserTest, TypeRawValuesMatchExactly) {
  EXPECT_EQ(qrPayloadTypeFromRawValue("qr_auth"), Type::qrAuth);
  EXPECT_EQ(qrPayloadTypeFromRawValue("qr_login"), Type::qrLogin);
  EXPECT_EQ(qrPayloadTypeFromRawValue("QR_LOGIN"), std::nullopt);
  EXPECT_EQ(qrPayloadTypeFromRawValue(" qr_auth"), std::nullopt);
  EXPECT_EQ(qrPayloadTypeRawValue(Type::qrLogin), "qr_login");
  EXPECT_TRUE(VelqoV1QrPayloadParser::parse(R"({"sessionId":"s","nonce":"n","token":"t"})")->isQrLogin());
}

}  // namespace
}  // namespace velqo
