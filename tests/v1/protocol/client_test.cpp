// The V1 protocol client over real HTTP against the loopback V1 endpoint.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "client_test_support.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/wait_bound.hpp"
#include "v1/flows/line_capture.hpp"

namespace velqo::testing {
namespace {

using localservice::Reply;
using localservice::V1Exchange;
using localservice::V1Peer;
using namespace std::chrono_literals;
using State = VelqoV1FlowState;
using Flow = VelqoV1FlowType;

const std::string kSelectMethod =
    R"({"type":"select_method","methods":[{"id":"email_otp","label":"Email"}]})";

nlohmann::json envelope(const V1Exchange& exchange) {
  return nlohmann::json::parse(exchange.request.body);
}

std::string sha256Hex(const std::string& text) {
  return platform::crypto::sha256Hex(platform::crypto::view(text));
}

double secondsBetween(const V1Exchange& a, const V1Exchange& b) {
  return std::chrono::duration<double>(b.receivedAt - a.receivedAt).count();
}

const State::Error& errorOf(const State& state) {
  static const State::Error none{};
  const auto* error = state.as<State::Error>();
  EXPECT_NE(error, nullptr) << "not an error state";
  return error ? *error : none;
}

using V1Client = V1ClientFixture;

// Reference types come from their `create` alone: `{}` cannot stand in for the private key.
template <class T, class... Args>
concept BuildableWithoutCreate = requires(Args... args) {
  T({}, args...);
};
static_assert(!BuildableWithoutCreate<VelqoProtocolV1Client, VelqoV1ClientConfig,
                                      std::shared_ptr<platform::HttpSession>>);
static_assert(BuildableWithoutCreate<std::pair<int, int>, int>, "the probe itself works");

TEST_F(V1Client, SignInStartTakesCredentialsFromProviderThenHandlerAndNeverForOtherFlows) {
  const VelqoV1DeviceCredentials fromProvider{"ks-p", "hi-p", "sk-p"};
  struct Case {
    const char* name;
    Flow flow;
    bool providerHas;
    std::optional<VelqoV1DeviceCredentials> given;
    int providerCalls, handlerLookups;
    std::optional<std::string> sentKeyset;
  };
  const std::vector<Case> cases = {
      {"provider first", Flow::signin, true, std::nullopt, 1, 0, "ks-p"},
      {"handler when provider has none", Flow::signin, false, std::nullopt, 1, 1, "ks-h"},
      {"given credentials win", Flow::signin, true, VelqoV1DeviceCredentials{"ks-g", "hi-g", "sk-g"}, 0, 0,
       "ks-g"},
      {"signup looks nothing up", Flow::signup, true, std::nullopt, 0, 0, std::nullopt},
      {"account flow looks nothing up", Flow::accountManage, true, std::nullopt, 0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = std::make_shared<InMemoryDeviceTrust>();
    handler->store("Alice", {"ks-h", "hi-h", "sk-h"});
    std::atomic<int> providerCalls{0};
    auto settings = testSettings(peer.baseURL());
    settings.deviceCryptoHandler = handler;
    settings.deviceCredentialsProvider = [&, has = c.providerHas](const std::string& id) {
      ++providerCalls;
      EXPECT_EQ(id, "Alice");
      return has ? std::optional(fromProvider) : std::nullopt;
    };
    auto client = makeClient(settings);
    const std::size_t before = peer.requestCount();
    peer.enqueue(V1Peer::answer("s-1", kSelectMethod));
    StateRecorder done;
    startFlow(*client, c.flow, "Alice", done.callback(), std::nullopt, c.given);
    ASSERT_TRUE(done.waitFor(1));
    const auto action = envelope(peer.exchanges().at(before))["action"];
    EXPECT_EQ(providerCalls.load(), c.providerCalls);
    EXPECT_EQ(handler->credentialLookups(), c.handlerLookups);
    if (c.sentKeyset) {
      EXPECT_EQ(action["deviceCredentials"]["keyset"], *c.sentKeyset);
    } else {
      EXPECT_FALSE(action.contains("deviceCredentials"));
    }
  }
}

TEST_F(V1Client, StartMakesAPkcePairUnlessTheCallerGivesANonBlankChallenge) {
  const std::string prefix =
      R"({"protocolVersion":2,"action":{"type":"start","flowType":"signup","identifier":" Alice ","codeChallenge":")";
  auto client = makeClient();  // each start replaces the verifier the one before made
  for (const std::optional<std::string>& given :
       {std::optional<std::string>(), std::optional<std::string>(" \n\t"),
        std::optional<std::string>(" abc ")}) {
    SCOPED_TRACE(given.value_or("<absent>"));
    peer.enqueue(V1Peer::answer("s-1", kSelectMethod));
    StateRecorder done;
    const std::size_t before = peer.requestCount();
    startFlow(*client, Flow::signup, " Alice ", done.callback(), given);
    ASSERT_TRUE(done.waitFor(1));
    const std::string body = peer.exchanges().at(before).request.body;
    const auto verifier = client->currentCodeVerifier();
    if (given == " abc ") {
      EXPECT_FALSE(verifier);
      EXPECT_EQ(body, prefix + R"( abc "}})");
      continue;
    }
    ASSERT_TRUE(verifier);
    EXPECT_EQ(verifier->size(), 43u);
    EXPECT_EQ(verifier->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
    EXPECT_EQ(body,
              prefix +
                  platform::base64UrlEncode(platform::crypto::sha256(platform::crypto::view(*verifier))) +
                  R"("}})");
  }
}

