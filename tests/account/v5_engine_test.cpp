// V5 sign-in over real HTTP against the loopback reference service: every road with the
// hardware-key store available and in fallback, the stored record read back independently, the
// endings, and the failure rows a service or a host can cause.

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <future>

#include "account/records/last_user_record.hpp"
#include "account/v5_test_support.hpp"
#include "core/storage/keychain_manager.hpp"
#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/test_environment.hpp"
#include "velqo/platform/environment.hpp"

namespace velqo::testing {
namespace {

using localservice::Reply;
using Paths = std::vector<std::string>;
namespace pc = platform::crypto;

const std::string kUser = "Alice@Example.com";
const Paths kRegistration = {"/v5/verify-otp", "/v5/verify-device", "/v5/auth-init", "/v5/verify-cipher"};
const Paths kLogin = {"/v5/auth-init", "/v5/verify-cipher"};

class V5EngineTest : public V5EngineFixture {
 protected:
  // Starts a step and waits for the next callback.
  CallbackEvent next(const std::function<void()>& step) {
    const std::size_t before = callback->count();
    step();
    EXPECT_TRUE(callback->waitFor(before + 1));
    return callback->last();
  }
  CallbackEvent start(const std::string& user = kUser) {
    return next([&] { engine->authenticate(user, callback); });
  }
  CallbackEvent code(const std::string& otp = "123456") {
    return next([&] { engine->submitOtp(otp); });
  }
  void registerUser() {
    ASSERT_EQ(start().kind, "otp");
    ASSERT_EQ(code().kind, "success") << callback->last().second;
  }
  // Paths of the requests received since the last call.
  Paths takePaths() {
    Paths paths;
    for (const auto& r : service.requests()) paths.push_back(r.path);
    service.clearRequests();
    return paths;
  }
  nlohmann::json storedRecord() {
    return nlohmann::json::parse(
        textOf(KeychainManager::getData(VelqoAuthV5::defaultServiceName(), kUser).value()));
  }
  void writeRecord(const nlohmann::json& record) {
    ASSERT_TRUE(KeychainManager::save(bytesOf(record.dump()), VelqoAuthV5::defaultServiceName(), kUser));
  }
};

class V5RoadTest : public V5EngineTest, public ::testing::WithParamInterface<platform::HardwareKeyMode> {
 protected:
  void SetUp() override {
    V5EngineTest::SetUp();
    settings.setHardwareKeyMode(GetParam());
  }
};

INSTANTIATE_TEST_SUITE_P(HardwareKeys, V5RoadTest,
                         ::testing::Values(platform::HardwareKeyMode::available,
                                           platform::HardwareKeyMode::notAvailable));

TEST_P(V5RoadTest, FirstSignInRegistersThenSecondOnlyLogsIn) {
  auto event = start();
  EXPECT_TRUE(event.kind == "otp" && event.onMainQueue);
  EXPECT_EQ(takePaths(), Paths{"/v5/auth-init"});

  event = code(" 123456\n");
  ASSERT_EQ(event.kind, "success") << event.second;
  EXPECT_TRUE(!event.isLoginFlow && event.onMainQueue && event.first == event.second);
  EXPECT_EQ(takePaths(), kRegistration);
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kUser), event.first);
  EXPECT_EQ(KeychainManager::getData(KeychainManager::serviceName(), kUser + "_jwtRefreshToken"),
            bytesOf(event.first));
  EXPECT_EQ(LastUserRecord::load(), kUser);
  EXPECT_EQ(KeychainManager::getV4PersistentDeviceToken(kUser), storedRecord()["deviceToken"]);
  EXPECT_FALSE(engine->pendingStore().load(kUser)) << "removed after device verification";
  engine->pendingStore().save(V5PendingRegistration{kUser, "t", "f", V5EnvironmentInfo::current(), 0});
  EXPECT_EQ(storedRecord()["wrapMetadata"]["type"],
            GetParam() == platform::HardwareKeyMode::available ? "secureEnclave" : "fallback");

  event = start();
  EXPECT_TRUE(event.kind == "success" && event.isLoginFlow) << event.second;
  EXPECT_EQ(takePaths(), kLogin);
  EXPECT_FALSE(KeychainManager::getData(engine->pendingStore().serviceName(), kUser)) << "a login drops it";
}

