#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flow_test_support.hpp"
#include "platform/crypto.hpp"
#include "support/wait_bound.hpp"
#include "v1/flows/flow/flow_support.hpp"
#include "v1/protocol/test_data.hpp"

namespace velqo::testing {
namespace {

using Policy = VelqoV1PrimaryMethodSelectionPolicy;
using Update = VelqoV1FlowUpdate;

constexpr const char* kAwait =
    R"({"type":"await_approval","qrData":"qr","expiresAt":"2030-01-01T00:00:00Z","pollInterval":1})";

const Update::Prompt& promptOf(const Update& update) {
  static const Update::Prompt none{VelqoV1PromptContext("", {}), VelqoV1UserPrompt::EnterTotp{}};
  const auto* prompt = update.as<Update::Prompt>();
  EXPECT_NE(prompt, nullptr);
  return prompt ? *prompt : none;
}

std::optional<VelqoV1StepInfo> step(const char* id, const char* label) {
  return VelqoV1StepInfo{id, std::string(label)};
}

TEST_F(FlowTest, SignInUpdatesCarryStepInfoContextAndTheSdkMadeVerifier) {
  auto flow = makeController();
  localservice::Reply first =
      Peer::answer("s1", R"({"type":"select_method","phase":"primary","channel":"email",
      "risk":{"detected":true,"reasons":["new_device"]},"methods":[{"id":"email_otp","label":"E-mail"}]})");
  first.delay = 300ms;
  peer.enqueue(first);
  peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"a***@example.com"})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"+1***"})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"setup_totp","secret":"S","otpauthUrl":"otpauth://x",
      "stepInfo":{"id":"enroll","label":"Enroll"}})"));
  peer.enqueue(Peer::answer("s1", Peer::completedPrompt("code-1")));

  flow->start(VelqoV1FlowType::signin, " Alice@Example.com ");
  pump(100ms);
  EXPECT_EQ(recorder.count(), 0u) << "start itself emits nothing";
  ASSERT_TRUE(recorder.waitFor(1));
  flow->selectMethod("email_otp");
  ASSERT_TRUE(recorder.waitFor(2));
  flow->submitCode(" 123456 ");
  ASSERT_TRUE(recorder.waitFor(3));
  flow->submitCode("654321");
  ASSERT_TRUE(recorder.waitFor(4));
  flow->submitTotp("111222");
  ASSERT_TRUE(recorder.waitFor(5));

  const auto updates = recorder.updates();
  const VelqoV1ResponseMeta meta{"trace-1", "2030-01-01T00:00:00Z"};
  const VelqoV1RiskInfo risk{true, {"new_device"}, std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(promptOf(updates[0]).context,
            VelqoV1PromptContext("s1", meta, step("primary", "Primary"), risk, std::string("email")));
  EXPECT_EQ(promptOf(updates[1]).context.stepInfo(), step("primary", "Primary"))
      << "kept from the last prompt";
  EXPECT_EQ(promptOf(updates[1]).prompt,
            VelqoV1UserPrompt(VelqoV1UserPrompt::EnterCode{"a***@example.com", std::nullopt, std::nullopt,
                                                           std::nullopt, std::nullopt}));
  EXPECT_EQ(promptOf(updates[2]).context.stepInfo(), step("mfa", "Second Factor"));
  EXPECT_EQ(promptOf(updates[3]).context.stepInfo(), step("enroll", "Enroll"));

  const auto* completed = updates[4].as<Update::Completed>();
  ASSERT_NE(completed, nullptr);
  EXPECT_EQ(completed->authCode, "code-1");
  EXPECT_EQ(completed->meta, meta);
  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 5u);
  const Json start = actionOf(exchanges[0]);
  EXPECT_EQ(start["identifier"], " Alice@Example.com ");
  ASSERT_TRUE(completed->codeVerifier.has_value());
  const std::string verifier = *completed->codeVerifier;
  EXPECT_EQ(start["codeChallenge"], platform::base64UrlEncode(platform::crypto::sha256(
                                        platform::crypto::view(std::string_view(verifier)))));
  EXPECT_EQ(actionOf(exchanges[2]), Json::parse(R"({"type":"submit_code","code":" 123456 "})"));
}