TEST_F(V1Client, CompletedPromptHandsOutTheVerifierOnceAndABlankCodeKeepsIt) {
  // "sdk" stands for the verifier the client's own start made.
  struct Case {
    std::optional<std::string> kept, sentByService, handedOut, keptAfter;  // handedOut absent: an error
  };
  const std::vector<Case> cases = {{"sdk", std::nullopt, std::nullopt, "sdk"},  // blank authCode
                                   {"sdk", std::nullopt, "sdk", std::nullopt},
                                   {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
                                   {"sdk", "v-server", "v-server", std::nullopt}};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    auto client = makeClient();
    std::optional<std::string> made;
    if (cases[i].kept) {
      peer.enqueue(V1Peer::answer("s-1", kSelectMethod));
      (void)startOnce(*client, "x", Flow::signin, std::nullopt);
      made = client->currentCodeVerifier();
      ASSERT_TRUE(made);
    }
    const auto actual = [&](const std::optional<std::string>& v) { return v == "sdk" ? made : v; };
    peer.enqueue(V1Peer::answer(
        "s-done",
        V1Peer::completedPrompt(i == 0 ? "  \n" : " ac-1 ", "2030-01-01T00:05:00Z", cases[i].sentByService)));
    const State state = pollOnce(*client);
    if (i == 0) {
      EXPECT_EQ(errorOf(state).code, "invalid_response");
      EXPECT_EQ(errorOf(state).message, "Completed prompt missing authCode (traceId: trace-1)");
    } else {
      EXPECT_EQ(state,
                (State::Completed{"s-done", "ac-1", "2030-01-01T00:05:00Z", actual(cases[i].handedOut)}));
    }
    EXPECT_EQ(client->currentCodeVerifier(), actual(cases[i].keptAfter));
  }
}

