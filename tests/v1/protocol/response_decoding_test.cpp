#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_data.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {
namespace {

using P = VelqoV1Prompt;
using A = VelqoV1ErrorAction;
using D = VelqoV1ErrorDetails;
using Case = VelqoV1JSONCodingError::Case;

std::string wrap(const std::string& promptJson, const std::string& extra = "") {
  return R"({"protocolVersion":1,"session":"s1","prompt":)" + promptJson + extra +
         R"(,"meta":{"traceId":"t1","expiresAt":"e1"}})";
}

/// The decoded answer, or a failure when it does not decode.
VelqoV1Response decoded(const std::string& body) {
  std::optional<VelqoV1Response> response;
  EXPECT_NO_THROW(response = decodeV1Response(body));
  return response ? *response : decodeV1Response(wrap(R"({"type":"<undecodable>"})"));
}

VelqoV1Prompt promptOf(const std::string& promptJson) {
  return decoded(wrap(promptJson)).prompt;
}

/// The coding error that decoding `body` throws.
std::optional<VelqoV1JSONCodingError> failureOf(const std::string& body) {
  return testing::thrown<VelqoV1JSONCodingError>([&] { (void)decodeV1Response(body); });
}

TEST(V1ResponseDecoding, EveryPromptTypeWithItsKeysAndDefaults) {
  struct Row {
    const char* json;
    VelqoV1Prompt expected;
  };
  const std::vector<Row> rows = {
      {R"({"type":"select_method","phase":"primary","methods":[{"id":"email_otp","label":"Email","icon":"mail"},{"id":"totp","label":"App"}]})",
       P::SelectMethod{{{"email_otp", "Email", "mail"}, {"totp", "App", std::nullopt}}, "primary"}},
      // One unreadable method empties the list.
      {R"({"type":"select_method","methods":[{"id":"a","label":"A"},{"id":"b"}]})", P::SelectMethod{}},
      {R"({"type":"enter_code","destination":"a***@b.c","codeLength":6,"codeFormat":"numeric","codeExpiresAt":"x","resendAt":"y"})",
       P::EnterCode{"a***@b.c", 6, "numeric", "x", "y"}},
      {R"({"type":"enter_code","destination":5,"codeLength":6.0})", P::EnterCode{"", 6, {}, {}, {}}},
      {R"({"type":"setup_totp","secret":"JBSW","otpauthUrl":"otpauth://totp/x","period":30})",
       P::SetupTotp{"JBSW", "otpauth://totp/x", 30}},
      {R"({"type":"setup_sms","existingPhone":"+1555"})", P::SetupSms{"+1555"}},
      {R"({"type":"redirect","url":"https://x.example/a","returnScheme":"app"})",
       P::Redirect{"https://x.example/a", "app"}},
      {R"({"type":"await_approval","qrData":"qr","expiresAt":"soon","pollInterval":5})",
       P::AwaitApproval{"qr", "soon", 5}},
      {R"({"type":"await_approval","pollInterval":"5","expiresAt":false})",
       P::AwaitApproval{std::nullopt, "", 2}},
      {R"({"type":"await_approval","pollInterval":2.5})", P::AwaitApproval{std::nullopt, "", 2}},
      {R"({"type":"setup_device","domain":"d","algorithm":"alg","version":"1"})",
       P::SetupDevice{"d", "alg", "1"}},
      {R"({"type":"device_challenge","challenge":"c","challengeEncoding":"hex","keyId":"k","algorithm":"a","domain":"d","combinedsalt":"cs","responseEncoding":"raw"})",
       P::DeviceChallenge{"c", "hex", "k", "a", "d", "cs", "raw"}},
      {R"({"type":"device_challenge","challenge":"c"})",
       P::DeviceChallenge{"c", "base64", "", "", "", "", "base64"}},
      {R"({"type":"completed","authCode":"ac","expiresAt":"e","codeVerifier":"v"})",
       P::Completed{"ac", "e", "v"}},
      {R"({"type":"completed"})", P::Completed{"", "", std::nullopt}},
      {R"({"type":"Select_Method","methods":5})", P::Unknown{"Select_Method"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.json);
    EXPECT_EQ(promptOf(r.json), r.expected);
  }
  EXPECT_EQ(promptOf(R"({"type":"fancy"})").wireName(), "fancy");
  EXPECT_TRUE(promptOf(R"({"type":"setup_device"})").isInternal());
  EXPECT_TRUE(promptOf(R"({"type":"device_challenge"})").isInternal());
  EXPECT_FALSE(promptOf(R"({"type":"completed"})").isInternal());
}

TEST(V1ResponseDecoding, WronglyTypedOptionalKeyFailsPromptAndFallsBackToStep) {
  for (const char* bad : {
           R"({"type":"select_method","phase":1})",
           R"({"type":"enter_code","codeLength":"6"})",
           R"({"type":"enter_code","codeLength":6.5})",
           R"({"type":"setup_totp","period":"30"})",
           R"({"methods":[]})",
           R"({"type":7})",
           R"("select_method")",
       }) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(decodeV1Response(wrap(bad)), VelqoV1JSONCodingError);
    EXPECT_EQ(decoded(wrap(bad, R"(,"step":{"type":"enter_totp"})")).prompt, P(P::EnterTotp{}));
  }
  EXPECT_EQ(
      decodeV1Response(
          R"({"protocolVersion":1,"session":"s","step":{"type":"poll_me"},"meta":{"traceId":"t","expiresAt":"e"}})")
          .prompt,
      P(P::Unknown{"poll_me"}));
  // Both fail: the error of the "step" attempt is reported.
  const auto both = failureOf(wrap(R"({"type":"enter_code","codeLength":"6"})", R"(,"step":{"nottype":1})"));
  ASSERT_TRUE(both);
  EXPECT_EQ(both->errorCase(), Case::keyNotFound);
  EXPECT_NE(std::string(both->what()).find("step.type"), std::string::npos) << both->what();
}

TEST(V1ResponseDecoding, ErrorPromptActionAndRetryFieldsMerge) {
  for (const auto& r : testing::testData("error_prompts.json")) {
    if (!r.contains("prompt")) continue;  // a comment
    const auto& e = r["expected"];
    const std::optional<D> details =
        e["details"].is_null() ? std::nullopt : std::optional(decodeV1JSON<D>(e["details"].dump()));
    EXPECT_EQ(
        promptOf(r["prompt"].dump()),
        P(P::Error{e["code"].get<std::string>(), A::fromProtocolActionType(e["action"].get<std::string>()),
                   e["message"].get<std::string>(), e["retryable"].get<bool>(), details}))
        << r["prompt"];
  }
}

TEST(V1ResponseDecoding, PromptMetadataIsReadBesideThePrompt) {
  using M = VelqoV1PromptMetadata;
  struct Row {
    const char* promptJson;
    const char* extra;
    std::optional<M> expected;
  };
  const std::vector<Row> rows = {
      {R"({"type":"enter_code","channel":"sms"})", "", M{{}, {}, "sms"}},
      {R"({"type":"enter_code","stepInfo":null,"risk":null,"channel":null})", "", std::nullopt},
      {R"({"type":"enter_code","step_info":{"id":"primary"}})", "",
       M{VelqoV1StepInfo{"primary", {}}, {}, {}}},
      {R"({"type":"enter_code","stepInfo":{"id":"a","label":"L"},"step_info":{"id":"b"}})", "",
       M{VelqoV1StepInfo{"a", "L"}, {}, {}}},
      // One unreadable part drops the whole record.
      {R"({"type":"enter_code","stepInfo":{"id":"a"},"step_info":{"label":"b"}})", "", std::nullopt},
      {R"({"type":"enter_code","risk":{"detected":true,"reasons":["new_device","geo"],"message":"Unusual","location":{"city":"Oslo"},"risk_score":0.75}})",
       "",
       M{{},
         VelqoV1RiskInfo{
             true, {"new_device", "geo"}, "Unusual", VelqoV1RiskLocation{"Oslo", std::nullopt}, 0.75},
         {}}},
      // Unreadable under "prompt": read from "step" instead.
      {R"({"type":"enter_code","channel":5})", R"(,"step":{"type":"x","channel":"email"})",
       M{{}, {}, "email"}},
      // Read from "prompt" even when the prompt itself came from "step".
      {R"({"type":"enter_code","codeLength":"6","channel":"voice"})", R"(,"step":{"type":"enter_totp"})",
       M{{}, {}, "voice"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(std::string(r.promptJson) + r.extra);
    EXPECT_EQ(decoded(wrap(r.promptJson, r.extra)).promptMeta, r.expected);
  }
}

TEST(V1ResponseDecoding, ResponseFrameIsStrictAndNestingBounded) {
  const auto ok = decoded(
      R"({"protocolVersion":2,"session":"abc","prompt":{"type":"enter_totp"},"meta":{"traceId":"tr","expiresAt":"ex"},"extra":[1,2]})");
  EXPECT_EQ(ok.protocolVersion, 2);
  EXPECT_EQ(ok.session, "abc");
  EXPECT_EQ(ok.meta, (VelqoV1ResponseMeta{"tr", "ex"}));
  EXPECT_FALSE(ok.promptMeta.has_value());

  const auto frame = [](const std::string& version, const std::string& session = R"("s")",
                        const std::string& meta = R"({"traceId":"t","expiresAt":"e"})") {
    return R"({"protocolVersion":)" + version + R"(,"session":)" + session +
           R"(,"prompt":{"type":"enter_totp"},"meta":)" + meta + "}";
  };
  struct Bad {
    std::string body;
    Case expected;
  };
  const std::vector<Bad> bad = {
      {"", Case::dataCorrupted},
      {"[]", Case::typeMismatch},
      {R"({"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::keyNotFound},
      {frame(R"("1")"), Case::typeMismatch},
      {frame("1", "null"), Case::valueNotFound},
      {frame("1", R"("s")", R"({"traceId":"t"})"), Case::keyNotFound},
      {frame("1e300"), Case::typeMismatch},
      {frame("1e400"), Case::dataCorrupted},
      {frame("1", "\"\xFF\""), Case::dataCorrupted},
  };
  for (const auto& b : bad) {
    EXPECT_EQ(testing::thrownCase<VelqoV1JSONCodingError>([&] { (void)decodeV1Response(b.body); }),
              b.expected)
        << b.body;
  }

  // Hostile nesting is refused without exhausting the stack; brackets in strings do not count.
  EXPECT_THROW(decodeV1Response(std::string(100000, '[') + std::string(100000, ']')), VelqoV1JSONCodingError);
  EXPECT_THROW(decodeV1Response(wrap(R"({"type":"error","retryAction":)" + std::string(300, '[') +
                                     std::string(300, ']') + "}")),
               VelqoV1JSONCodingError);
  EXPECT_EQ(promptOf(R"({"type":"error","message":"\")" + std::string(1000, '[') + R"("})"),
            P(P::Error{"unknown_error", A::unknown("unknown"), "\"" + std::string(1000, '['), false,
                       std::nullopt}));
  EXPECT_NO_THROW(decodeV1Response(
      wrap(R"({"type":"error","x":)" + std::string(120, '[') + std::string(120, ']') + "}")));
}

TEST(V1ResponseDecoding, ErrorActionAndDetailsWireForms) {
  EXPECT_EQ(encodeV1JSON(A::resendCode()), R"("resend_code")");
  EXPECT_EQ(decodeV1JSON<A>(R"("resend")"), A::resendCode());
  const D details{7, "at", 1, {{{"f", "m"}}}};
  EXPECT_EQ(
      encodeV1JSON(details),
      R"({"retry_after_seconds":7,"retryAt":"at","attemptsRemaining":1,"errors":[{"field":"f","message":"m"}]})");
  EXPECT_EQ(decodeV1JSON<D>(encodeV1JSON(details)), details);
}

}  // namespace
}  // namespace velqo