TEST_F(FlowTest, AnswersWithoutAUsablePromptBecomeErrorsOrCompletedWithFallbackMeta) {
  struct Row {
    const char* prompt;
    Update expected;
  };
  const VelqoV1ResponseMeta meta{"trace-1", "2030-01-01T00:00:00Z"};
  const std::vector<Row> rows = {
      {R"({"type":"setup_device","domain":"d","algorithm":"a","version":"1"})",
       Update::Error{"s1", "device_crypto_unconfigured", std::nullopt,
                     "Device trust prompt received but no crypto handler is configured", false, std::nullopt,
                     meta}},
      {R"({"type":"mystery"})", Update::Error{"s1", "invalid_prompt", std::nullopt, "Unexpected prompt type",
                                              false, std::nullopt, meta}},
      {R"({"type":"completed","authCode":"c","expiresAt":"2031-01-01T00:00:00Z","codeVerifier":"v"})",
       Update::Completed{"s1", "c", "2031-01-01T00:00:00Z", "v", {"", "2031-01-01T00:00:00Z"}}},
  };
  for (const Row& row : rows) {
    auto flow = makeController();
    peer.enqueue(Peer::answer("s1", row.prompt));
    flow->start(VelqoV1FlowType::signup, "bob");
    ASSERT_TRUE(recorder.waitFor(1)) << row.prompt;
    EXPECT_EQ(recorder.last(), row.expected) << row.prompt;
    flow.reset();
    recorder.clear();
  }
}

TEST_F(FlowTest, PrimaryMethodIsChosenFromTheIdentifierOnlyWhereAllowed) {
  for (const Json& row : testData("primary_method_choices.json")) {
    SCOPED_TRACE(row.dump());
    auto flow = makeController(false, row["automatic"] ? Policy::automaticFromIdentifier : Policy::manual);
    peer.enqueue(Peer::answer("s1", row["prompt"].dump()));
    const bool chosen = row["chosen"].is_string();
    if (chosen) peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"d"})"));
    const std::size_t before = peer.requestCount();
    flow->start(row["signup"] ? VelqoV1FlowType::signup : VelqoV1FlowType::signin,
                row["identifier"].get<std::string>());
    ASSERT_TRUE(recorder.waitFor(1));
    const auto kind = promptOf(recorder.last()).prompt.kind();
    const auto exchanges = peer.exchanges();
    if (chosen) {
      EXPECT_EQ(kind, VelqoV1UserPrompt::Case::enterCode) << "the select prompt is never shown";
      ASSERT_EQ(exchanges.size(), before + 2);
      EXPECT_EQ(actionOf(exchanges.back()), (Json{{"type", "select_method"}, {"methodId", row["chosen"]}}));
    } else {
      EXPECT_EQ(kind, VelqoV1UserPrompt::Case::selectMethod);
      EXPECT_EQ(exchanges.size(), before + 1);
    }
    flow.reset();
    recorder.clear();
  }
  EXPECT_TRUE(
      capture.has("[V1] auto_select_primary_method methodId=email_otp phase=primary "
                  "policy=automaticFromIdentifier session=s1"));
}

TEST_F(FlowTest, PhoneIdentifierIsSubmittedAsSmsNumberOncePerSession) {
  auto flow = makeController();
  peer.enqueue(Peer::answer("s1", R"({"type":"setup_sms"})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"setup_sms"})"));
  peer.enqueue(Peer::answer("s2", R"({"type":"setup_sms","existingPhone":"+4915100000"})"));
  flow->start(VelqoV1FlowType::signin, " +1 555 010 2030 ");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(promptOf(recorder.last()).prompt, VelqoV1UserPrompt(VelqoV1UserPrompt::SetupSms{}));
  flow->submitPhone("+1 555 010 2030");  // the host answers; the next session names a phone
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(promptOf(recorder.last()).prompt,
            VelqoV1UserPrompt(VelqoV1UserPrompt::SetupSms{std::string("+4915100000")}));
  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 3u);
  EXPECT_EQ(actionOf(exchanges[1]), Json::parse(R"({"type":"submit_phone","phone":"+1 555 010 2030"})"));
  EXPECT_TRUE(capture.has("[V1] auto_submit_setup_sms identifierKind=phone phase=primary session=s1"));
}