// No-break space, NEL, ideographic space and the line and paragraph separators are white
// space wherever the client trims, as the ASCII blanks are.
TEST_F(V1Client, UnicodeWhiteSpaceIsTrimmedFromKeysChallengesAndCodes) {
  const std::string nbsp = "\xC2\xA0", nel = "\xC2\x85", ideographic = "\xE3\x80\x80";
  const std::string lineSeparator = "\xE2\x80\xA8", paragraphSeparator = "\xE2\x80\xA9";

  const auto settings = testSettings(peer.baseURL());
  const auto byProject =
      VelqoV1ClientConfig::withProjectId(nbsp + "proj" + lineSeparator, ideographic, settings);
  EXPECT_EQ(byProject.configId(), "proj");
  EXPECT_EQ(byProject.projectId(), "proj");
  const auto byKey = VelqoV1ClientConfig::withProjectId("proj", nel + "key-1" + paragraphSeparator, settings);
  EXPECT_EQ(byKey.configId(), "key-1");
  EXPECT_EQ(byKey.projectId(), "key-1");

  // A blank challenge is no challenge: the client makes its own pair.
  auto client = makeClient();
  peer.enqueue(V1Peer::answer("s-1", kSelectMethod));
  StateRecorder started;
  startFlow(*client, Flow::signup, "alice", started.callback(), nel + paragraphSeparator + nbsp);
  ASSERT_TRUE(started.waitFor(1));
  const auto verifier = client->currentCodeVerifier();
  ASSERT_TRUE(verifier);
  EXPECT_EQ(envelope(peer.exchanges().back())["action"]["codeChallenge"],
            platform::base64UrlEncode(platform::crypto::sha256(platform::crypto::view(*verifier))));

  // A code of white space only is no code; a code is handed out without its white space.
  peer.enqueue(V1Peer::answer("s-done", V1Peer::completedPrompt(nbsp)));
  const State blank = pollOnce(*client);
  EXPECT_EQ(errorOf(blank).code, "invalid_response");
  EXPECT_EQ(errorOf(blank).message, "Completed prompt missing authCode (traceId: trace-1)");
  EXPECT_EQ(client->currentCodeVerifier(), verifier);
  peer.enqueue(V1Peer::answer("s-done", V1Peer::completedPrompt(ideographic + "ac-1" + lineSeparator + nel)));
  EXPECT_EQ(pollOnce(*client), (State::Completed{"s-done", "ac-1", "2030-01-01T00:05:00Z", verifier}));
}

TEST_F(V1Client, EachPromptBecomesItsStateAndSetsSessionAndPhase) {
  using P = VelqoV1Prompt::Case;
  struct Case {
    std::string prompt;
    P promptKind;
    std::string phaseAfter = "second";  // kept from the answer before when an answer sets none
  };
  const std::vector<Case> cases = {
      {R"({"type":"select_method","phase":" MFA ","methods":[]})", P::selectMethod, " mfa "},
      {R"({"type":"enter_code","destination":"a***@x","stepInfo":{"id":" Second ","label":"L"}})",
       P::enterCode, "second"},
      {R"({"type":"passkey_assertion"})", P::unknown},
      // No handler configured: the device-trust prompts pass on as prompts.
      {R"({"type":"setup_device","domain":"d","algorithm":"a","version":"1"})", P::setupDevice},
      {V1Peer::errorPrompt("invalid_code", "retry_input", "bad"), P::error},
  };
  auto client = makeClient();
  std::vector<State> hookStates;
  std::mutex hookMutex;
  client->setOnStateChange([&](const State& s) {
    std::lock_guard lock(hookMutex);
    hookStates.push_back(s);
  });
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].prompt);
    const auto& c = cases[i];
    const std::string sessionId = "s-" + std::to_string(i);
    peer.enqueue(V1Peer::answer(sessionId, c.prompt, 200, "tr-" + std::to_string(i)));
    const State state = pollOnce(*client);
    EXPECT_EQ(state.kind(), c.promptKind == P::error ? State::Case::error : State::Case::prompt);
    EXPECT_EQ(client->state(), state);
    EXPECT_EQ(client->session(), sessionId);
    EXPECT_EQ(client->currentPhase(), c.phaseAfter);
    if (const auto* prompt = state.as<State::Prompt>()) {
      EXPECT_EQ(prompt->prompt.kind(), c.promptKind);
      EXPECT_EQ(prompt->session, sessionId);
      EXPECT_EQ(prompt->meta.traceId, "tr-" + std::to_string(i));
    }
    std::lock_guard lock(hookMutex);
    ASSERT_EQ(hookStates.size(), 2 * (i + 1));
    EXPECT_EQ(hookStates[2 * i],
              State::loading(i == 0 ? std::nullopt : std::optional("s-" + std::to_string(i - 1))));
    EXPECT_EQ(hookStates[2 * i + 1], state);
  }
  EXPECT_EQ(errorOf(client->state()).action, VelqoV1ErrorAction::retryInput());
}