TEST_P(V5RoadTest, RegistrationResumesAfterRestartWithinNineHundredSeconds) {
  const double t0 = 1'800'000'000;
  setNow(t0);
  ASSERT_EQ(start().kind, "otp");
  ASSERT_EQ(start("bob").kind, "otp");
  takePaths();

  engine = makeEngine();  // the process restarts
  setNow(t0 + 899);
  engine->authenticate(kUser, callback);
  ASSERT_EQ(callback->count(), 3u) << "resumed at once, on the calling thread";
  EXPECT_TRUE(callback->last().kind == "otp" && !callback->last().onMainQueue);
  EXPECT_EQ(service.requestCount(), 0u);
  auto event = code();
  EXPECT_TRUE(event.kind == "success" && !event.isLoginFlow) << event.second;
  EXPECT_EQ(takePaths(), kRegistration);

  auto other = engine->pendingStore().load("bob").value();
  other.fingerprintHash = "another device";
  engine->pendingStore().save(other);
  EXPECT_EQ(start("bob").kind, "otp");
  EXPECT_EQ(takePaths(), Paths{"/v5/auth-init"}) << "another fingerprint registers afresh";
}

TEST_P(V5RoadTest, StaleDeviceIsClearedAndRegisteredAgainOnce) {
  registerUser();
  peer.forgetDevices();
  takePaths();
  EXPECT_EQ(start().kind, "otp");
  EXPECT_EQ(takePaths(), (Paths{"/v5/auth-init", "/v5/auth-init"}));
  EXPECT_FALSE(engine->credentialStore().load(kUser));
  EXPECT_FALSE(KeychainManager::getV4PersistentDeviceToken(kUser));

  const auto event = code();
  EXPECT_TRUE(event.kind == "success" && !event.isLoginFlow && peer.registrationCount() == 2) << event.second;
}

// The stored record opened with raw primitives, and the login requests recomputed from it.
TEST_P(V5RoadTest, StoredRecordDecodesIndependently) {
  registerUser();
  const auto record = storedRecord();
  auto b64 = [&](const char* key) { return platform::base64Decode(record[key].get<std::string>()).value(); };
  const Bytes wrapValue = platform::base64Decode(record["wrapMetadata"]["value"].get<std::string>()).value();
  Bytes secret = wrapValue;
  if (record["wrapMetadata"]["type"] == "secureEnclave") {
    platform::SecKeyRef key;
    ASSERT_EQ(platform::keys::copyMatchingKey(bytesOf(VelqoAuthV5::defaultServiceName() + ".v5.se." + kUser),
                                              platform::KeyType::ecPrimeRandom,
                                              platform::KeyToken::secureEnclave, key),
              0);
    secret =
        platform::keys::copyKeyExchangeResult(key, platform::KeyExchangeAlgorithm::ecdhStandardX963SHA256,
                                              platform::keys::createPublicKeyWithData(wrapValue).value(), 32)
            .value();
  }
  const std::string env = record["userAgent"].get<std::string>() + record["osType"].get<std::string>();
  EXPECT_EQ(textOf(b64("infoString")), env + "ECDH P-256+Ed25519" + record["sdkVersion"].get<std::string>());

  auto hkdf = [&](const Bytes& salt, std::string_view label) {
    return pc::hkdfSha256(pc::view(secret), pc::view(salt), pc::view(label), 32);
  };
  const Bytes prs = b64("combinedPrs");
  ASSERT_EQ(prs.size(), 60u);
  const auto seed = pc::aesGcmOpen(pc::view(hkdf(b64("salt0"), "velqo.v5.sk0")), pc::view(prs).first(12),
                                   pc::view(prs).subspan(12, 32), pc::view(prs).last(16));
  ASSERT_TRUE(seed);

  const auto requests = service.requests();
  const auto login = nlohmann::json::parse(requests[requests.size() - 2].body);
  const auto cipher = nlohmann::json::parse(requests.back().body);
  const Bytes sk2 = hkdf(b64("salt1"), "velqo.v5.sk2");
  EXPECT_EQ(login["sk2"], platform::base64Encode(sk2));
  Bytes dfpInput = hkdf(b64("salt2"), "velqo.v5.hds");
  dfpInput.insert(dfpInput.end(), env.begin(), env.end());
  Bytes hiInput;
  for (const Bytes& part : {b64("salt1"), b64("salt2"), sk2, prs, wrapValue, secret, bytesOf(kUser),
                            bytesOf("127.0.0.1"), pc::sha256(pc::view(dfpInput))}) {
    hiInput.insert(hiInput.end(), part.begin(), part.end());
  }
  EXPECT_EQ(login["hindex"], platform::base64Encode(pc::sha256(pc::view(hiInput))));
  const Bytes mapp = platform::base64Decode(cipher["mapp"].get<std::string>()).value();
  EXPECT_TRUE(textOf(mapp).ends_with("127.0.0.1"));
  EXPECT_TRUE(
      pc::ed25519Verify(pc::view(pc::ed25519PublicKey(pc::view(*seed)).value()), pc::view(mapp),
                        pc::view(platform::base64Decode(cipher["signature"].get<std::string>()).value())));
}

