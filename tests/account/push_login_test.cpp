// Push login through VelqoSDK over real HTTP: push-token registration once per token and user,
// login requests fetched to the delegate, approve and decline.

#include <algorithm>

#include "account/facade_test_support.hpp"

namespace velqo::testing {
namespace {

const std::string kAda = "ada@example.com";
const std::string kBob = "bob@example.com";
const Bytes kToken{0x0A, 0xFF};

class PushLoginTest : public FacadeTest {
 protected:
  std::vector<localservice::PushPeer::Registration> registrations() { return push.registrations(); }

  /// Waits until the facade has recorded `hex` as registered for `user`.
  void awaitRecorded(const std::string& user, const std::string& hex) {
    ASSERT_TRUE(runUntil([&] { return storedToken(user) == hex; }));
  }
  /// Checks that no further registration went out: a request sent after any registration
  /// would have been has completed, and the service has seen exactly `count`.
  void expectRegistrations(std::size_t count) {
    bool done = false;
    sdk->declineLoginRequest("flush", [&](const auto&) { done = true; });
    ASSERT_TRUE(runUntil([&] { return done; }));
    EXPECT_EQ(registrations().size(), count);
  }

  std::size_t attempts() {
    auto all = service.requests();
    return std::count_if(all.begin(), all.end(),
                         [](const auto& r) { return r.path == "/v4/push/register-token"; });
  }

  std::optional<std::string> storedToken(const std::string& user) {
    return defaults->string("velqo_sdk_last_registered_apns_token_" + user);
  }
};

TEST_F(PushLoginTest, RegistersEachTokenOncePerUserAndRetriesAfterAFailure) {
  // Before any sign-in the token is only kept; the sign-in registers it.
  sdk->setAPNsDeviceToken(kToken);
  expectRegistrations(0);
  defaults->setString("velqo_sdk_last_registered_apns_token", "old");
  signIn(kAda);
  awaitRecorded(kAda, "0aff");
  auto first = registrations().at(0);
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
  EXPECT_EQ(storedToken(kAda), "0aff");
  sdk->setAPNsDeviceToken({0x01});
  awaitRecorded(kAda, "01");
  EXPECT_EQ(registrations().at(1).pushToken, "01");

  // Another user registers the same token for itself.
  signIn(kBob);
  awaitRecorded(kBob, "01");
  EXPECT_EQ(registrations().at(2).userid, kBob);

  // Signing the first user in again loads its record: unchanged, nothing is sent.
  ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(kAda), std::nullopt, kAda));
  sdk->userDidAuthenticate();
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
  const std::string foreign = push.raiseLoginRequest(kBob);
  EXPECT_TRUE(
      sdk->handlePushNotification(VelqoPushPayload({{"request_id", VelqoPushValue::string(foreign)}})));
  ASSERT_TRUE(runUntil([&] { return delegate->calls() == 2; }));
  ASSERT_EQ(delegate->failures.size(), 1u);
  EXPECT_EQ(delegate->failures[0], platform::PlatformError("APIError", 404, "Login request not found"));

  // Payloads without a text request id are not login requests.
  for (const char* text : {R"({"request_id":42})", R"({"aps":{}})", R"({"request_id":null})"}) {
    EXPECT_FALSE(sdk->handlePushNotification(*VelqoPushPayload::fromJSONText(text))) << text;
  }

  // Signed out: the failure comes before the call returns.
  sdk->clearSessionTokens(kAda);
  EXPECT_TRUE(sdk->handlePushNotification(VelqoPushPayload({{"request_id", VelqoPushValue::string(id)}})));
  ASSERT_EQ(delegate->failures.size(), 2u);
  EXPECT_EQ(delegate->failures[1], platform::PlatformError("VelqoSDK", 401, "User not authenticated."));
}

TEST_F(PushLoginTest, ApprovesAndDeclinesLoginRequests) {
  signIn(kAda);
  const std::string approved = push.raiseLoginRequest(kAda);
  const std::string declined = push.raiseLoginRequest(kAda);
  std::vector<std::optional<platform::PlatformError>> results;
  auto record = [&](const std::optional<platform::PlatformError>& error) { results.push_back(error); };

  // One at a time: answers of parallel requests may come in any order.
  auto act = [&](bool approve, const std::string& id) {
    const auto before = results.size();
    approve ? sdk->approveLoginRequest(id, record) : sdk->declineLoginRequest(id, record);
    ASSERT_TRUE(runUntil([&] { return results.size() == before + 1; }));
  };
  act(true, approved);
  act(false, declined);
  act(true, approved);  // already answered: 409 with a decodable body
  EXPECT_EQ(results[0], std::nullopt);
  EXPECT_EQ(results[1], std::nullopt);
  EXPECT_EQ(results[2], platform::PlatformError("VelqoSDK", 409, "Action failed."));
  EXPECT_EQ(push.decision(approved), localservice::PushPeer::Decision::approved);
  EXPECT_EQ(push.decision(declined), localservice::PushPeer::Decision::declined);

  // Without a stored access token the completion runs before the call returns.
  const std::string pending = push.raiseLoginRequest(kAda);
  sdk->clearSessionTokens(kAda);
  const auto before = service.requestCount();
  sdk->approveLoginRequest(pending, record);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[3], platform::PlatformError("VelqoSDK", 401, "User not authenticated."));
  EXPECT_EQ(service.requestCount(), before);
  EXPECT_EQ(push.decision(pending), localservice::PushPeer::Decision::pending);
}

TEST(PushPayloadTest, ReadsJsonObjectsOnly) {
  auto payload = VelqoPushPayload::fromJSONText(R"({"b":[1,true,null],"a":{"x":"y"},"n":2.5})");
  ASSERT_TRUE(payload);
  EXPECT_EQ(*payload->find("n")->numberValue(), 2.5);
  EXPECT_EQ(*payload->find("a")->objectValue()->at(0).second.stringValue(), "y");
  const auto& items = *payload->find("b")->arrayValue();
  EXPECT_EQ(items, (VelqoPushValue::Array{VelqoPushValue::number(1), VelqoPushValue::boolean(true), {}}));
  for (const char* bad : {"[]", "\"text\"", "{", "{\"a\":1}x", ""})
    EXPECT_FALSE(VelqoPushPayload::fromJSONText(bad)) << bad;
  EXPECT_FALSE(VelqoPushPayload::fromJSONText(std::string(300, '[') + std::string(300, ']')));
}

}  // namespace
}  // namespace velqo::testing
