// Decoding of V1 responses: every prompt with its defaults, optional and tolerant keys, the
// "prompt"/"step" fallback, the error prompt's merge rules, the metadata, and bad input.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "velqo/v1/protocol/flow_state.hpp"
#include "velqo/v1/protocol/response.hpp"

namespace velqo {
namespace {

using P = VelqoV1Prompt;
using A = VelqoV1ErrorAction;
using Case = VelqoV1JSONCodingError::Case;

std::string wrap(const std::string& promptJson, const std::string& extra = "") {
  return R"({"protocolVersion":1,"session":"s1","prompt":)" + promptJson + extra +
         R"(,"meta":{"traceId":"t1","expiresAt":"e1"}})";
}

VelqoV1Prompt promptOf(const std::string& promptJson) {
  return decodeV1Response(wrap(promptJson)).prompt;
}

struct PromptCase {
  const char* json;
  VelqoV1Prompt expected;
};

TEST(V1ResponseDecoding, EveryPromptTypeWithItsKeysAndDefaults) {
  const std::vector<PromptCase> cases = {
      {R"({"type":"select_method","phase":"primary","methods":[{"id":"email_otp","label":"Email","icon":"mail"},{"id":"totp","label":"App"}]})",
       P::SelectMethod{{{"email_otp", "Email", "mail"}, {"totp", "App", std::nullopt}}, "primary"}},
      {R"({"type":"select_method"})", P::SelectMethod{}},
      {R"({"type":"select_method","methods":[{"id":"a","label":"A"},{"id":"b"}]})", P::SelectMethod{}},
      {R"({"type":"select_method","methods":{"id":"a"},"phase":null})", P::SelectMethod{}},
      {R"({"type":"select_method","methods":[{"id":"a","label":"A","icon":7}]})", P::SelectMethod{}},
      {R"({"type":"enter_code","destination":"a***@b.c","codeLength":6,"codeFormat":"numeric","codeExpiresAt":"x","resendAt":"y"})",
       P::EnterCode{"a***@b.c", 6, "numeric", "x", "y"}},
      {R"({"type":"enter_code","destination":5,"codeLength":6.0})", P::EnterCode{"", 6, {}, {}, {}}},
      {R"({"type":"enter_code","codeLength":null})", P::EnterCode{}},
      {R"({"type":"enter_totp","destination":"ignored"})", P::EnterTotp{}},
      {R"({"type":"setup_totp","secret":"JBSW","otpauthUrl":"otpauth://totp/x","period":30})",
       P::SetupTotp{"JBSW", "otpauth://totp/x", 30}},
      {R"({"type":"setup_totp","secret":null,"otpauthUrl":[]})", P::SetupTotp{}},
      {R"({"type":"setup_sms","existingPhone":"+1555"})", P::SetupSms{"+1555"}},
      {R"({"type":"setup_sms"})", P::SetupSms{}},
      {R"({"type":"redirect","url":"https://x.example/a","returnScheme":"app"})",
       P::Redirect{"https://x.example/a", "app"}},
      {R"({"type":"redirect"})", P::Redirect{}},
      {R"({"type":"await_approval","qrData":"qr","expiresAt":"soon","pollInterval":5})",
       P::AwaitApproval{"qr", "soon", 5}},
      {R"({"type":"await_approval"})", P::AwaitApproval{std::nullopt, "", 2}},
      {R"({"type":"await_approval","pollInterval":"5","expiresAt":false})",
       P::AwaitApproval{std::nullopt, "", 2}},
      {R"({"type":"await_approval","pollInterval":2.5})", P::AwaitApproval{std::nullopt, "", 2}},
      {R"({"type":"setup_device","domain":"d","algorithm":"alg","version":"1"})",
       P::SetupDevice{"d", "alg", "1"}},
      {R"({"type":"setup_device","version":1})", P::SetupDevice{"", "", ""}},
      {R"({"type":"device_challenge","challenge":"c","challengeEncoding":"hex","keyId":"k","algorithm":"a","domain":"d","combinedsalt":"cs","responseEncoding":"raw"})",
       P::DeviceChallenge{"c", "hex", "k", "a", "d", "cs", "raw"}},
      {R"({"type":"device_challenge","challenge":"c"})",
       P::DeviceChallenge{"c", "base64", "", "", "", "", "base64"}},
      {R"({"type":"completed","authCode":"ac","expiresAt":"e","codeVerifier":"v"})",
       P::Completed{"ac", "e", "v"}},
      {R"({"type":"completed"})", P::Completed{"", "", std::nullopt}},
      {R"({"type":"error"})", P::Error{}},
      {R"({"type":"Select_Method","methods":5})", P::Unknown{"Select_Method"}},
      {R"({"type":"fancy_new_prompt","codeLength":"six"})", P::Unknown{"fancy_new_prompt"}},
      {R"({"type":""})", P::Unknown{""}},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(promptOf(c.json), c.expected) << c.json;
    } catch (const std::exception& e) {
      ADD_FAILURE() << c.json << " threw " << e.what();
    }
  }
  EXPECT_EQ(promptOf(R"({"type":"fancy"})").wireName(), "fancy");
  EXPECT_EQ(promptOf(R"({"type":"enter_totp"})").wireName(), "enter_totp");
  EXPECT_TRUE(promptOf(R"({"type":"setup_device"})").isInternal());
  EXPECT_TRUE(promptOf(R"({"type":"device_challenge"})").isInternal());
  EXPECT_FALSE(promptOf(R"({"type":"completed"})").isInternal());
}

TEST(V1ResponseDecoding, WronglyTypedOptionalKeyFailsPromptAndFallsBackToStep) {
  const std::vector<const char*> badPrompts = {
      R"({"type":"select_method","phase":1})",
      R"({"type":"enter_code","codeLength":"6"})",
      R"({"type":"enter_code","codeLength":6.5})",
      R"({"type":"enter_code","codeFormat":1})",
      R"({"type":"enter_code","codeExpiresAt":[]})",
      R"({"type":"enter_code","resendAt":{}})",
      R"({"type":"setup_totp","period":"30"})",
      R"({"type":"setup_sms","existingPhone":1})",
      R"({"type":"redirect","returnScheme":true})",
      R"({"type":"await_approval","qrData":2})",
      R"({"type":"completed","codeVerifier":false})",
      R"({"methods":[]})",
      R"({"type":7})",
      R"("select_method")",
  };
  for (const char* bad : badPrompts) {
    EXPECT_THROW(decodeV1Response(wrap(bad)), VelqoV1JSONCodingError) << bad;
    const auto response = decodeV1Response(wrap(bad, R"(,"step":{"type":"enter_totp"})"));
    EXPECT_EQ(response.prompt, VelqoV1Prompt(P::EnterTotp{})) << bad;
  }
  // Only "step" present.
  EXPECT_EQ(
      decodeV1Response(
          R"({"protocolVersion":1,"session":"s","step":{"type":"poll_me"},"meta":{"traceId":"t","expiresAt":"e"}})")
          .prompt,
      VelqoV1Prompt(P::Unknown{"poll_me"}));
  // Both fail: the error of the "step" attempt is reported.
  try {
    decodeV1Response(wrap(R"({"type":"enter_code","codeLength":"6"})", R"(,"step":{"nottype":1})"));
    ADD_FAILURE();
  } catch (const VelqoV1JSONCodingError& e) {
    EXPECT_EQ(e.errorCase(), Case::keyNotFound) << e.what();
    EXPECT_NE(std::string(e.what()).find("step.type"), std::string::npos) << e.what();
  }
}

struct ErrorCase {
  const char* json;
  P::Error expected;
};

TEST(V1ResponseDecoding, ErrorPromptActionAndRetryFieldsMerge) {
  using D = VelqoV1ErrorDetails;
  const std::vector<ErrorCase> cases = {
      {R"({"type":"error"})", {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","code":"otp_invalid","message":"Bad code","retryable":true,"action":"retry_input"})",
       {"otp_invalid", A::retryInput(), "Bad code", true, std::nullopt}},
      {R"({"type":"error","code":7,"message":null,"retryable":"yes"})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      // Wait is inferred only for retryable errors without an action that name a retry time.
      {R"({"type":"error","retryable":true,"retryAfter":30})",
       {"unknown_error", A::wait(), "Unknown error", true, D{30, {}, {}, {}}}},
      {R"({"type":"error","retryable":false,"retryAfter":30})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{30, {}, {}, {}}}},
      {R"({"type":"error","retryable":true,"retryAt":"2030-01-01T00:00:00Z"})",
       {"unknown_error", A::wait(), "Unknown error", true, D{{}, "2030-01-01T00:00:00Z", {}, {}}}},
      {R"({"type":"error","retryable":true,"attemptsRemaining":2})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", true, D{{}, {}, 2, {}}}},
      // Prompt-level values win over the details; the details' two spellings.
      {R"({"type":"error","details":{"retry_after_seconds":10},"retryAfter":20})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{20, {}, {}, {}}}},
      {R"({"type":"error","details":{"retry_after_seconds":5,"retryAfterSeconds":9}})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{5, {}, {}, {}}}},
      {R"({"type":"error","details":{"retryAfterSeconds":9,"attemptsRemaining":1,"retryAt":"r","errors":[{"field":"code","message":"bad"}]}})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{9, "r", 1, {{{"code", "bad"}}}}}},
      {R"({"type":"error","details":{"retryAt":"d"},"retryAt":"p","attemptsRemaining":3})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{{}, "p", 3, {}}}},
      // Unreadable details are dropped whole; prompt-level values still count.
      {R"({"type":"error","details":{"attemptsRemaining":"2","retryAfterSeconds":4},"retryAt":"p"})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, D{{}, "p", {}, {}}}},
      {R"({"type":"error","details":{"errors":[{"field":"x"}]}})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","details":{}})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","details":"soon","retryAfter":"20","retryAt":5})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      // Action mapping and the retry-action object.
      {R"({"type":"error","action":5,"retryAction":{"type":"resend"}})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","action":null,"retryAction":{"type":"resend"}})",
       {"unknown_error", A::resendCode(), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","action":"cancel"})",
       {"unknown_error", A::abort(), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","action":"start"})",
       {"unknown_error", A::restartFlow(), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","action":"Wait","retryable":true,"retryAfter":3})",
       {"unknown_error", A::unknown("Wait"), "Unknown error", true, D{3, {}, {}, {}}}},
      {R"({"type":"error","retryAction":{"type":1},"retryable":true})",
       {"unknown_error", A::unknown("unknown"), "Unknown error", true, std::nullopt}},
      {R"({"type":"error","retryAction":"wait","retryable":true,"retryAfter":1})",
       {"unknown_error", A::wait(), "Unknown error", true, D{1, {}, {}, {}}}},
      {R"({"type":"error","retryAction":{"type":"select_method","delay":4}})",
       {"unknown_error", A::selectMethod(), "Unknown error", false, std::nullopt}},
      {R"({"type":"error","action":"retry_request","retryable":true,"retryAfter":2})",
       {"unknown_error", A::retryRequest(), "Unknown error", true, D{2, {}, {}, {}}}},
  };
  for (const auto& c : cases) {
    try {
      const auto prompt = promptOf(c.json);
      const auto* error = prompt.as<P::Error>();
      ASSERT_NE(error, nullptr) << c.json;
      EXPECT_EQ(*error, c.expected) << c.json;
    } catch (const std::exception& e) {
      ADD_FAILURE() << c.json << " threw " << e.what();
    }
  }
}

struct MetaCase {
  const char* promptJson;
  const char* extra;
  std::optional<VelqoV1PromptMetadata> expected;
};

TEST(V1ResponseDecoding, PromptMetadataIsReadBesideThePrompt) {
  using M = VelqoV1PromptMetadata;
  const VelqoV1RiskInfo risk{
      true, {"new_device", "geo"}, "Unusual", VelqoV1RiskLocation{"Oslo", std::nullopt}, 0.75};
  const std::vector<MetaCase> cases = {
      {R"({"type":"enter_code","channel":"sms"})", "", M{{}, {}, "sms"}},
      {R"({"type":"enter_code"})", "", std::nullopt},
      {R"({"type":"enter_code","stepInfo":{"id":"mfa","label":"Second factor"}})", "",
       M{VelqoV1StepInfo{"mfa", "Second factor"}, {}, {}}},
      {R"({"type":"enter_code","step_info":{"id":"primary"}})", "",
       M{VelqoV1StepInfo{"primary", {}}, {}, {}}},
      {R"({"type":"enter_code","stepInfo":{"id":"a"},"step_info":{"id":"b"}})", "",
       M{VelqoV1StepInfo{"a", {}}, {}, {}}},
      {R"({"type":"enter_code","stepInfo":{"id":"a"},"step_info":{"label":"b"}})", "", std::nullopt},
      {R"({"type":"enter_code","stepInfo":{"id":"a"},"risk":{"detected":true}})", "", std::nullopt},
      {R"({"type":"enter_code","risk":{"detected":true,"reasons":["new_device","geo"],"message":"Unusual","location":{"city":"Oslo"},"risk_score":0.75}})",
       "", M{{}, risk, {}}},
      {R"({"type":"enter_code","risk":{"detected":false,"reasons":[],"risk_score":1}})", "",
       M{{}, VelqoV1RiskInfo{false, {}, {}, {}, 1.0}, {}}},
      {R"({"type":"enter_code","channel":5})", "", std::nullopt},
      {R"({"type":"enter_code","stepInfo":null,"risk":null,"channel":null})", "", std::nullopt},
      // Unreadable under "prompt": read from "step" instead.
      {R"({"type":"enter_code","channel":5})", R"(,"step":{"type":"x","channel":"email"})",
       M{{}, {}, "email"}},
      // Read from "prompt" even when the prompt itself came from "step".
      {R"({"type":"enter_code","codeLength":"6","channel":"voice"})", R"(,"step":{"type":"enter_totp"})",
       M{{}, {}, "voice"}},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(decodeV1Response(wrap(c.promptJson, c.extra)).promptMeta, c.expected)
          << c.promptJson << c.extra;
    } catch (const std::exception& e) {
      ADD_FAILURE() << c.promptJson << " threw " << e.what();
    }
  }
}

TEST(V1ResponseDecoding, ResponseFrameIsStrict) {
  const auto ok = decodeV1Response(
      R"({"protocolVersion":2,"session":"abc","prompt":{"type":"enter_totp"},"meta":{"traceId":"tr","expiresAt":"ex"},"extra":[1,2]})");
  EXPECT_EQ(ok.protocolVersion, 2);
  EXPECT_EQ(ok.session, "abc");
  EXPECT_EQ(ok.meta, (VelqoV1ResponseMeta{"tr", "ex"}));
  EXPECT_FALSE(ok.promptMeta.has_value());
  const VelqoV1FlowSnapshot snapshot(ok);
  EXPECT_EQ(snapshot.session, "abc");
  EXPECT_EQ(snapshot.prompt, ok.prompt);

  struct Bad {
    const char* body;
    Case expected;
  };
  const std::vector<Bad> bad = {
      {"", Case::dataCorrupted},
      {"not json", Case::dataCorrupted},
      {"[]", Case::typeMismatch},
      {"null", Case::valueNotFound},
      {R"({"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::keyNotFound},
      {R"({"protocolVersion":"1","session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::typeMismatch},
      {R"({"protocolVersion":1,"session":null,"prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::valueNotFound},
      {R"({"protocolVersion":1,"session":"s","meta":{"traceId":"t","expiresAt":"e"}})", Case::keyNotFound},
      {R"({"protocolVersion":1,"session":"s","prompt":{"type":"enter_totp"}})", Case::keyNotFound},
      {R"({"protocolVersion":1,"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t"}})",
       Case::keyNotFound},
      {R"({"protocolVersion":1e300,"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::typeMismatch},
      {R"({"protocolVersion":1e400,"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::dataCorrupted},
      {R"({"protocolVersion":123456789012345678901234567890,"session":"s","prompt":{"type":"enter_totp"},"meta":{"traceId":"t","expiresAt":"e"}})",
       Case::typeMismatch},
      {"{\"protocolVersion\":1,\"session\":\"\xFF\",\"prompt\":{\"type\":\"enter_totp\"},\"meta\":{}}",
       Case::dataCorrupted},
  };
  for (const auto& b : bad) {
    try {
      decodeV1Response(b.body);
      ADD_FAILURE() << b.body;
    } catch (const VelqoV1JSONCodingError& e) {
      EXPECT_EQ(e.errorCase(), b.expected) << b.body << ": " << e.what();
    }
  }
}

TEST(V1ResponseDecoding, HostileNestingIsRejectedWithoutExhaustingTheStack) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_THROW(decodeV1Response(deep), VelqoV1JSONCodingError);
  const std::string deepInPrompt =
      wrap(R"({"type":"error","retryAction":)" + std::string(300, '[') + std::string(300, ']') + "}");
  EXPECT_THROW(decodeV1Response(deepInPrompt), VelqoV1JSONCodingError);
  // Brackets inside strings do not count as nesting.
  const auto fine =
      decodeV1Response(wrap(R"({"type":"error","message":")" + std::string(1000, '[') + R"("})"));
  EXPECT_EQ(fine.prompt.as<P::Error>()->message, std::string(1000, '['));
  // Moderate nesting inside an ignored key is fine.
  EXPECT_NO_THROW(decodeV1Response(
      wrap(R"({"type":"error","x":)" + std::string(200, '[') + std::string(200, ']') + "}")));
}

TEST(V1ResponseDecoding, ErrorActionAndDetailsWireForms) {
  EXPECT_EQ(encodeV1JSON(A::resendCode()), R"("resend_code")");
  EXPECT_EQ(encodeV1JSON(A::unknown("Later")), R"("Later")");
  EXPECT_EQ(decodeV1JSON<VelqoV1ErrorAction>(R"("resend")"), A::resendCode());
  EXPECT_EQ(decodeV1JSON<VelqoV1ErrorAction>("null"), A::unknown("unknown"));
  EXPECT_EQ(decodeV1JSON<VelqoV1ErrorAction>("[1]"), A::unknown("unknown"));
  EXPECT_EQ(A::unknown("x").caseDescription(), R"(unknown("x"))");
  EXPECT_EQ(A::retryRequest().caseDescription(), "retryRequest");
  EXPECT_NE(A::unknown("a"), A::unknown("b"));

  const VelqoV1ErrorDetails details{7, "at", 1, {{{"f", "m"}}}};
  EXPECT_EQ(
      encodeV1JSON(details),
      R"({"retry_after_seconds":7,"retryAt":"at","attemptsRemaining":1,"errors":[{"field":"f","message":"m"}]})");
  EXPECT_EQ(encodeV1JSON(VelqoV1ErrorDetails{}), "{}");
  EXPECT_TRUE(VelqoV1ErrorDetails{}.isEmpty());
  EXPECT_EQ(decodeV1JSON<VelqoV1ErrorDetails>(encodeV1JSON(details)), details);
  EXPECT_EQ(encodeV1JSON(VelqoV1Method{"id", "L", std::nullopt}), R"({"id":"id","label":"L"})");
  EXPECT_EQ(encodeV1JSON(VelqoV1Method{"id", "L", "i"}), R"({"id":"id","label":"L","icon":"i"})");
}

TEST(V1ResponseDecoding, FlowStateTerminality) {
  EXPECT_EQ(VelqoV1FlowState().kind(), VelqoV1FlowState::Case::idle);
  EXPECT_FALSE(VelqoV1FlowState::loading("s").isTerminal());
  EXPECT_TRUE(VelqoV1FlowState(VelqoV1FlowState::Completed{"s", "c", "e", std::nullopt}).isTerminal());
  EXPECT_TRUE(VelqoV1FlowState(VelqoV1FlowState::Error{}).isTerminal());
  EXPECT_FALSE(VelqoV1FlowState(VelqoV1FlowState::Prompt{"s", P::EnterTotp{}, {}, {}}).isTerminal());
  EXPECT_NE(VelqoV1FlowState::loading(std::nullopt), VelqoV1FlowState::loading(""));
}

}  // namespace
}  // namespace velqo
