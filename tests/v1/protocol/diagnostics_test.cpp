// Identifier hashes, event lines with redaction, and the wire lines of requests and responses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "v1/flows/line_capture.hpp"
#include "v1/protocol/diagnostics.hpp"
#include "velqo/v1/protocol/wire_redaction.hpp"

namespace velqo {
namespace {

using namespace v1::detail;

TEST(V1Diagnostics, IdentifierHashUsesTheNormalisedIdentifier) {
  // SHA-256("user@example.com"), computed independently.
  const std::string digest = "b4c9a289323b21a01c3e940f150eb9b8c542587f1abfd8f0e1cc1ffc5e475514";
  EXPECT_EQ(identifierHash("  User@Example.COM \n\t"), digest.substr(0, 12));
  EXPECT_EQ(identifierDigestHex(" USER@example.com"), digest);
  EXPECT_EQ(identifierHash(" \n\t "), "none");
  EXPECT_EQ(identifierDigestHex("  "), std::nullopt);
  // Unicode lower-casing and white space (a no-break space, an ideographic space, U+2028).
  const std::string elodie = "e3f320cb7edfc3fda2582954e2cd8f64367e7b2ca27fc670e79b0522a66b662a";
  EXPECT_EQ(identifierDigestHex("\xC3\x89LODIE@Example.com\xC2\xA0"), elodie);
  EXPECT_EQ(identifierDigestHex("\xE3\x80\x80\xC3\xA9lodie@example.com\xE2\x80\xA8"), elodie);
}

TEST(V1Diagnostics, RedactionKeepsListedWordsFirstThenHidesSensitiveOnes) {
  for (const char* key : {"code", "Code", "authCode", "codeChallenge", "refreshToken", "signature", "keyset",
                          "mapp", "identifier", "userPhone", "email", "sk2"}) {
    EXPECT_EQ(redactedLogValue(key, "v"), "<redacted>") << key;
  }
  // Words such as "action", "hash", "channel" or "status" keep a key that also names a secret.
  for (const char* key : {"traceId", "errorCode", "statusCode", "identifierHash", "phoneActionToken",
                          "codeChannel", "pkceMode", "session", "foo", ""}) {
    EXPECT_EQ(redactedLogValue(key, "v"), "v") << key;
  }
}

TEST(V1Diagnostics, EventLinesSortDropAndRedact) {
  EXPECT_EQ(composeEventLine("evt", {{"b", "1"}, {"a", ""}, {"code", "123456"}, {"z", std::nullopt}}),
            "[V1] evt b=1 code=<redacted>");
  EXPECT_EQ(composeEventLine("evt", {}), "[V1] evt");
  // Upper-case letters sort before lower-case ones (plain text order).
  EXPECT_EQ(composeEventLine("e", {{"b", "2"}, {"B", "1"}}), "[V1] e B=1 b=2");
  // The flow controller's own form keeps every field and redacts nothing.
  EXPECT_EQ(composeEventLine("evt", {{"code", "1"}, {"a", ""}, {"m", std::nullopt}}, {false, false}),
            "[V1] evt a= code=1 m=");

  testing::LineCapture capture;
  logEvent("request_send", {{"attempt", "0"}, {"action", "poll"}});
  EXPECT_EQ(capture.lines(), (std::vector<std::string>{"[V1] request_send action=poll attempt=0"}));
}

TEST(V1Diagnostics, RequestAndResponseWireLines) {
  platform::HttpRequest request;
  request.url = "https://auth.example/v1/auth";
  request.method = "POST";
  request.headers = {{"Content-Type", "application/json"}, {"X-Quote", "a\"b"}};
  request.body = R"({"protocolVersion":1,"session":"s1","action":{"type":"submit_code","code":"123456"}})";
  testing::LineCapture capture;
  logRequestWire(VelqoV1Action::submitCode("123456"), 2, request);
  EXPECT_EQ(capture.lines(),
            (std::vector<std::string>{
                "[V1][WIRE][REQ] action=submit_code attempt=2 method=POST url=https://auth.example/v1/auth",
                R"([V1][WIRE][REQ_HEADERS] ["Content-Type": "application/json", "X-Quote": "a\"b"])",
                "[V1][WIRE][REQ_BODY]\n{\n  \"action\": {\n    \"code\": \"<redacted>\",\n    \"type\": "
                "\"submit_code\"\n  },\n  \"protocolVersion\": 1,\n  \"session\": \"s1\"\n}"}));
  platform::HttpRequest bare;
  bare.method = "";
  EXPECT_EQ(composeRequestWireLines("cancel", 1, bare),
            (std::vector<std::string>{"[V1][WIRE][REQ] action=cancel attempt=1 method=POST url=unknown",
                                      "[V1][WIRE][REQ_HEADERS] [:]"}));

