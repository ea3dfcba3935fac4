// The V4 engine end to end over real HTTP against the loopback reference service, whose V4
// peer runs the Paillier side for real (fresh keys per device, M2 checked at verify-cipher).

#include <gtest/gtest.h>

#include <functional>
#include <future>

#include "account/records/last_user_record.hpp"
#include "account/v4_test_support.hpp"
#include "core/storage/keychain_manager.hpp"
#include "core/transport/json_codec.hpp"
#include "support/wait_bound.hpp"
#include "v1/flows/line_capture.hpp"

namespace velqo::testing {
namespace {

using localservice::Reply;
using Code = AuthV4ErrorCode;

std::vector<json::Value> requestsTo(const localservice::LocalService& service, const std::string& path) {
  std::vector<json::Value> out;
  for (auto& r : service.requests())
    if (r.path == path) out.push_back(json::Value::parse(r.body));
  return out;
}

// Every diagnostic line caught so far, one per line, to look for values that must not appear.
std::string joined(const LineCapture& capture) {
  std::string all;
  for (const auto& line : capture.lines()) all += line + "\n";
  return all;
}

// One attempt to its first callback.
CallbackEvent attemptOn(VelqoAuthV4& engine, const std::string& user) {
  auto callback = std::make_shared<RecordingCallback>();
  engine.authenticate(user, callback);
  EXPECT_TRUE(callback->waitFor(1));
  return callback->last();
}

class V4EngineTest : public ::testing::Test {
 protected:
  V4Rig rig;
  std::shared_ptr<VelqoAuthV4> engine = rig.engine();