TEST_F(V1Client, ResendsFollowTheBoundTheBackoffAndTheNamedWait) {
  const auto busy = [](const char* sessionId) {
    return V1Peer::answer(sessionId,
                          V1Peer::errorPrompt("temporarily_unavailable", "retry_request", "busy", true));
  };
  const auto wait = [](const char* details) {
    return V1Peer::answer("s-w", V1Peer::errorPrompt("rate_limited", "wait", "slow down", true, details));
  };
  const char* waitZero = R"({"retry_after_seconds":0})";
  Reply tooSlow = V1Peer::answer("s-slow", kSelectMethod);
  tooSlow.delay = 3s;  // outlasts the request time-out: a transport error (never re-sent by the transport)
  struct Row {
    std::vector<Reply> answers;  // every later request is dropped
    std::int64_t maxAttempts;
    bool autoRetryWait;
    std::string code;                 // empty: the step ends in a prompt
    std::vector<double> minimumGaps;  // between consecutive requests; one request more than gaps
    double timeoutSeconds = 5;
  };
  const std::vector<Row> rows = {
      // Transport failures: re-sent with doubling delays while below the bound.
      {{}, 2, false, "transport_error", {0.05, 0.1}},
      {{}, 0, false, "transport_error", {}},
      // retry_request errors share the counter (and carry the latest session, below).
      {{busy("s-1"), busy("s-2"), busy("s-3")}, 2, false, "temporarily_unavailable", {0.05, 0.1}},
      // Wait errors: re-sent after the named delay beyond the bound, but they use up the
      // transport retry; reported when automatic waits are off or no delay is named.
      {{wait(R"({"retry_after_seconds":1})"), wait(waitZero), wait(R"({"retryAfterSeconds":0})"),
        V1Peer::answer("s-ok", kSelectMethod)},
       1,
       true,
       "",
       {1.0, 0, 0}},
      {{wait(waitZero), tooSlow}, 1, true, "transport_error", {0}, 0.5},
      {{wait(waitZero)}, 1, false, "rate_limited", {}},
      {{wait(R"({"retryAt":"soon"})")}, 1, true, "rate_limited", {}},
  };
  for (std::size_t r = 0; r < rows.size(); ++r) {
    SCOPED_TRACE(r);
    const Row& row = rows[r];
    localservice::LocalService fresh;
    V1Peer freshPeer(fresh);
    for (const auto& answer : row.answers) freshPeer.enqueue(answer);
    freshPeer.setFallback([](const V1Exchange&) { return Reply::drop(); });
    auto settings = testSettings(freshPeer.baseURL());
    settings.retryMaxAttempts = row.maxAttempts;
    settings.retryBaseDelaySeconds = 0.05;
    settings.autoRetryWait = row.autoRetryWait;
    settings.timeoutSeconds = row.timeoutSeconds;
    const State state = pollOnce(*makeClient(settings));
    EXPECT_EQ(state.kind(), row.code.empty() ? State::Case::prompt : State::Case::error);
    if (!row.code.empty()) {
      EXPECT_EQ(errorOf(state).code, row.code);
      EXPECT_TRUE(errorOf(state).retryable);
    }
    const auto exchanges = freshPeer.exchanges();
    ASSERT_EQ(exchanges.size(), row.minimumGaps.size() + 1);
    for (std::size_t i = 1; i < exchanges.size(); ++i) {
      EXPECT_GE(secondsBetween(exchanges[i - 1], exchanges[i]), row.minimumGaps[i - 1]) << i;
      if (row.answers.empty()) {
        EXPECT_EQ(exchanges[i].request.body, exchanges[0].request.body);
      }
    }
    if (r == 2) {
      EXPECT_EQ(errorOf(state).session, "s-3");
      EXPECT_EQ(errorOf(state).message, "busy Retry this step. (traceId: trace-1)");
      EXPECT_FALSE(envelope(exchanges[0]).contains("session"));
      EXPECT_EQ(envelope(exchanges[2])["session"], "s-2");
    }
    if (row.code == "transport_error") {
      EXPECT_EQ(errorOf(state).message,
                "Network request failed. Check connectivity and retry. (traceId: unavailable)");
    }
  }
}