TEST_F(FlowTest, ExistingPhoneOfUnicodeWhiteSpaceIsBlank) {
  // No-break space, ideographic space, NEL, line and paragraph separators; the step id of
  // white space around "Primary" names the primary step.
  auto flow = makeController();
  peer.enqueue(Peer::answer("s1", R"({"type":"setup_sms","existingPhone":"\u00a0\u3000\u0085",
      "stepInfo":{"id":"\u2028Primary\u2029"}})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"+1***"})"));
  flow->start(VelqoV1FlowType::signin, "+1 555 010 2030");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(promptOf(recorder.last()).prompt.kind(), VelqoV1UserPrompt::Case::enterCode);
  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  EXPECT_EQ(actionOf(exchanges[1]), Json::parse(R"({"type":"submit_phone","phone":"+1 555 010 2030"})"));
}

TEST_F(FlowTest, AutomaticMethodChoiceIsMadeOncePerSession) {
  auto flow = makeController(false, Policy::automaticFromIdentifier);
  const char* select = R"({"type":"select_method","methods":[{"id":"email_otp","label":"E"}]})";
  peer.enqueue(Peer::answer("s1", select));
  peer.enqueue(Peer::answer("s1", select));  // the service asks again: the host decides now
  flow->start(VelqoV1FlowType::signin, "alice@example.com");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(promptOf(recorder.last()).prompt.kind(), VelqoV1UserPrompt::Case::selectMethod);
  pump(200ms);
  EXPECT_EQ(peer.requestCount(), 2u);
  EXPECT_EQ(recorder.count(), 1u);
}

// A service that asks again under a new session every time: one automatic answer, then the
// host sees the prompt. Each prompt the host sees allows one more automatic answer.
TEST_F(FlowTest, AutomaticAnswersStopAtOneUntilThePromptIsShownWhateverTheSession) {
  struct Row {
    std::string prompt;
    const char* identifier;
    VelqoV1UserPrompt::Case shown;
    const char* automaticAction;
  };
  const std::vector<Row> rows = {
      {R"({"type":"select_method","methods":[{"id":"email_otp","label":"E"}]})", "alice@example.com",
       VelqoV1UserPrompt::Case::selectMethod, "select_method"},
      {R"({"type":"setup_sms"})", "+1 555 010 2030", VelqoV1UserPrompt::Case::setupSms, "submit_phone"},
  };
  auto sessions = std::make_shared<std::atomic<int>>(0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.prompt);
    peer.setFallback([sessions, prompt = row.prompt](const localservice::V1Exchange&) {
      return Peer::answer("s" + std::to_string(++*sessions), prompt);
    });
    auto flow = makeController(false, Policy::automaticFromIdentifier);
    const std::size_t before = peer.requestCount();

    flow->start(VelqoV1FlowType::signin, row.identifier);
    ASSERT_TRUE(recorder.waitFor(1, kWaitBound)) << "requests: " << peer.requestCount() - before;
    EXPECT_EQ(promptOf(recorder.last()).prompt.kind(), row.shown);
    pump(300ms);
    ASSERT_EQ(peer.requestCount(), before + 2);
    EXPECT_EQ(peer.exchanges()[before + 1].actionType, row.automaticAction);
    EXPECT_EQ(recorder.count(), 1u);

    flow->cancel();  // any host action: its answer is answered automatically once more
    ASSERT_TRUE(recorder.waitFor(2, kWaitBound)) << "requests: " << peer.requestCount() - before;
    pump(300ms);
    ASSERT_EQ(peer.requestCount(), before + 4);
    EXPECT_EQ(peer.exchanges()[before + 3].actionType, row.automaticAction);
    EXPECT_EQ(recorder.count(), 2u);
    flow.reset();
    recorder.clear();
  }
}