TEST_F(V5EngineTest, EndingsOfVerifyCipher) {
  registerUser();
  peer.setEnding(localservice::V5Peer::Ending::sessionId);
  auto event = start();
  EXPECT_TRUE(event.kind == "additional" && event.first == peer.logins().back().issued);
  EXPECT_EQ(event.second, "Additional verification required");

  peer.setEnding(localservice::V5Peer::Ending::code);
  event = start();
  EXPECT_TRUE(event.kind == "code" && event.first == peer.logins().back().issued && event.expiresIn == 300);
  EXPECT_TRUE(tokens.redemptions().empty()) << "a delegated code is left to the host";

  engine = makeEngine(/*sdkManaged=*/true);
  event = start();
  ASSERT_TRUE(event.kind == "success" && event.isLoginFlow) << event.second;
  ASSERT_EQ(tokens.redemptions().size(), 1u);
  EXPECT_EQ(tokens.redemptions()[0].form.at("code"), peer.logins().back().issued);
  EXPECT_EQ(std::count(event.first.begin(), event.first.end(), '.'), 2)
      << "the ID token is stored as both tokens";
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kUser), event.first);

  tokens.enqueue(Reply::json(200, R"({"token_type":"Bearer"})"));
  event = start();
  EXPECT_EQ(event.first + ": " + event.second,
            "OAUTH_EXCHANGE_FAILED: We couldn't finish signing you in. Please retry the login.");
  const std::string foreign = service.issueIdToken(localservice::Curve::p256, R"({"aud":"someone-else"})");
  tokens.enqueue(Reply::json(200, nlohmann::json{{"id_token", foreign}}.dump()));
  event = start();
  EXPECT_EQ(event.first + ": " + event.second,
            "OAUTH_TOKEN_VERIFICATION_FAILED: ID token audience mismatch.");

  service.route("POST", "/v5/verify-cipher",
                Reply::json(200, R"({"session_id":"s","detail":"d","message":"m"})"));
  EXPECT_EQ(start().second, "d") << "the detail comes before the message";
  service.route("POST", "/v5/verify-cipher", Reply::json(401, R"({"detail":"Invalid signature"})"));
  EXPECT_EQ(start().first, "UNKNOWN_ERROR");
  service.route("POST", "/v5/verify-cipher", Reply::drop());
  EXPECT_EQ(start().first, "CRYPTO_ERROR");
  EXPECT_EQ(VelqoAuthV5::create(ApiService::create("k"), std::nullopt, EndPoints("no host"))->domain(),
            VelqoAuthV5::defaultDomain);
}

// A login auth-init refused with "hindex not found": a body that decodes as the answer record is
// a missing challenge, an undecodable one is a stale device; both clear and register once, and
// the second refusal in the attempt ends it.
TEST_F(V5EngineTest, HindexNotFoundBodies) {
  registerUser();
  struct Row {
    const char* body;
    const char* finalCode;
  };
  for (const Row row :
       {Row{R"({"detail":"hindex not found in database"})", "INTERNAL_STATE_ERROR"},
        Row{R"({"detail":"H2INDEX NOT FOUND IN DATABASE","challenge":5})", "NETWORK_ERROR"}}) {
    SCOPED_TRACE(row.body);
    peer.enqueueLoginReply(Reply::json(400, row.body));
    peer.enqueueLoginReply(Reply::json(400, row.body));
    EXPECT_EQ(start().kind, "otp");
    EXPECT_EQ(code().first, row.finalCode);
  }
}