TEST_F(V1Client, BodiesAreDecodedWhateverTheStatusAndUndecodableOnesAreHttpErrors) {
  struct Case {
    const char* name;
    Reply reply;
    std::string code;
    std::string message;
  };
  const std::string generic =
      "Request failed. Retry, and if it persists contact support. (traceId: unavailable)";
  const std::vector<Case> cases = {
      {"500 with an error prompt",
       V1Peer::answer("s-5", V1Peer::errorPrompt("internal_error", "abort", "x"), 500), "internal_error",
       "Authentication could not be completed due to an internal error. Retry this step. (traceId: trace-1)"},
      {"200 text naming 404 within the first 320 characters",
       Reply::json(200, "<html>" + std::string(300, 'a') + " 404 " + std::string(100, 'b')), "http_error",
       "Requested authentication resource was not found for this environment. (traceId: unavailable)"},
      {"200 text naming 404 only after the cut", Reply::json(200, std::string(330, 'a') + " 404"),
       "http_error", generic},
      {"401 with a detail", Reply::json(401, R"({"detail":"bad config"})"), "http_error",
       "Request was unauthorized. Confirm `x-config-id` is valid for this environment. (traceId: "
       "unavailable)"},
      {"JSON that is no V1 answer", Reply::json(200, R"({"message":"hello"})"), "http_error", generic},
      {"empty 503", Reply::empty(503), "http_error", generic},
  };
  auto client = makeClient();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    peer.enqueue(c.reply);
    const State state = pollOnce(*client);
    EXPECT_EQ(errorOf(state).code, c.code);
    EXPECT_EQ(errorOf(state).message, c.message);
    EXPECT_FALSE(errorOf(state).retryable);
  }
  EXPECT_EQ(client->session(), "s-5");  // kept from the last decoded answer
}