TEST_F(FlowTest, DefaultAndSecondFactorStepLabels) {
  // The first code prompt of a flow without step information is the identity check; a setup
  // or code prompt right after a submitted code is the second factor.
  for (const char* next :
       {R"({"type":"enter_totp"})", R"({"type":"setup_totp","secret":"S","otpauthUrl":"u"})",
        R"({"type":"setup_sms","existingPhone":"+4915100000"})"}) {
    SCOPED_TRACE(next);
    auto flow = makeController();
    peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"d"})"));
    peer.enqueue(Peer::answer("s1", next));
    flow->start(VelqoV1FlowType::signin, "ivy");
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(promptOf(recorder.last()).context.stepInfo(), step("primary", "Verify Identity"));
    flow->submitCode("123456");
    ASSERT_TRUE(recorder.waitFor(2));
    EXPECT_EQ(promptOf(recorder.last()).context.stepInfo(), step("mfa", "Second Factor"));
    flow.reset();
    recorder.clear();
  }
}

TEST_F(FlowTest, StepLabelsOfPhasesWithCapitalsAreWordsInTitleCase) {
  // Each word of the phase is lower-cased, then its first letter upper-cased; "_" and " "
  // separate words. The step id stays the phase as written.
  auto flow = makeController();
  peer.enqueue(Peer::answer(
      "s1", R"({"type":"select_method","phase":"MFA","methods":[{"id":"email_otp","label":"E"}]})"));
  peer.enqueue(Peer::answer(
      "s1", R"({"type":"select_method","phase":"second_FACTOR","methods":[{"id":"sms_otp","label":"S"}]})"));
  // "id: label" of the last prompt's step, readable in a failure.
  const auto shownStep = [&] {
    const auto info = promptOf(recorder.last()).context.stepInfo();
    return info ? info->id + ": " + info->label.value_or("(no label)") : std::string("(no step)");
  };
  flow->start(VelqoV1FlowType::signin, "ivy");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_EQ(shownStep(), "MFA: Mfa");
  flow->selectMethod("email_otp");
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_EQ(shownStep(), "second_FACTOR: Second Factor");
}

TEST_F(FlowTest, ServerPollNumbersAtTheEdges) {
  struct Row {
    const char* expiresAt;
    const char* pollInterval;
    std::chrono::milliseconds minimumGap;  // between the start and the first poll; 0: no poll
  };
  const std::vector<Row> rows = {
      {"9999-12-31T23:59:59Z", "0", 900ms},  // "never" expires: polled, not expired
      {"2030-01-01T00:00:00Z", "2", 1900ms},
      {"2030-01-01T00:00:00Z", "10000000000", 0ms},  // beyond the clock: held, prompt still shown
      {"2030-01-01T00:00:00Z", "18446744074", 0ms},  // 2^64 ns + 0.29 s: must not wrap to 0.29 s
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.expiresAt) + " every " + row.pollInterval);
    const std::size_t before = peer.requestCount();
    auto flow = makeController(true);
    const std::string await = std::string(R"({"type":"await_approval","qrData":"q","expiresAt":")") +
                              row.expiresAt + R"(","pollInterval":)" + row.pollInterval + "}";
    peer.setFallback([await](const auto&) { return Peer::answer("s1", await); });
    flow->start(VelqoV1FlowType::signin, "jo");
    ASSERT_TRUE(recorder.waitFor(1));
    EXPECT_EQ(promptOf(recorder.last()).prompt.kind(), VelqoV1UserPrompt::Case::awaitApproval);
    if (row.minimumGap > 0ms) {
      ASSERT_TRUE(peer.waitForRequests(before + 2, kWaitBound));
      const auto exchanges = peer.exchanges();
      EXPECT_EQ(exchanges[before + 1].actionType, "poll");
      EXPECT_GE(exchanges[before + 1].receivedAt - exchanges[before].receivedAt, row.minimumGap);
    } else {
      pump(300ms);
      EXPECT_EQ(peer.requestCount(), before + 1);
    }
    flow.reset();
    pump(50ms);
    EXPECT_EQ(recorder.count(), 1u) << "no expiry error, no repeated prompt";
    recorder.clear();
  }
}