  CallbackEvent attempt(const std::string& user) { return attemptOn(*engine, user); }
};

TEST_F(V4EngineTest, AuthorizationCodesAreRedeemedAndVerified) {
  auto s = localservice::V4Peer::Settings{};
  s.registrationIssuesCode = true;
  rig.peer.setSettings(s);
  LineCapture capture;
  const auto redeemed = rig.registration(*engine, "bob");
  EXPECT_EQ(redeemed.kind, "success") << redeemed.second;
  EXPECT_TRUE(
      capture.has("[VelqoAuthV4] Redeeming authorization code at OAuth endpoint: " + rig.tokens.url()));
  EXPECT_EQ(joined(capture).find(rig.tokens.redemptions().back().form.at("code")), std::string::npos);
  EXPECT_TRUE(redeemed.isLoginFlow);  // a redeemed code completes a login
  EXPECT_EQ(KeychainManager::getJWTAccessToken("bob"), redeemed.first);
  EXPECT_EQ(rig.tokens.redemptions().back().form.at("client_id"), "velqo-v4-client");
  EXPECT_FALSE(KeychainManager::getV4PersistentDeviceToken("bob"));  // no device registered

  s.registrationIssuesCode = false;
  rig.peer.setSettings(s);
  ASSERT_TRUE(rig.registerDevice(*engine, "carol"));
  s.loginIssuesCode = true;
  rig.peer.setSettings(s);
  const auto login = attempt("carol");
  EXPECT_EQ(login.kind, "success") << login.second;
  EXPECT_EQ(KeychainManager::getJWTAccessToken("carol"), login.first);
  EXPECT_EQ(rig.tokens.redemptions().size(), 2u);

  // The same road with a key that did not sign the token.
  auto config = rig.oauth();
  config.publicKeyPem = rig.service.publicKeyPem(localservice::Curve::p384);
  auto foreign = rig.engine(config);
  ASSERT_TRUE(rig.registerDevice(*foreign, "dave"));
  const auto refused = attemptOn(*foreign, "dave");
  EXPECT_EQ(refused.first + ": " + refused.second,
            "OAUTH_TOKEN_VERIFICATION_FAILED: ID token signature could not be verified.");
}

// One row's world: its own service, keychain and engine.
struct Scene {
  V4Rig rig;
  std::shared_ptr<VelqoAuthV4> engine = rig.engine();
};

// Failure rows: each sets the scene, runs one attempt and names the code and sentence.
TEST(V4EngineFailures, ReachTheHostWithTheirCodeAndSentence) {
  struct Row {
    const char* name;
    std::function<void(Scene&)> scene;  // may register the device first
    Code code;
    std::string message;
    bool otp = false;  // the failure comes after the one-time code is submitted
  };
  auto answer = [](const char* path, Reply reply) {
    return [path, reply](Scene& t) { t.rig.service.route("POST", path, reply); };
  };
  auto registered = [](std::function<void(Scene&)> then) {
    return [then](Scene& t) {
      ASSERT_TRUE(t.rig.registerDevice(*t.engine, "erin"));
      then(t);
    };
  };
  const Row rows[] = {
      {"400 detail", answer("/v4/auth-init", Reply::json(400, R"({"detail":"User is blocked"})")),
       Code::authInitFailed, "User is blocked"},
      {"empty message", answer("/v4/auth-init", Reply::json(400, R"({"message":""})")), Code::authInitFailed,
       "Failed to initialize authentication. Please try again."},
      {"200 without c2", answer("/v4/auth-init", Reply::json(200, "{}")), Code::authInitFailed,
       "Auth initialization failed (200)."},
      {"201 without token", answer("/v4/auth-init", Reply::json(201, R"({"message":"try later"})")),
       Code::authInitFailed, "try later"},
      {"not JSON", answer("/v4/auth-init", Reply::json(502, "<html>")), Code::networkError,
       "Auth initialization connection failed. "},
      {"wrong code", [](Scene&) {}, Code::otpVerificationFailed, "Invalid OTP", true},
      {"verify-device refused", answer("/v4/verify-device", Reply::json(409, "{}")),
       Code::deviceVerificationFailed, "Device final verification failed (409).", true},
      {"code without OAuth",
       [](Scene& t) {
         t.engine = t.rig.engine(std::nullopt);
         auto s = localservice::V4Peer::Settings{};
         s.registrationIssuesCode = true;
         t.rig.peer.setSettings(s);
       },
       Code::oauthConfigurationMissing, "OAuth configuration is missing. Cannot redeem authorization code.",
       true},
      {"c2 without e12", registered(answer("/v4/auth-init", Reply::json(200, R"({"c2":"5","er3":"x"})"))),
       Code::authInitFailed, "Incomplete data from /auth-init for login or missing client state."},
      {"c2 not a number",
       registered(answer("/v4/auth-init", Reply::json(200, R"({"c2":"5x","e12":"AAAA","er3":"AAAA"})"))),
       Code::clientCryptoError, "Failed to calculate M2."},
      {"wrong M2", registered([](Scene& t) {
         auto s = localservice::V4Peer::Settings{};
         s.misleadingChallenge = true;
         t.rig.peer.setSettings(s);
       }),
       Code::cipherVerificationFailed, "Cipher verification failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Scene t;
    row.scene(t);
    LineCapture capture;
    const bool wrongCode = std::string(row.name) == "wrong code";
    const auto e =
        row.otp ? t.rig.registration(*t.engine, "erin", wrongCode ? "000000" : std::optional<std::string>())
                : attemptOn(*t.engine, "erin");
    EXPECT_TRUE(e.onMainQueue);
    ASSERT_EQ(e.kind, "error") << e.second;
    EXPECT_EQ(e.first, row.code.rawValue());
    EXPECT_EQ(e.second.substr(0, row.message.size()), row.message);

    // The diagnostic lines name the user and the error, and carry no code, token or share.
    EXPECT_TRUE(capture.has("[VelqoAuthV4] Starting V4 authentication for user: erin"));
    EXPECT_TRUE(capture.has("[VelqoAuthV4] Reporting error to callback: " + e.first + " - " + e.second));
    for (const auto& secret : {t.rig.peer.otpFor("erin"), KeychainManager::getV4PersistentDeviceToken("erin"),
                               VelqoFrameworkInternalUtils::shared()->getEr1r2FromKeychain("erin")}) {
      EXPECT_EQ(secret ? joined(capture).find(*secret) : std::string::npos, std::string::npos);
    }
  }
}

TEST_F(V4EngineTest, AnswersCarryingBothResultsTakeTheDocumentedOne) {
  // verify-cipher with a token and a code: the token completes the login unredeemed, and is
  // stored for the user id as given.
  ASSERT_TRUE(rig.registerDevice(*engine, "Mia@Example.com"));
  rig.service.route("POST", "/v4/verify-cipher", Reply::json(200, R"({"token":"tok-1","code":"unused"})"));
  const auto login = attempt("Mia@Example.com");
  EXPECT_TRUE(login.first == "tok-1" && login.isLoginFlow && login.second.empty()) << "no refresh token";
  EXPECT_EQ(KeychainManager::getJWTAccessToken("Mia@Example.com"), "tok-1");
  EXPECT_TRUE(rig.tokens.redemptions().empty());
  const auto verifiedBefore = requestsTo(rig.service, "/v4/verify-device").size();

  // verify-otp with a code and device records: the code is redeemed, nothing is registered.
  localservice::TokenGrant grant;
  grant.clientId = "velqo-v4-client";
  grant.subject = "lena";
  rig.tokens.registerCode("both-1", grant);
  rig.service.route("POST", "/v4/verify-otp",
                    Reply::json(200, R"({"code":"both-1","device_token":"d-1","Er1r2":"e-1"})"));
  const auto redeemed = rig.registration(*engine, "lena");
  EXPECT_EQ(redeemed.kind, "success") << redeemed.second;
  EXPECT_TRUE(redeemed.isLoginFlow);
  EXPECT_FALSE(KeychainManager::getV4PersistentDeviceToken("lena"));
  EXPECT_EQ(requestsTo(rig.service, "/v4/verify-device").size(), verifiedBefore);
  EXPECT_EQ(rig.tokens.redemptions().size(), 1u);
}

TEST_F(V4EngineTest, EarlyAndStateErrorsArriveOnTheMainQueue) {
  auto offline = VelqoAuthV4::create(rig.api, rig.oauth(), EndPoints("http://127.0.0.1:1"));
  const auto e = attemptOn(*offline, "frank");
  EXPECT_EQ(e.first, "NETWORK_ERROR");

  auto callback = std::make_shared<RecordingCallback>();
  engine->authenticate("", callback);  // no fingerprint for an empty user id
  ASSERT_TRUE(callback->waitFor(1));
  EXPECT_EQ(callback->last().first + ": " + callback->last().second,
            "FINGERPRINT_ERROR: Failed to prepare device identifier (UserID cannot be empty for fingerprint "
            "generation.).");
  EXPECT_TRUE(callback->last().onMainQueue);

  // The service holds the auth-init answer until the early code has been refused.
  std::promise<void> release;
  localservice::V4Peer::Settings held;
  held.beforeAnswering = [gate = release.get_future().share()] { gate.wait_for(kWaitBound); };
  rig.peer.setSettings(held);
  engine->authenticate("gina", callback);
  engine->submitOtp("123456");  // before the auth-init answer
  ASSERT_TRUE(callback->waitFor(2));
  release.set_value();
  ASSERT_TRUE(callback->waitFor(3));
  const auto events = callback->events();
  EXPECT_EQ(events[1].first, "MISSING_DEVICE_TOKEN_SESSION");
  EXPECT_EQ(events[2].kind, "otp");  // the attempt itself goes on
}

TEST_F(V4EngineTest, AFailedTokenSaveStillRecordsTheLastUser) {
  ASSERT_TRUE(rig.registerDevice(*engine, "hana"));
  rig.store->failNext(FaultyItemStore::Operation::add, platform::status::notAvailable);
  EXPECT_EQ(attempt("hana").first, "KEYCHAIN_SAVE_FAILED");
  EXPECT_EQ(LastUserRecord::load(), "hana");
  EXPECT_FALSE(KeychainManager::getJWTAccessToken("hana"));
}

}  // namespace
}  // namespace velqo::testing