TEST_F(V5EngineTest, RegistrationFailuresKeepTheContext) {
  ASSERT_EQ(start().kind, "otp");
  engine->submitOtp(" \n ");
  auto event = callback->last();
  EXPECT_EQ(event.first, "INVALID_INPUT");
  EXPECT_FALSE(event.onMainQueue);
  const std::size_t refused = callback->count();
  engine->submitOtp("\xC2\xA0\xE3\x80\x80\xE2\x80\xA8");  // no-break and ideographic space, line separator
  ASSERT_EQ(callback->count(), refused + 1) << "refused at once, nothing sent";
  EXPECT_EQ(callback->last().first, "INVALID_INPUT");

  event = code("654321");
  EXPECT_EQ(
      event.first + ": " + event.second,
      "OTP_VERIFICATION_FAILED: The verification code is incorrect or expired. Please request a new code.");
  EXPECT_FALSE(engine->credentialStore().load(kUser)) << "a refused code stores nothing";
  EXPECT_EQ(code().kind, "success");

  EXPECT_TRUE(start().isLoginFlow);
  engine->submitOtp("123456");
  EXPECT_EQ(callback->last().first, "MISSING_REGISTRATION_CONTEXT")
      << "a login has no registration to continue";

  service.route("POST", "/v5/auth-init", Reply::json(200, "{}"));
  EXPECT_EQ(start("carol").first, "AUTH_INIT_FAILED");
  service.route("POST", "/v5/auth-init", Reply::drop());
  EXPECT_EQ(start("carol").first, "NETWORK_ERROR");
}

TEST_F(V5EngineTest, StoredRecordRules) {
  registerUser();
  auto record = storedRecord();
  record["salt1"] = "not base64!";
  writeRecord(record);
  auto event = start();
  EXPECT_EQ(event.first, "SECURE_STORAGE_ERROR");
  EXPECT_FALSE(event.onMainQueue);

  writeRecord(nlohmann::json::object());
  EXPECT_EQ(start().kind, "otp") << "legacy: register";
  EXPECT_FALSE(engine->credentialStore().load(kUser));
  EXPECT_EQ(code().kind, "success");

  record = storedRecord();
  record["version"] = 2;
  writeRecord(record);
  EXPECT_EQ(start().kind, "otp") << "re-registers once";
  EXPECT_EQ(code().isLoginFlow, false);
}

// The answer to an attempt that a newer one replaced is dropped, even when it arrives first.
TEST_F(V5EngineTest, SupersededAttemptIsSilent) {
  service.route("POST", "/v5/auth-init", [](const localservice::RecordedRequest& r) {
    const std::string user = nlohmann::json::parse(r.body)["userid"];
    Reply reply = Reply::json(200, nlohmann::json{{"device_token", "dt-" + user}}.dump());
    if (user == "newer") reply.delay = std::chrono::milliseconds(300);
    return reply;
  });
  engine->authenticate("older", std::make_shared<RecordingCallback>());
  EXPECT_EQ(start("newer").kind, "otp");
  engine->submitOtp("123456");
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return service.requestCount() == 3; }, kWaitBound));
  EXPECT_EQ(nlohmann::json::parse(service.requests()[2].body)["device_token"], "dt-newer");
}

// ---- answers the service acted on but the device never saw ----

// The verify-device answer is lost after the service spent the device token: the next attempt
// resumes the pending registration and is refused, and the one after it asks for a new code
// instead of re-sending the spent token until the registration expires.
TEST_F(V5EngineTest, LostDeviceVerificationAnswerLocksNobodyOut) {
  ASSERT_EQ(start().kind, "otp");
  peer.loseNextAnswer("/v5/verify-device");
  EXPECT_EQ(code().first, "DEVICE_VERIFICATION_FAILED");
  EXPECT_EQ(peer.registrationCount(), 1u) << "the service completed the registration";
  takePaths();

  EXPECT_EQ(start().kind, "otp");
  EXPECT_EQ(service.requestCount(), 0u) << "resumed";
  EXPECT_EQ(code().first, "OTP_VERIFICATION_FAILED");
  takePaths();

  EXPECT_EQ(start().kind, "otp");
  EXPECT_EQ(takePaths(), Paths{"/v5/auth-init"}) << "a new registration and a new code";
  const auto event = code();
  EXPECT_TRUE(event.kind == "success" && !event.isLoginFlow) << event.second;
  EXPECT_EQ(peer.registrationCount(), 2u);
}