TEST_F(V1Client, ClearCodesCallTheInvalidatorWithTheCurrentIdentifierEvenWhenResent) {
  struct Case {
    const char* name;
    std::string code;
    bool startFirst;
    std::size_t expectedCalls;
  };
  const std::vector<Case> cases = {
      {"clear code, re-sent then reported", "device_not_found", true, 2},
      {"case differs", "DEVICE_NOT_FOUND", true, 0},
      {"no current identifier", "info_mismatch", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::mutex mutex;
    std::vector<std::string> invalidated;
    auto settings = testSettings(peer.baseURL());
    settings.retryMaxAttempts = 1;
    settings.deviceCredentialsInvalidator = [&](const std::string& id) {
      std::lock_guard lock(mutex);
      invalidated.push_back(id);
    };
    auto client = makeClient(settings);
    if (c.startFirst) {
      peer.enqueue(V1Peer::answer("s-1", kSelectMethod));
      (void)startOnce(*client, " Bob ", Flow::signin, std::nullopt);
    }
    peer.enqueue(V1Peer::answer("s-2", V1Peer::errorPrompt(c.code, "retry_request", "no device", true)));
    peer.enqueue(V1Peer::answer("s-3", V1Peer::errorPrompt(c.code, "restart_flow", "no device")));
    EXPECT_EQ(errorOf(pollOnce(*client)).code, c.code);
    std::lock_guard lock(mutex);
    EXPECT_EQ(invalidated, std::vector<std::string>(c.expectedCalls, " Bob "));
  }
}

TEST_F(V1Client, DeviceTrustPromptsAreAnsweredThroughTheHandlerAndTheFollowUpSentAtOnce) {
  auto client = makeClient(std::make_shared<InMemoryDeviceTrust>());
  std::atomic<int> hookCalls{0};
  client->setOnStateChange([&](const State&) { ++hookCalls; });
  peer.enqueue(V1Peer::answer(
      "s-1",
      R"({"type":"setup_device","domain":"auth.test","algorithm":"ECDH P-256+Ed25519","version":"1"})"));
  peer.enqueue(V1Peer::answer(
      "s-2",
      R"({"type":"device_challenge","challenge":"Y2g=","keyId":"k-1","algorithm":"a","domain":"auth.test","combinedsalt":"c"})"));
  peer.enqueue(V1Peer::answer("s-3", V1Peer::completedPrompt("ac-9")));
  StateRecorder done;
  startFlow(*client, Flow::signup, "carol", done.callback(), "chal");
  EXPECT_EQ(done.single().as<State::Completed>()->authCode, "ac-9");
  EXPECT_EQ(hookCalls.load(), 4);  // three loading states and the completed one

  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 3u);
  EXPECT_EQ(exchanges[1].request.body,
            R"({"protocolVersion":2,"session":"s-1","action":{"type":"request_challenge",)"
            R"("keyset":"keyset:carol@auth.test","hindex":"hindex:carol","sk2":"sk2:carol"}})");
  EXPECT_EQ(exchanges[2].request.body,
            R"({"protocolVersion":2,"session":"s-2","action":{"type":"submit_signature",)"
            R"x("keyId":"k-1","signature":"sig(Y2g=|auth.test)","mapp":"mapp:carol"}})x");
  EXPECT_EQ(exchanges[2].request.header("x-unique"), sha256Hex("carol"));
}