TEST(FlowPolling, PollPeriodIsTheServiceIntervalFromOneSecondToABillion) {
  using std::chrono::seconds;
  using v1::detail::approvalPollPeriod;
  EXPECT_EQ(approvalPollPeriod(-7), seconds(1));
  EXPECT_EQ(approvalPollPeriod(0), seconds(1));
  EXPECT_EQ(approvalPollPeriod(5), seconds(5));
  EXPECT_EQ(approvalPollPeriod(1'000'000'000), seconds(1'000'000'000));
  // In the timer's nanoseconds 18446744074 seconds is 2^64 ns + 0.29 s: uncapped, the timer
  // would poll three times a second; 10^10 seconds would not be positive at all.
  for (const std::int64_t huge : {std::int64_t{10'000'000'000}, std::int64_t{18'446'744'074},
                                  std::numeric_limits<std::int64_t>::max()}) {
    EXPECT_EQ(approvalPollPeriod(huge), seconds(1'000'000'000)) << huge;
  }
}

TEST_F(FlowTest, ATickExactlyAtTheExpiryEndsTheApprovalWithoutAPoll) {
  // The clock stands on the expiry itself, so the first tick lands exactly on it.
  setClock(at("2025-01-01T10:00:00Z"));
  auto flow = makeController(true);
  peer.setFallback([](const auto&) {
    return Peer::answer("s1",
                        R"({"type":"await_approval","expiresAt":"2025-01-01T10:00:00Z","pollInterval":1})");
  });
  flow->start(VelqoV1FlowType::signin, "gus");
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(platform::mainQueue().runUntil(
      [&] { return recorder.count() >= 2 || peer.requestCount() >= 2; }, kWaitBound));
  EXPECT_EQ(peer.requestCount(), 1u) << "a tick at the expiry polls no more";
  const Update last = recorder.last();
  const auto* error = last.as<Update::Error>();
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->code, "session_expired");
  EXPECT_EQ(error->message, "Approval expired");
}

TEST_F(FlowTest, AwaitedApprovalIsPolledUntilApprovedAndRepeatsAreNotShownAgain) {
  auto flow = makeController(true);
  for (int i = 0; i < 3; ++i) peer.enqueue(Peer::answer("s1", kAwait));
  peer.enqueue(Peer::answer("s1", Peer::completedPrompt("code-9")));
  flow->start(VelqoV1FlowType::signin, "carol", std::nullopt, std::nullopt, std::string("caller-challenge"));
  ASSERT_TRUE(recorder.waitFor(2, kWaitBound));
  const auto updates = recorder.updates();
  EXPECT_EQ(promptOf(updates[0]).prompt, VelqoV1UserPrompt(VelqoV1UserPrompt::AwaitApproval{
                                             std::string("qr"), "2030-01-01T00:00:00Z", 1}));
  const auto* completed = updates[1].as<Update::Completed>();
  ASSERT_NE(completed, nullptr);
  EXPECT_EQ(completed->codeVerifier, std::nullopt) << "caller-supplied challenge: no verifier kept";
  pump(1300ms);
  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 4u) << "three polls, none after completion";
  for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(exchanges[i].actionType, "poll");
  EXPECT_GE(exchanges[2].receivedAt - exchanges[1].receivedAt, 900ms);
  EXPECT_EQ(recorder.count(), 2u);
}

