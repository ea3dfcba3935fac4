// Push login through VelqoSDK over real HTTP: push-token registration once per token and user,
// login requests fetched to the delegate, approve and decline each on its own route (velqo-cli's
// account tests prove them end to end too).

#include <algorithm>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "account/facade_test_support.hpp"
#include "platform/platform_test_support.hpp"
#include "velqo/core/debug_sink.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";
const std::string kBob = "bob@example.com";
const Bytes kToken{0x0A, 0xFF};

// Counts the debug lines saying that a registration answer was dropped because a clear came
// after its request; the sink is reset when it goes. Lines may come from the transport's thread.
class DroppedAnswerLines {
 public:
  DroppedAnswerLines() {
    setDebugSink([this](std::string_view line) {
      std::lock_guard lock(mutex_);
      if (line == "[VelqoSDK] Dropping a push registration answer that predates a clear.") ++count_;
    });
  }
  ~DroppedAnswerLines() { setDebugSink({}); }
  DroppedAnswerLines(const DroppedAnswerLines&) = delete;
  DroppedAnswerLines& operator=(const DroppedAnswerLines&) = delete;

  long count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  long count_ = 0;
};

class PushLoginTest : public FacadeTest {
 protected:
  void awaitRegistered(const std::string& user, const std::string& hex) {
    ASSERT_TRUE(runUntil([&] { return registeredToken(user) == hex; }));
  }
  /// After every earlier request arrived, the service accepted exactly `count` registrations.
  void expectRegistrations(std::size_t count) {
    settle();
    EXPECT_EQ(push.registrations().size(), count);
  }
  std::size_t attempts() {
    auto all = service.requests();
    return std::count_if(all.begin(), all.end(),
                         [](const auto& r) { return r.path == "/v4/push/register-token"; });
  }
  // Two rounds, one for each clear: a registration's answer that arrives after `clears[round]`
  // records nothing, and the next session gets the token registered again.
  void expectAnswersAfterAClearRecordNothing(const std::function<void()> (&clears)[2]) {
    const DroppedAnswerLines droppedLines;
    for (std::uint8_t round = 0; round < 2; ++round) {
      SCOPED_TRACE(round);
      signInThroughBackend(kAda);
      const auto sent = push.registrations().size();
      const std::string hex = round == 0 ? "01" : "02";
      sdk->setAPNsDeviceToken({static_cast<std::uint8_t>(round + 1)});
      // Waits without driving the main queue: the answer stays queued until the clear is done.
      ASSERT_TRUE(eventually([&] { return push.registrations().size() == sent + 1; }));
      const auto droppedBefore = droppedLines.count();
      clears[round]();
      ASSERT_TRUE(runUntil([&] { return droppedLines.count() > droppedBefore || registeredToken(kAda); }));
      EXPECT_FALSE(registeredToken(kAda));
      signInThroughBackend(kAda);
      awaitRegistered(kAda, hex);
      EXPECT_EQ(push.registrations().size(), sent + 2);
    }
  }
};

TEST_F(PushLoginTest, RegistersEachTokenOncePerUserAndRetriesAfterAFailure) {
  // Before any sign-in the token is only kept; the sign-in registers it.
  sdk->setAPNsDeviceToken(kToken);
  expectRegistrations(0);
  defaults->setString("velqo_sdk_last_registered_apns_token", "old");
  signIn(kAda);
  awaitRegistered(kAda, "0aff");
  const auto first = push.registrations().at(0);
  EXPECT_EQ(first.userid, kAda);
  EXPECT_EQ(first.pushToken, "0aff");
  EXPECT_EQ(first.deviceFingerprint.size(), 64u);
  EXPECT_FALSE(defaults->string("velqo_sdk_last_registered_apns_token"));

  sdk->setAPNsDeviceToken(kToken);
  expectRegistrations(1);

  // A registration the service refuses records nothing, so the same token goes out again.
  push.enqueueRegistrationReply(localservice::Reply::json(503, R"({"success":false})"));
  sdk->setAPNsDeviceToken({0x01});
  ASSERT_TRUE(runUntil([&] { return attempts() == 2; }));
  expectRegistrations(1);
  EXPECT_EQ(registeredToken(kAda), "0aff");
  sdk->setAPNsDeviceToken({0x01});
  awaitRegistered(kAda, "01");

  // Another user registers the same token for itself.
  signIn(kBob);
  awaitRegistered(kBob, "01");
  EXPECT_EQ(push.registrations().at(2).userid, kBob);

  // Signing the first user in again loads its record: unchanged, nothing is sent.
  signInThroughBackend(kAda);
  expectRegistrations(3);
}