TEST_F(V1Client, HandlerFailuresEndTheStepAndClearTheRecordOnlyWhenTheErrorSaysSo) {
  struct Case {
    const char* name;
    std::function<void()> thrower;
    std::string code;
    bool cleared;
  };
  const std::vector<Case> cases = {
      {"crypto error that clears", [] { throw VelqoV1DeviceCryptoError::deviceNotFound(); },
       "device_not_found", true},
      {"crypto error that keeps",
       [] { throw VelqoV1DeviceCryptoError("device_not_found", "Device record not found", false); },
       "device_not_found", false},
      {"any other error", [] { throw std::runtime_error("boom"); }, "device_crypto_error", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto handler = std::make_shared<InMemoryDeviceTrust>();
    handler->store("dave", {"ks", "hi", "sk"});
    handler->failNextChallenge(c.thrower);
    auto client = makeClient(handler);
    peer.enqueue(V1Peer::answer("s-c", kDeviceChallengePrompt));
    const State state = startOnce(*client, "dave");
    EXPECT_EQ(errorOf(state).code, c.code);
    EXPECT_EQ(errorOf(state).message,
              "Device trust could not be completed on this device. Restart sign-in to re-enroll this device. "
              "(traceId: trace-1)");
    EXPECT_EQ(errorOf(state).session, "s-c");
    EXPECT_EQ(handler->hasRecord("dave"), !c.cleared);
    EXPECT_EQ(handler->clearedFor(),
              c.cleared ? std::vector<std::string>{"dave"} : std::vector<std::string>{});
  }

  // After a reset there is no current identifier: the prompt passes on unanswered.
  auto client = makeClient(std::make_shared<InMemoryDeviceTrust>());
  peer.enqueue(V1Peer::answer("s-0", kSelectMethod));
  (void)startOnce(*client, "dave");
  client->reset();
  peer.enqueue(
      V1Peer::answer("s-r", R"({"type":"setup_device","domain":"d","algorithm":"a","version":"1"})"));
  EXPECT_EQ(pollOnce(*client).as<State::Prompt>()->prompt.kind(), VelqoV1Prompt::Case::setupDevice);
}

TEST_F(V1Client, ResetDuringARequestIsIdleAtOnceAndTheLateAnswerReplacesIt) {
  Reply slow = V1Peer::answer("s-late", kSelectMethod);
  slow.delay = 300ms;
  peer.enqueue(slow);
  auto client = makeClient();
  std::atomic<int> idleHooks{0};
  client->setOnStateChange([&](const State& s) { idleHooks += s.kind() == State::Case::idle ? 1 : 0; });
  StateRecorder done;
  startFlow(*client, Flow::signin, "erin", done.callback());
  client->reset();
  EXPECT_EQ(client->state(), State::idle());
  EXPECT_EQ(idleHooks.load(), 1);
  EXPECT_FALSE(client->currentIdentifier());
  EXPECT_FALSE(client->currentCodeVerifier());
  EXPECT_FALSE(client->currentPhase());
  EXPECT_EQ(done.single().kind(), State::Case::prompt);
  EXPECT_EQ(client->state().kind(), State::Case::prompt);
  EXPECT_EQ(client->session(), "s-late");
}

TEST_F(V1Client, AReleasedClientsLateAnswerAndScheduledResendCallNothing) {
  for (bool resendPending : {false, true}) {
    SCOPED_TRACE(resendPending);
    Reply slow = resendPending ? V1Peer::answer("s", V1Peer::errorPrompt("busy", "retry_request", "b", true))
                               : V1Peer::answer("s", kSelectMethod);
    if (!resendPending) slow.delay = 200ms;
    peer.enqueue(slow);
    auto settings = testSettings(peer.baseURL());
    settings.retryBaseDelaySeconds = 0.2;
    auto client = makeClient(settings);
    std::atomic<int> hookCalls{0};
    client->setOnStateChange([&](const State&) { ++hookCalls; });
    StateRecorder done;
    const std::size_t before = peer.requestCount();
    client->poll(done.callback());
    std::weak_ptr<VelqoProtocolV1Client> weak = client;
    if (resendPending) {
      ASSERT_TRUE(peer.waitForRequests(before + 1, kWaitBound));
    }
    std::this_thread::sleep_for(50ms);  // the retry answer has been handled: a re-send waits
    client.reset();
    std::this_thread::sleep_for(500ms);
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(done.results().empty());
    EXPECT_EQ(hookCalls.load(), 1);  // the loading state only
    EXPECT_EQ(peer.requestCount(), before + 1);
  }
}

TEST(V1ClientWire, HeadersAreExactAndInOrderAndXUniqueFollowsTheIdentifier) {
  localservice::LocalService server;
  server.setRawResponder([](const std::string&) {
    return localservice::RawReply{
        localservice::LocalService::rawResponse("200 OK", {{"Content-Type", "application/json"}},
                                                V1Peer::response("s-1", R"({"type":"enter_totp"})"))};
  });
  auto session = platform::HttpSession::create();
  const auto headersOf = [](const std::string& request) {
    std::vector<std::string> lines;
    std::istringstream in(request.substr(0, request.find("\r\n\r\n")));
    std::string line;
    std::getline(in, line);  // request line
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("Host:", 0) == 0 || line.rfind("Content-Length:", 0) == 0) continue;
      lines.push_back(line);
    }
    return lines;
  };
  struct Case {
    const char* name;
    std::optional<std::string> relyingParty;
    std::string identifier;
    std::optional<std::string> unique;
  };
  const std::vector<Case> cases = {
      {"relying party, mixed-case identifier", "rp.test", "  Alice@Example.COM\n",
       sha256Hex("alice@example.com")},
      {"empty relying party, blank identifier", "", " \t ", std::nullopt},
      {"no relying party", std::nullopt, "bob", sha256Hex("bob")},
      {"non-ASCII identifier, trailing no-break space", "rp.test", "\xC3\x89LODIE@example.com\xC2\xA0",
       sha256Hex("\xC3\xA9lodie@example.com")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto settings = testSettings(server.baseUrl() + "/base/v1/");
    settings.relyingParty = c.relyingParty;
    auto client = VelqoProtocolV1Client::create(
        VelqoV1ClientConfig::withProjectId(" proj ", " key-1\n", settings), session);
    for (int step = 0; step < 2; ++step) {  // the start, then a step that uses the current identifier
      StateRecorder done;
      if (step == 0) {
        startFlow(*client, Flow::signin, c.identifier, done.callback(), "x");
      } else {
        client->submitTotp("123456", done.callback());
      }
      ASSERT_EQ(done.single().kind(), State::Case::prompt);
      const std::string request = server.rawRequests().back();
      EXPECT_EQ(request.rfind("POST /base/v1/auth HTTP/1.1\r\n", 0), 0u);
      std::vector<std::string> expected = {"Content-Type: application/json", "Accept: application/json",
                                           "X-Config-Id: key-1"};
      if (c.unique) expected.push_back("x-unique: " + *c.unique);
      expected.insert(expected.end(), {"X-Velqo-SDK: @velqo/test", "x-Velqo-iosSdk-Version: 9.8.7",
                                       "X-Velqo-Platform: ios", "X-Velqo-Protocol-Version: 2"});
      if (c.relyingParty) {
        expected.push_back("X-Relying-Party:" + (c.relyingParty->empty() ? "" : " " + *c.relyingParty));
      }
      EXPECT_EQ(headersOf(request), expected);
    }
    // After a reset a step has no identifier, so no x-unique header.
    client->reset();
    StateRecorder done;
    client->poll(done.callback());
    ASSERT_TRUE(done.waitFor(1));
    EXPECT_EQ(server.rawRequests().back().find("x-unique"), std::string::npos);
  }
}