TEST_F(FlowTest, SameApprovalIsShownAgainOnlyAfterAUserAction) {
  auto flow = makeController(false);
  std::atomic<int> states{0};
  flow->client()->setOnStateChange([&](const VelqoV1FlowState& s) {
    if (s.kind() == VelqoV1FlowState::Case::prompt) ++states;
  });
  for (int i = 0; i < 3; ++i) peer.enqueue(Peer::answer("s1", kAwait));
  peer.enqueue(Peer::answer("s2", kAwait));
  flow->start(VelqoV1FlowType::signin, "dan");
  ASSERT_TRUE(recorder.waitFor(1));
  flow->poll();
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return states.load() == 2; }, kWaitBound));
  flow->selectMethod("push");
  ASSERT_TRUE(recorder.waitFor(2));
  pump(50ms);
  EXPECT_EQ(recorder.count(), 2u);
  flow->poll();  // a poll that brings another session's approval shows it
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_EQ(promptOf(recorder.last()).context.session(), "s2");
  flow->client()->setOnStateChange({});
}

TEST_F(FlowTest, ApprovalExpiresLocallyWithOneErrorAndNoFurtherPoll) {
  setClock(at("2025-01-01T10:00:00Z"));
  auto flow = makeController(true);
  peer.setFallback([](const auto&) {
    return Peer::answer(
        "s1", R"({"type":"await_approval","expiresAt":"2025-01-01T10:00:00.250Z","pollInterval":0})");
  });
  flow->start(VelqoV1FlowType::signin, "erin");
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(peer.waitForRequests(2, kWaitBound)) << "before the expiry a tick polls";
  setClock(at("2025-01-01T10:00:01Z"));
  ASSERT_TRUE(recorder.waitFor(2, kWaitBound));
  EXPECT_EQ(recorder.last(),
            Update(Update::Error{"s1", "session_expired", std::nullopt, "Approval expired", false,
                                 std::nullopt, VelqoV1ResponseMeta{"trace-1", "2030-01-01T00:00:00Z"}}));
  const std::size_t requests = peer.requestCount();
  pump(1500ms);
  EXPECT_EQ(peer.requestCount(), requests);
  EXPECT_EQ(recorder.count(), 2u);
}

TEST_F(FlowTest, ResendIsGatedByTheLastEnterCodePrompt) {
  setClock(at("2025-01-01T10:00:00Z"));
  auto flow = makeController();
  EXPECT_FALSE(flow->canResend(platform::now())) << "no resend time known";
  peer.enqueue(
      Peer::answer("s1", R"({"type":"enter_code","destination":"d","resendAt":"2025-01-01T10:00:30Z"})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"d","resendAt":"2025-01-01"})"));
  peer.enqueue(
      Peer::answer("s1", R"({"type":"enter_code","destination":"d","resendAt":"9999-12-31T23:59:59Z"})"));
  peer.enqueue(
      Peer::answer("s1", R"({"type":"enter_code","destination":"d","resendAt":"2025-01-01T10:01:00Z"})"));
  peer.enqueue(Peer::answer("s1", R"({"type":"select_method","methods":[]})"));
  flow->start(VelqoV1FlowType::signin, "fay");
  ASSERT_TRUE(recorder.waitFor(1));
  EXPECT_FALSE(flow->resend());
  EXPECT_FALSE(flow->canResend(at("2025-01-01T10:00:29Z")));
  EXPECT_TRUE(flow->canResend(at("2025-01-01T10:00:30Z")));
  pump(100ms);
  EXPECT_EQ(peer.requestCount(), 1u) << "a closed gate sends nothing";
  setClock(at("2025-01-01T10:00:30Z"));
  EXPECT_TRUE(flow->resend());
  ASSERT_TRUE(recorder.waitFor(2));
  EXPECT_TRUE(flow->resend()) << "an unreadable resend time leaves the gate open";
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_FALSE(flow->resend()) << "a resend time in the year 9999 keeps the gate closed";
  EXPECT_FALSE(flow->canResend(at("2262-04-11T00:00:00Z")));
  flow->submitCode("1");
  ASSERT_TRUE(recorder.waitFor(4));
  EXPECT_TRUE(flow->canResend(at("2030-01-01T00:00:00Z")));
  flow->selectMethod("x");
  ASSERT_TRUE(recorder.waitFor(5));
  EXPECT_FALSE(flow->canResend(at("2030-01-01T00:00:00Z"))) << "another prompt clears the resend time";
  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 5u);
  EXPECT_EQ(exchanges[1].actionType, "resend");
  EXPECT_EQ(exchanges[2].actionType, "resend");
}

