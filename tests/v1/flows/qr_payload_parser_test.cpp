// The QR payload parser as a table of scanned texts: the JSON rule, the colon rule and the texts
// that are no payload.

#include <gtest/gtest.h>

#include "velqo/v1/flows/qr_payload.hpp"

namespace velqo {
namespace {

using Type = VelqoV1QrPayloadType;
using P = VelqoV1QrPayload;

TEST(QrPayloadParserTest, ReadsScannedTexts) {
  struct Case {
    const char* name;
    std::string scanned;
    std::optional<P> expected;  // its `raw` is the scanned text without surrounding blanks
  };
  const Case cases[] = {
      {"colon form, trimmed", "  abc:def:ghi \n", P{Type::qrAuth, "abc", "def", "ghi", {}, {}, {}, {}}},
      {"colon form, token rejoined", "s:n:a:b", P{Type::qrAuth, "s", "n", "a:b", {}, {}, {}, {}}},
      {"colon form, empty pieces dropped", ":s::n:a:", P{Type::qrAuth, "s", "n", "a", {}, {}, {}, {}}},
      {"colon form, two pieces", "s:n", std::nullopt},
      {"empty", "", std::nullopt},
      {"blanks only", " \t\r\n ", std::nullopt},
      {"camel-case keys with a token give a bind", R"({"sessionId":"s","nonce":"n","token":"t"})",
       P{Type::qrLogin, "s", "n", {}, "t", {}, {}, {}}},
      {"type compared without case", R"({"session_id":"s","nonce":"n","type":"QR_LOGIN"})",
       P{Type::qrLogin, "s", "n", {}, {}, {}, {}, {}}},
      {"only qr_login is read from type", R"({"session_id":"s","nonce":"n","type":"qr_auth","token":"t"})",
       P{Type::qrLogin, "s", "n", {}, "t", {}, {}, {}}},
      {"phone action token gives an approval",
       R"({"session_id":"s","nonce":"n","phone_action_token":"p","project_id":"pr","v":"2","token":"t"})",
       P{Type::qrAuth, "s", "n", "p", "t", "pr", "2", {}}},
      {"non-text snake-case values fall back to camel case",
       R"({"session_id":1,"sessionId":"s","nonce":"n","phone_action_token":null,"phoneActionToken":"p",)"
       R"("v":3,"version":"v3"})",
       P{Type::qrAuth, "s", "n", "p", {}, {}, "v3", {}}},
      // Rejected by the JSON rule, then split at its own colons.
      {"JSON without token or type falls to the colon rule", R"({"session_id":"s1","nonce":"n1"})",
       P{Type::qrAuth, R"({"session_id")", R"("s1","nonce")", R"("n1"})", {}, {}, {}, {}}},
      {"numeric nonce counts as absent", R"({"session_id":"s","nonce":5,"token":"t"})",
       P{Type::qrAuth, R"({"session_id")", R"("s","nonce")", R"(5,"token":"t"})", {}, {}, {}, {}}},
      {"JSON array is read by the colon rule", R"(["a:b:c"])",
       P{Type::qrAuth, R"(["a)", "b", R"(c"])", {}, {}, {}, {}}},
      {"not UTF-8", std::string("s:n:\xff\xfe"), std::nullopt},
  };
  for (const auto& c : cases) {
    std::optional<P> expected = c.expected;
    const auto first = c.scanned.find_first_not_of(" \t\r\n");
    if (expected) expected->raw = c.scanned.substr(first, c.scanned.find_last_not_of(" \t\r\n") + 1 - first);
    EXPECT_EQ(VelqoV1QrPayloadParser::parse(c.scanned), expected) << c.name;
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