// A mistyped code keeps a fresh registration for a restart; a resumed one that the service
// refuses is not offered again, while the attempt itself still takes the right code.
TEST_F(V5EngineTest, RefusedCodeKeepsOnlyAFreshRegistration) {
  ASSERT_EQ(start().kind, "otp");
  EXPECT_EQ(code("654321").first, "OTP_VERIFICATION_FAILED");
  EXPECT_TRUE(engine->pendingStore().load(kUser)) << "kept for a restart";

  engine = makeEngine();  // the process restarts
  takePaths();
  EXPECT_EQ(start().kind, "otp");
  EXPECT_EQ(service.requestCount(), 0u) << "resumed";
  EXPECT_EQ(code("654321").first, "OTP_VERIFICATION_FAILED");
  EXPECT_FALSE(engine->pendingStore().load(kUser)) << "a refused resumed registration is dropped";
  const auto event = code();
  EXPECT_TRUE(event.kind == "success" && !event.isLoginFlow) << event.second;
}

// Resumed, the registration keeps the environment it began with: the stored record and the
// login after it use that one, not the running one.
TEST_F(V5EngineTest, ResumedRegistrationKeepsItsOwnEnvironment) {
  ASSERT_EQ(start().kind, "otp");
  auto pending = engine->pendingStore().load(kUser).value();
  const V5EnvironmentInfo older{"Older App 1.0 (iPhone9,1; iOS 15.0)", "iOS", "ios_v5_1.0_1"};
  ASSERT_NE(older.userAgent, V5EnvironmentInfo::current().userAgent);
  pending.environment = older;
  engine->pendingStore().save(pending);

  engine = makeEngine();
  ASSERT_EQ(start().kind, "otp");
  const auto event = code();
  EXPECT_TRUE(event.kind == "success" && !event.isLoginFlow) << event.second;
  const auto record = storedRecord();
  EXPECT_EQ(record["userAgent"], older.userAgent);
  EXPECT_EQ(record["osType"], older.osType);
  EXPECT_EQ(record["sdkVersion"], older.sdkVersion);
  EXPECT_EQ(textOf(platform::base64Decode(record["infoString"].get<std::string>()).value()),
            older.userAgent + older.osType + "ECDH P-256+Ed25519" + older.sdkVersion);
}

// verify-device carries the device token that verify-otp answered, else the registration's;
// and a refused verify-device stores nothing, whatever its body.
TEST_F(V5EngineTest, VerifyDeviceTokenAndRefusal) {
  ASSERT_EQ(start().kind, "otp");
  const std::string registered = engine->pendingStore().load(kUser).value().deviceToken;
  service.route("POST", "/v5/verify-device", Reply::json(400, R"({"detail":"Device verification failed"})"));
  struct Row {
    const char* otpAnswer;
    std::string expectedToken;
  };
  for (const Row& row : {Row{R"({"device_token":"dt-from-otp"})", "dt-from-otp"}, Row{"{}", registered}}) {
    SCOPED_TRACE(row.otpAnswer);
    service.route("POST", "/v5/verify-otp", Reply::json(200, row.otpAnswer));
    takePaths();
    EXPECT_EQ(code().first, "DEVICE_VERIFICATION_FAILED");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, "/v5/verify-device");
    EXPECT_EQ(nlohmann::json::parse(requests[1].body)["device_token"], row.expectedToken);
    EXPECT_FALSE(engine->credentialStore().load(kUser));
    EXPECT_FALSE(KeychainManager::getV4PersistentDeviceToken(kUser));
  }
}

// ---- the answer of verify-cipher ----

TEST_F(V5EngineTest, VerifyCipherAnswerRules) {
  registerUser();
  const auto stored = KeychainManager::getJWTAccessToken(kUser);
  service.route("POST", "/v5/verify-cipher", Reply::json(200, R"({"session_id":"s-1","token":"tok-both"})"));
  auto event = start();
  EXPECT_TRUE(event.kind == "additional" && event.first == "s-1") << "the session id comes first";
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kUser), stored);

  service.route("POST", "/v5/verify-cipher", Reply::json(200, R"({"token":"tok-and-code","code":"c-1"})"));
  event = start();
  EXPECT_TRUE(event.kind == "success" && event.first == "tok-and-code") << "the token comes before a code";

  // A refused answer is never a sign-in, whatever its body holds; a request for more
  // verification may come with a refusing status and still asks for it.
  for (const char* body : {R"({"token":"tok-refused"})", R"({"code":"c-refused","expires_in":300})"}) {
    SCOPED_TRACE(body);
    for (int status : {500, 401, 404}) {
      service.route("POST", "/v5/verify-cipher", Reply::json(status, body));
      EXPECT_EQ(start().result(), "UNKNOWN_ERROR") << status;
    }
  }
  service.route("POST", "/v5/verify-cipher",
                Reply::json(401, R"({"session_id":"s-2","token":"tok-refused"})"));
  event = start();
  EXPECT_TRUE(event.kind == "additional" && event.first == "s-2");
  EXPECT_EQ(KeychainManager::getJWTAccessToken(kUser), "tok-and-code");

  service.route("POST", "/v5/verify-cipher", Reply::json(201, R"({"token":"tok-created"})"));
  event = start();
  EXPECT_TRUE(event.kind == "success" && event.first == "tok-created");
}