TEST_F(FlowTest, CancelAndResetStopPolling) {
  for (const bool useReset : {false, true}) {
    SCOPED_TRACE(useReset ? "reset" : "cancel");
    const std::size_t before = peer.requestCount();
    auto flow = makeController(true);
    peer.enqueue(Peer::answer("s1", kAwait));
    if (!useReset)
      peer.enqueue(Peer::answer("s1", Peer::errorPrompt("flow_cancelled", "abort", "Cancelled")));
    flow->start(VelqoV1FlowType::signin, "gus");
    ASSERT_TRUE(recorder.waitFor(1));
    if (useReset) {
      flow->reset();
      ASSERT_TRUE(recorder.waitFor(2));
      EXPECT_EQ(recorder.last(), Update::idle());
      EXPECT_EQ(flow->client()->state(), VelqoV1FlowState::idle());
      EXPECT_EQ(flow->client()->currentIdentifier(), std::nullopt);
    } else {
      flow->cancel();
      ASSERT_TRUE(recorder.waitFor(2));
      const Update last = recorder.last();
      const auto* error = last.as<Update::Error>();
      ASSERT_NE(error, nullptr);
      EXPECT_EQ(error->code, "flow_cancelled");
      EXPECT_EQ(error->meta, (VelqoV1ResponseMeta{"trace-1", "2030-01-01T00:00:00Z"}));
      EXPECT_EQ(peer.exchanges().at(before + 1).actionType, "cancel");
    }
    pump(1600ms);
    EXPECT_EQ(peer.requestCount(), before + (useReset ? 1u : 2u)) << "no poll after the timer stopped";
    EXPECT_EQ(recorder.count(), 2u);
    flow.reset();
    recorder.clear();
  }
}

TEST_F(FlowTest, OnUpdateIsReadWhenTheUpdateIsDelivered) {
  // A queue the test runs by hand, so it sees exactly when an update is queued.
  struct ManualQueue : platform::DispatchQueue {
    std::mutex mutex;
    std::deque<platform::Block> blocks;
    void async(platform::Block block) override {
      std::lock_guard lock(mutex);
      blocks.push_back(std::move(block));
    }
    void asyncAfter(platform::Duration, platform::Block block) override { async(std::move(block)); }
    const char* label() const noexcept override { return "manual"; }
    bool waitForOne() {
      return platform::mainQueue().runUntil(
          [&] {
            std::lock_guard lock(mutex);
            return blocks.size() == 1;
          },
          kWaitBound);
    }
    void runAll() {
      std::deque<platform::Block> now;
      {
        std::lock_guard lock(mutex);
        now.swap(blocks);
      }
      for (auto& b : now) b();
    }
  };
  auto queue = std::make_shared<ManualQueue>();
  auto flow = makeController(false, Policy::manual, queue);
  flow->setOnUpdate({});
  for (int i = 0; i < 3; ++i) peer.enqueue(Peer::answer("s1", R"({"type":"enter_totp"})"));
  flow->start(VelqoV1FlowType::signin, "hal");
  ASSERT_TRUE(queue->waitForOne());
  queue->runAll();  // delivered while unset: lost
  flow->setOnUpdate(recorder.handler());
  queue->runAll();
  EXPECT_EQ(recorder.count(), 0u);

  flow->submitTotp("1");
  ASSERT_TRUE(queue->waitForOne());
  queue->runAll();
  EXPECT_EQ(recorder.count(), 1u);

  flow->submitTotp("2");
  ASSERT_TRUE(queue->waitForOne());
  std::weak_ptr<VelqoV1FlowController> weak = flow;
  flow.reset();  // released with an update still queued
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return weak.expired(); }, kWaitBound));
  queue->runAll();
  EXPECT_EQ(recorder.count(), 1u);
}

}  // namespace
}  // namespace velqo::testing