TEST_F(V1Client, EventLinesOfAScriptedFlow) {
  LineCapture capture;
  peer.enqueue(V1Peer::answer("s-1", R"({"type":"select_method","methods":[],"channel":"email",
      "stepInfo":{"id":"Primary","label":"Verify"},"risk":{"detected":true,"reasons":[]}})"));
  Reply html = V1Peer::answer("s-1", "{}", 502);
  html.body = "<html>bad gateway</html>";
  peer.enqueue(html);
  peer.enqueue(V1Peer::answer("s-2", V1Peer::errorPrompt("rate_limited", "wait", "Slow down", true,
                                                         R"({"retryAt":"2030-01-01T00:00:00Z"})")));
  auto client = makeClient();
  (void)startOnce(*client, " Alice ");
  StateRecorder submitted;
  client->submitCode("123456", submitted.callback());
  EXPECT_EQ(errorOf(submitted.single()).code, "http_error");
  EXPECT_EQ(errorOf(pollOnce(*client)).code, "rate_limited");

  const std::string send = "[V1] request_send action=";
  const std::string where = " baseURL=" + client->config().baseURL() + " hasConfigId=true phase=primary";
  const std::vector<std::string> expected = {
      "[V1] start_prepared flowType=signup hasDeviceCredentials=false identifierHash=" +
          sha256Hex("alice").substr(0, 12) + " phase=primary pkceMode=caller_supplied_or_none",
      send + "start attempt=0" + where,
      "[V1] response_received codeChannel=email phase=primary prompt=select_method riskDetected=yes "
      "session=s-1 step=Verify traceId=trace-1",
      send + "submit_code attempt=0" + where + " session=s-1",
      "[V1] response_http_error action=submit_code attempt=0 phase=primary session=s-1 statusCode=502",
      send + "poll attempt=0" + where + " session=s-1",
      "[V1] response_received phase=primary prompt=error riskDetected=no session=s-2 traceId=trace-1",
      "[V1] prompt_error_received action=wait errorCode=rate_limited phase=primary "
      "retryAt=2030-01-01T00:00:00Z retryable=true session=s-2 traceId=trace-1",
  };
  std::vector<std::string> lines = capture.lines();  // the wire lines are checked elsewhere
  std::erase_if(lines, [](const std::string& line) { return !line.starts_with("[V1] "); });
  EXPECT_EQ(lines, expected);
}

}  // namespace
}  // namespace velqo::testing