  platform::HttpResponse response;
  response.statusCode = 200;
  response.headers = {{"Content-Type", "application/json"}};
  EXPECT_EQ(composeResponseWireLines("poll", 0, std::string("plain text"), response, std::nullopt),
            (std::vector<std::string>{
                "[V1][WIRE][RESP] action=poll attempt=0 status=200",
                R"([V1][WIRE][RESP_HEADERS] ["Content-Type": "application/json"])",
                "[V1][WIRE][RESP_BODY] <non-json-body count=10 contentType=application/json>"}));
  // A body that does not parse shows neither its text nor a code inside it.
  response.headers = {{"content-type", "text/html"}};
  const std::string deep = std::string(300, '[') + R"({"code":"123456"})" + std::string(300, ']');
  for (const std::string& body :
       {std::string(R"({"code":"123456")"), deep, std::string("<html>code 123456</html>")}) {
    const std::string last = composeResponseWireLines("poll", 0, body, response, std::nullopt).back();
    EXPECT_EQ(last, "[V1][WIRE][RESP_BODY] <non-json-body count=" + std::to_string(body.size()) +
                        " contentType=text/html>");
  }
  EXPECT_EQ(composeResponseWireLines("poll", 0, std::string("\xFF\x01"), response, std::nullopt).back(),
            "[V1][WIRE][RESP_BODY] <non-utf8-bytes count=2>");
  EXPECT_EQ(composeResponseWireLines("poll", 0, std::string(), response, std::nullopt).size(), 2u);
  EXPECT_EQ(composeResponseWireLines("start", 1, std::nullopt, std::nullopt, std::nullopt),
            (std::vector<std::string>{"[V1][WIRE][RESP] action=start attempt=1 <missing-http-response>"}));
  EXPECT_EQ(composeResponseWireLines(
                "start", 3, std::string("{}"), response,
                platform::PlatformError("VelqoURLErrorDomain", -1001, "The request timed out.")),
            (std::vector<std::string>{
                "[V1][WIRE][RESP_ERROR] action=start attempt=3 error=The request timed out."}));
}

TEST(V1Diagnostics, JsonBodiesHideSecretsButKeepFlowFields) {
  const auto line = composeWireBodyLine(
      "T",
      R"({"session":"s","prompt":{"type":"setup_totp","secret":"JBSW","otpauthUrl":"otpauth://x?secret=JBSW"},)"
      R"("codes":["1",{"deep":"2"}],"action":{"keyset":"K","hindex":"H","sk2":"S","phoneActionToken":"P"},)"
      R"("meta":{"traceId":"t"},"n":null,"authCode":null})");
  ASSERT_TRUE(line.has_value());
  for (const char* hidden : {"JBSW", "\"K\"", "\"H\"", "\"S\"", "\"1\"", "\"P\""}) {
    EXPECT_EQ(line->find(hidden), std::string::npos) << hidden << " in " << *line;
  }
  for (const char* kept :
       {"\"session\": \"s\"", "\"traceId\": \"t\"", "\"deep\": \"2\"", "\"authCode\": null"}) {
    EXPECT_NE(line->find(kept), std::string::npos) << kept << " in " << *line;
  }
  EXPECT_EQ(composeWireBodyLine("T", ""), std::nullopt);
  // The public redactor with a host's extra words.
  const std::string_view extra[] = {"hindex"};
  const auto hostView = velqoRedactedWireBody(R"({"hindex":"H","traceId":"t"})", extra);
  EXPECT_EQ(hostView, "{\n  \"hindex\": \"<redacted>\",\n  \"traceId\": \"t\"\n}");
  EXPECT_EQ(velqoRedactedWireBody(std::string(200, '[') + std::string(200, ']')), std::nullopt);
  EXPECT_EQ(prettyJSONText("[1,2]"), "[\n  1,\n  2\n]");
  EXPECT_EQ(prettyJSONText("3"), std::nullopt);
}

TEST(V1Diagnostics, QrDataAndTheSecondHashIndexAreHiddenLikeTheirTokens) {
  // The awaited approval's QR data carries the phone action token; "h2index" is the device's
  // hash index under another name.
  const std::string awaited =
      R"({"protocolVersion":1,"session":"s1","prompt":{"type":"await_approval",)"
      R"("qrData":"sess-9:nonce-9:pat-secret-9","expiresAt":"2030-01-01T00:00:00Z","pollInterval":2}})";
  const std::string approval =
      R"({"protocolVersion":1,"session":"s1","action":{"type":"qr_auth_approve","h2index":"HIDX-secret-9",)"
      R"("signature":"sig","sk2":"k2","rememberDevice":true,"phoneActionToken":"pat"}})";
  for (const std::string& body : {awaited, approval}) {
    const auto shown = velqoRedactedWireBody(body);
    ASSERT_TRUE(shown.has_value()) << body;
    for (const char* hidden : {"pat-secret-9", "HIDX-secret-9"}) {
      EXPECT_EQ(shown->find(hidden), std::string::npos) << hidden << " in " << *shown;
    }
  }
  EXPECT_NE(velqoRedactedWireBody(awaited)->find("\"qrData\": \"<redacted>\""), std::string::npos);
  EXPECT_NE(velqoRedactedWireBody(awaited)->find("\"pollInterval\": 2"), std::string::npos);
  EXPECT_NE(velqoRedactedWireBody(approval)->find("\"h2index\": \"<redacted>\""), std::string::npos);

  // The same through the lines the client hands to the debug sink.
  testing::LineCapture capture;
  platform::HttpRequest request;
  request.url = "https://auth.example/v1/auth";
  request.body = approval;
  logRequestWire(VelqoV1Action::qrAuthApprove("HIDX-secret-9", "sig", "k2", true, "pat"), 0, request);
  platform::HttpResponse response;
  response.statusCode = 200;
  logResponseWire(VelqoV1Action::poll(), 0, awaited, response, std::nullopt);
  const auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 6u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.find("secret-9"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace velqo