TEST_F(PushLoginTest, FetchesTheLoginRequestOfAPayloadToTheDelegate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  sdk->setPushAuthDelegate(delegate);
  signIn(kAda);
  const std::string id = push.raiseLoginRequest(kAda, {"198.51.100.4", "Lyon, FR", "Safari on macOS", "t1"});
  auto payload =
      VelqoPushPayload::fromJSONText(R"({"aps":{"alert":"Sign in?"},"request_id":")" + id + R"("})");
  ASSERT_TRUE(payload);
  EXPECT_TRUE(sdk->handlePushNotification(*payload));
  ASSERT_TRUE(runUntil([&] { return delegate->calls() == 1; }));
  ASSERT_EQ(delegate->received.size(), 1u);
  EXPECT_EQ(delegate->received[0].first, id);
  EXPECT_EQ(delegate->received[0].second,
            (PushLoginRequestDetails{id, "198.51.100.4", "Lyon, FR", "Safari on macOS", "t1"}));

  // Another user's request is not found: the service's detail reaches the delegate.
  const auto payloadOf = [](const std::string& requestId) {
    return VelqoPushPayload({{"request_id", VelqoPushValue::string(requestId)}});
  };
  EXPECT_TRUE(sdk->handlePushNotification(payloadOf(push.raiseLoginRequest(kBob))));
  ASSERT_TRUE(runUntil([&] { return delegate->calls() == 2; }));
  ASSERT_EQ(delegate->failures.size(), 1u);
  EXPECT_EQ(delegate->failures[0], platform::PlatformError("APIError", 404, "Login request not found"));

  for (const char* text : {R"({"request_id":42})", R"({"aps":{}})", R"({"request_id":null})"}) {
    EXPECT_FALSE(sdk->handlePushNotification(*VelqoPushPayload::fromJSONText(text))) << text;
  }

  // Signed out: the failures come before the calls return, and nothing is sent.
  sdk->clearSessionTokens(kAda);
  EXPECT_TRUE(sdk->handlePushNotification(payloadOf(id)));
  ASSERT_EQ(delegate->failures.size(), 2u);
  const platform::PlatformError signedOut("VelqoSDK", 401, "User not authenticated.");
  EXPECT_EQ(delegate->failures[1], signedOut);
  std::optional<platform::PlatformError> refused;
  sdk->approveLoginRequest(id, [&](const auto& error) { refused = error; });
  EXPECT_EQ(refused, signedOut);
  EXPECT_EQ(push.decision(id), localservice::PushPeer::Decision::pending);
}

TEST_F(PushLoginTest, ApproveAndDeclineReachTheirOwnRoutes) {
  signInThroughBackend(kAda);
  const std::string toApprove = push.raiseLoginRequest(kAda);
  const std::string toDecline = push.raiseLoginRequest(kAda);
  // The completion's error, once it has come.
  const auto answer = [&](const std::string& id, bool approve) {
    std::optional<std::optional<platform::PlatformError>> outcome;
    auto done = [&](const std::optional<platform::PlatformError>& error) { outcome = error; };
    if (approve)
      sdk->approveLoginRequest(id, done);
    else
      sdk->declineLoginRequest(id, done);
    EXPECT_TRUE(runUntil([&] { return outcome.has_value(); }));
    return outcome.value_or(platform::PlatformError("test", -1, "no completion"));
  };
  using Decision = localservice::PushPeer::Decision;
  EXPECT_EQ(answer(toDecline, false), std::nullopt);
  EXPECT_EQ(push.decision(toDecline), Decision::declined);
  EXPECT_EQ(push.decision(toApprove), Decision::pending);
  EXPECT_EQ(answer(toApprove, true), std::nullopt);
  EXPECT_EQ(push.decision(toApprove), Decision::approved);

  std::vector<std::string> pushPaths;
  for (const auto& request : service.requests()) {
    if (request.path.starts_with("/v4/push/")) pushPaths.push_back(request.path);
  }
  EXPECT_EQ(pushPaths,
            (std::vector<std::string>{"/v4/push/decline-login-request", "/v4/push/approve-login-request"}));
}