// A legacy record is cleared with the hardware key and the pending registration; the
// persistent device token stays.
TEST_F(V5EngineTest, LegacyRecordKeepsThePersistentDeviceToken) {
  registerUser();
  const auto deviceToken = KeychainManager::getV4PersistentDeviceToken(kUser);
  ASSERT_TRUE(deviceToken);
  writeRecord(nlohmann::json{{"salt0", "AAAA"}});
  EXPECT_EQ(start().kind, "otp");
  EXPECT_FALSE(engine->credentialStore().load(kUser));
  EXPECT_EQ(KeychainManager::getV4PersistentDeviceToken(kUser), deviceToken);
}

// A refused code reaches the attempt that sent it; a newer attempt never hears of an older
// attempt's code. The older answer is held until the newer attempt has begun; the newer code is
// accepted and its device refused, two round trips after the older answer went out.
TEST_F(V5EngineTest, RefusedCodeOfAnOlderAttemptStaysWithIt) {
  auto older = std::make_shared<RecordingCallback>();
  engine->authenticate("older", older);
  ASSERT_TRUE(older->waitFor(1));
  const std::string olderToken = engine->pendingStore().load("older").value().deviceToken;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  service.route("POST", "/v5/verify-otp", [released, olderToken](const localservice::RecordedRequest& r) {
    const std::string token = nlohmann::json::parse(r.body)["device_token"];
    if (token != olderToken) return Reply::json(200, nlohmann::json{{"device_token", token}}.dump());
    released.wait_for(kWaitBound);
    return Reply::json(400, R"({"detail":"Invalid OTP"})");
  });
  const std::size_t sent = service.requestCount();
  engine->submitOtp("654321");
  ASSERT_TRUE(service.waitForRequests(sent + 1, kWaitBound));
  EXPECT_EQ(start().kind, "otp");
  release.set_value();

  engine->submitOtp("123456");
  ASSERT_TRUE(platform::mainQueue().runUntil(
      [&] { return callback->last().result() == "DEVICE_VERIFICATION_FAILED"; }, kWaitBound));
  platform::mainQueue().drain();
  for (const auto& event : callback->events()) EXPECT_NE(event.result(), "OTP_VERIFICATION_FAILED");
  EXPECT_EQ(older->count(), 1u);
}

// ---- storage ----

// A device whose data directory cannot keep its identity (a full or read-only disk) reports a
// storage failure, not a cryptographic one.
TEST_F(V5EngineTest, DataDirectoryThatCannotBeWrittenIsAStorageFailure) {
  const std::filesystem::path dataDirectory = platform::applicationDataDirectory();
  const std::filesystem::path scratch = makeTempDirectory("v5-storage");
  // A regular file where a directory is needed cannot be written below, even by root.
  const std::filesystem::path blocked = scratch / "blocked";
  const std::filesystem::path noSupport = scratch / "no-support";
  std::filesystem::create_directory(noSupport);
  for (const auto& file : {blocked, noSupport / "Application Support"}) {
    std::ofstream(file) << "not a directory";
  }
  for (const auto& directory : {blocked / "data", noSupport}) {
    SCOPED_TRACE(directory.string());
    settings.setApplicationDataDirectory(directory);
    const auto event = start("newcomer");
    EXPECT_EQ(event.first + ": " + event.second,
              "SECURE_STORAGE_ERROR: Failed to securely store credentials on this device.");
    EXPECT_EQ(service.requestCount(), 0u);
  }
  settings.setApplicationDataDirectory(dataDirectory);
  EXPECT_EQ(start("newcomer").kind, "otp");
}

}  // namespace
}  // namespace velqo::testing