TEST_F(PushLoginTest, TheDelegateGetsThePayloadsRequestId) {
  auto delegate = std::make_shared<RecordingDelegate>();
  sdk->setPushAuthDelegate(delegate);
  signInThroughBackend(kAda);
  // The service answers with another id than the one asked for.
  service.route("POST", "/v4/push/login-request-details",
                localservice::Reply::json(200, R"({"success":true,"data":{"request_id":"service-id",)"
                                               R"("ip_address":"198.51.100.4","browser":"Safari",)"
                                               R"("timestamp":"t1"}})"));
  EXPECT_TRUE(
      sdk->handlePushNotification(VelqoPushPayload({{"request_id", VelqoPushValue::string("payload-id")}})));
  ASSERT_TRUE(runUntil([&] { return delegate->calls() == 1; }));
  ASSERT_EQ(delegate->received.size(), 1u);
  EXPECT_EQ(delegate->received[0].first, "payload-id");
  EXPECT_EQ(delegate->received[0].second.requestId, "service-id");
}

TEST_F(PushLoginTest, ALateAnswerForAnotherUserDoesNotMarkTheTokenRegistered) {
  // Waits without driving the main queue, so answers stay queued until the test lets them run.
  signInThroughBackend(kAda);
  sdk->setAPNsDeviceToken(kToken);
  ASSERT_TRUE(eventually([&] { return push.registrations().size() == 1; }));
  // Bob signs in while Ada's answer is still queued; Bob's own registration is refused.
  push.enqueueRegistrationReply(localservice::Reply::json(503, R"({"success":false})"));
  signInThroughBackend(kBob);
  ASSERT_TRUE(eventually([&] { return attempts() == 2; }));
  awaitRegistered(kAda, "0aff");
  EXPECT_FALSE(registeredToken(kBob));
  // Bob's token is not registered yet, so handing it over again sends it.
  sdk->setAPNsDeviceToken(kToken);
  awaitRegistered(kBob, "0aff");
}

TEST_F(PushLoginTest, AnAnswerThatArrivesAfterAClearRecordsNothing) {
  const std::function<void()> clears[] = {[&] { sdk->clearSessionTokens(kAda); },
                                          [&] { sdk->clearUserKeychainData(kAda); }};
  expectAnswersAfterAClearRecordNothing(clears);
}

// Another facade of the host (another part of it, or another process) clears while this one's
// registration is under way: the answer records nothing, and the next session registers again.
TEST_F(PushLoginTest, AnAnswerThatPredatesAnotherFacadesClearRecordsNothing) {
  const auto other = VelqoSDK::create("proj-key-123456", service.baseUrl());
  const std::function<void()> clears[] = {[&] { other->clearSessionTokens(kAda); },
                                          [&] { other->clearUserKeychainData(kAda); }};
  expectAnswersAfterAClearRecordNothing(clears);
}

TEST_F(PushLoginTest, RequestsThatCannotBeSentStillAnswerOnTheMainQueue) {
  sdk = VelqoSDK::create("proj-key-123456", "velqo-unparsable%zz");
  ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(kAda), std::nullopt, kAda));
  auto delegate = std::make_shared<RecordingDelegate>();
  sdk->setPushAuthDelegate(delegate);
  std::vector<std::pair<std::optional<platform::PlatformError>, bool>> results;
  auto record = [&](const std::optional<platform::PlatformError>& error) {
    results.emplace_back(error, platform::mainQueue().isCurrent());
  };
  sdk->approveLoginRequest("r1", record);
  sdk->declineLoginRequest("r2", record);
  EXPECT_TRUE(sdk->handlePushNotification(VelqoPushPayload({{"request_id", VelqoPushValue::string("r3")}})));
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(delegate->calls(), 0u);
  ASSERT_TRUE(runUntil([&] { return results.size() == 2 && delegate->calls() == 1; }));
  for (const auto& [error, onMain] : results) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "NetworkError");
    EXPECT_EQ(error->localizedDescription(), "Invalid URL provided");
    EXPECT_TRUE(onMain);
  }
  ASSERT_EQ(delegate->failures.size(), 1u);
  EXPECT_EQ(delegate->failures[0].domain(), "NetworkError");
  EXPECT_EQ(service.requests().size(), 0u);
}

TEST(PushPayloadTest, ReadsJsonObjectsOnly) {
  auto payload = VelqoPushPayload::fromJSONText(R"({"b":[1,true,null],"a":{"x":"y"},"n":2.5})");
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload->find("n")->numberValue(), 2.5);
  EXPECT_EQ(*payload->find("a")->objectValue()->at(0).second.stringValue(), "y");
  EXPECT_EQ(*payload->find("b")->arrayValue(),
            (VelqoPushValue::Array{VelqoPushValue::number(1), VelqoPushValue::boolean(true), {}}));
  for (const char* bad : {"[]", "\"text\"", "{", "{\"a\":1}x", ""}) {
    EXPECT_FALSE(VelqoPushPayload::fromJSONText(bad)) << bad;
  }
}

}  // namespace
}  // namespace velqo::testing
