// QR approval over real HTTP against the loopback service, which verifies the Ed25519 proof with
// the key it learnt from the device's keyset: approval and bind, the stale-credential road, the
// HTTP error records, success bodies that are not the expected record, the failures found before
// sending, and a released service.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/crypto.hpp"
#include "support/loopback_server.hpp"
#include "v1/flows/qr_oauth_test_support.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/device_crypto_service.hpp"
#include "velqo/v1/flows/qr_approval_service.hpp"
#include "velqo_localservice/qr_peer.hpp"
#include "velqo_localservice/v1_peer.hpp"

namespace velqo::testing {
namespace {

using namespace std::chrono_literals;
using localservice::Reply;
using Result = VelqoV1QrApprovalService::ApprovalResult;
namespace crypto = platform::crypto;

class QrApprovalTest : public ::testing::Test {
 protected:
  LineCapture capture;
  localservice::LocalService service;
  localservice::V1Peer v1{service};
  std::shared_ptr<localservice::DeviceKeyRegistry> keys = std::make_shared<localservice::DeviceKeyRegistry>();
  localservice::QrPeer qr{service, keys};
  std::shared_ptr<platform::HttpSession> session = platform::HttpSession::create();
  std::shared_ptr<VelqoV1DeviceCryptoService> deviceTrust =
      VelqoV1DeviceCryptoService::create("p1", VelqoV1DeviceCryptoStore::create("svc.qr"));

  void SetUp() override {
    platform::setItemStore(platform::InMemoryItemStore::create());
    platform::keys::setHardwareKeyMode(platform::HardwareKeyMode::available);
    v1.setFallback(qr.approvalAnswer());
  }
  void TearDown() override { platform::setItemStore(nullptr); }

  VelqoV1ClientConfig config(const std::string& baseURL) const {
    VelqoV1ClientConfig::Settings settings;
    settings.baseURL = baseURL;
    settings.sdkName = "velqo-cpp";
    settings.sdkVersion = "1.2.3";
    settings.platform = "linux";
    settings.protocolVersion = 2;
    settings.relyingParty = "rp.example";
    settings.timeoutSeconds = 5;
    settings.deviceCredentialClearCodes = VelqoV1ClientConfig::defaultDeviceCredentialClearCodes();
    return VelqoV1ClientConfig::withConfigId("cfg-1", settings);
  }
  std::shared_ptr<VelqoV1QrApprovalService> approvals(const std::string& baseURL = {}) {
    return VelqoV1QrApprovalService::create(config(baseURL.empty() ? v1.baseURL() : baseURL), deviceTrust,
                                            session);
  }

  // Sets the device up and lets the service learn its key, as request_challenge does.
  std::string setUpDevice(const std::string& user = "alice") {
    const VelqoV1Action action = deviceTrust->handleSetupDevice("", "", "1", user);
    const auto* sent = action.as<VelqoV1Action::RequestChallenge>();
    EXPECT_TRUE(keys->registerKeyset(sent->hindex, sent->keyset, sent->sk2));
    return sent->hindex;
  }

  Result run(const VelqoV1QrPayload& payload, const std::string& identifier = " Alice ",
             bool remember = true) {
    Catcher<Result> catcher(session);
    auto approvalService = approvals();  // held until the answer: a released service reports nothing
    approvalService->approve(payload, identifier, remember, catcher.callback());
    auto result = catcher.wait();
    EXPECT_TRUE(result.has_value());
    EXPECT_TRUE(catcher.onCompletionThread());
    return result.value_or(
        Result::failure(VelqoV1QrApprovalError("no_result", "", false, false, std::nullopt)));
  }

  static VelqoV1QrPayload authPayload(const std::string& text = "sess-1:n-1:pat-1") {
    return VelqoV1QrPayloadParser::parse(text).value();
  }
  static VelqoV1QrPayload bindPayload() {
    return VelqoV1QrPayloadParser::parse(
               R"({"type":"QR_LOGIN","session_id":"bind-1","nonce":"n-2","token":"t"})")
        .value();
  }
};

TEST_F(QrApprovalTest, ApprovalIsVerifiedByTheServiceAndCarriesTheV1Headers) {
  const std::string hindex = setUpDevice();
  qr.openAuthSession("sess-1", "n-1", "pat-1");

  const Result result = run(authPayload());
  ASSERT_TRUE(result.ok()) << result.error().code() << ": " << result.error().message();
  EXPECT_EQ(result.value(), VelqoV1QrApprovalOutcome::approved());

  ASSERT_EQ(qr.decisions().size(), 1u);
  EXPECT_EQ(qr.decisions()[0].sessionId, "sess-1");
  EXPECT_EQ(qr.decisions()[0].h2index, hindex);
  EXPECT_TRUE(qr.decisions()[0].rememberDevice);

  const auto request = v1.exchanges().at(0).request;
  EXPECT_EQ(request.path, "/v1/auth");
  EXPECT_EQ(request.header("Content-Type"), "application/json");
  EXPECT_EQ(request.header("Accept"), "application/json");
  EXPECT_EQ(request.header("X-Config-Id"), "cfg-1");
  EXPECT_EQ(request.header("x-unique"), crypto::sha256Hex(crypto::view(std::string_view("alice"))));
  EXPECT_EQ(request.header("X-Velqo-SDK"), "velqo-cpp");
  EXPECT_EQ(request.header("x-Velqo-iosSdk-Version"), "1.2.3");
  EXPECT_EQ(request.header("X-Velqo-Platform"), "linux");
  EXPECT_EQ(request.header("X-Velqo-Protocol-Version"), "2");
  EXPECT_EQ(request.header("X-Relying-Party"), "rp.example");
  const auto envelope = nlohmann::json::parse(request.body);
  EXPECT_EQ(envelope["protocolVersion"], 2);
  EXPECT_EQ(envelope["session"], "sess-1");
  EXPECT_EQ(envelope["action"]["type"], "qr_auth_approve");
  EXPECT_EQ(envelope["action"]["phoneActionToken"], "pat-1");

  // Wire lines are written, without the proof's secrets; the credential stays.
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][REQ] method=POST url=" + v1.baseURL() + "/auth"));
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][RESP] status=200"));
  EXPECT_TRUE(capture.hasPrefix("[V1][QR][WIRE][REQ_HEADERS] ["));
  EXPECT_TRUE(capture.hasPrefix("[V1][QR][WIRE][RESP_BODY]\n"));
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.find(envelope["action"]["signature"].get<std::string>()), std::string::npos) << line;
    EXPECT_EQ(line.find(envelope["action"]["sk2"].get<std::string>()), std::string::npos) << line;
  }
  EXPECT_TRUE(deviceTrust->deviceCredentials("alice").has_value());
}

TEST_F(QrApprovalTest, BindIsVerifiedByTheServiceWithTheNormalisedUser) {
  const std::string hindex = setUpDevice();
  qr.openBindSession("bind-1", "n-2");

  const Result result = run(bindPayload(), "  ALICE\n", false);
  ASSERT_TRUE(result.ok()) << result.error().code() << ": " << result.error().message();
  EXPECT_EQ(result.value(), VelqoV1QrApprovalOutcome::bound("alice"));

  ASSERT_EQ(qr.decisions().size(), 1u);
  EXPECT_EQ(qr.decisions()[0].userid, "alice");
  EXPECT_FALSE(qr.decisions()[0].rememberDevice);
  const auto request = service.requests().back();
  EXPECT_EQ(request.path, "/v1/auth/qr-bind");
  std::vector<std::string> keysInOrder;
  const auto body = nlohmann::ordered_json::parse(request.body);
  for (const auto& item : body.items()) keysInOrder.push_back(item.key());
  EXPECT_EQ(keysInOrder, (std::vector<std::string>{"session_id", "nonce", "userid", "h2index", "signature",
                                                   "sk2", "remember_device"}));
}

TEST_F(QrApprovalTest, AProofForAnotherNonceIsRefusedAndTheCredentialCleared) {
  setUpDevice();
  qr.openAuthSession("sess-1", "n-1", "pat-1");
  const Result result = run(authPayload("sess-1:forged-nonce:pat-1"));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(),
            VelqoV1QrApprovalError("invalid_signature", "Invalid signature", false, true, std::nullopt));
  EXPECT_TRUE(qr.decisions().empty());
  EXPECT_FALSE(deviceTrust->deviceCredentials("alice").has_value());
}

TEST_F(QrApprovalTest, AStaleCredentialIsClearedBeforeTheCompletionReportsIt) {
  struct Case {
    const char* name;
    bool bind;
    VelqoV1QrApprovalError expected;
  };
  const Case cases[] = {
      {"approval: V1 error envelope", false,
       VelqoV1QrApprovalError("device_not_found", "Device not found", false, true, std::nullopt)},
      {"bind: plain error body", true,
       VelqoV1QrApprovalError("http_error", "Device not found", false, true, std::nullopt)},
  };
  for (const auto& c : cases) {
    keys->remove(setUpDevice());  // the service no longer knows the device
    qr.openAuthSession("sess-1", "n-1", "pat-1");
    qr.openBindSession("bind-1", "n-2");

    std::optional<bool> recordPresentInCompletion;
    Catcher<Result> catcher(session);
    auto inner = catcher.callback();
    auto approvalService = approvals();
    approvalService->approve(
        c.bind ? bindPayload() : authPayload(), "alice", true, [&](const Result& result) {
          recordPresentInCompletion = deviceTrust->deviceCredentials("alice").has_value();
          inner(result);
        });
    auto result = catcher.wait();
    ASSERT_TRUE(result.has_value()) << c.name;
    ASSERT_FALSE(result->ok()) << c.name;
    EXPECT_EQ(result->error(), c.expected) << c.name;
    EXPECT_EQ(recordPresentInCompletion, false) << c.name;
  }
}

TEST_F(QrApprovalTest, HttpErrorRecordsReadTheBodyAndRetryAfter) {
  struct Case {
    const char* name;
    Reply reply;
    VelqoV1QrApprovalError expected;
  };
  auto with = [](Reply reply, std::string name, std::string value) {
    reply.headers.emplace_back(std::move(name), std::move(value));
    return reply;
  };
  const std::string envelope = localservice::V1Peer::response(
      "bind-1", localservice::V1Peer::errorPrompt("rate_limited", "wait", "Too many", true,
                                                  R"({"retry_after_seconds":12})"));
  const Case cases[] = {
      {"429 with seconds", with(Reply::json(429, R"({"detail":"Slow down"})"), "Retry-After", "30"),
       VelqoV1QrApprovalError("http_error", "Slow down", true, false, 30)},
      {"429 with a date",
       with(Reply::json(429, R"({"detail":"Slow down"})"), "Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"),
       VelqoV1QrApprovalError("http_error", "Slow down", true, false, std::nullopt)},
      {"503 empty, signed header", with(Reply::empty(503), "Retry-After", "+7"),
       VelqoV1QrApprovalError("http_error", "HTTP 503", false, false, 7)},
      {"detail wins and names a stale device",
       Reply::json(500, R"({"message":"m","detail":"Device NOT found here"})"),
       VelqoV1QrApprovalError("http_error", "Device NOT found here", false, true, std::nullopt)},
      {"error member", Reply::json(400, R"({"error":"bad"})"),
       VelqoV1QrApprovalError("http_error", "bad", false, false, std::nullopt)},
      {"no member", Reply::json(400, "{}"),
       VelqoV1QrApprovalError("http_error", "Request failed", false, false, std::nullopt)},
      {"member of another type", Reply::json(400, R"({"detail":5})"),
       VelqoV1QrApprovalError("http_error", R"({"detail":5})", false, false, std::nullopt)},
      {"plain text", Reply::json(502, "upstream broke"),
       VelqoV1QrApprovalError("http_error", "upstream broke", false, false, std::nullopt)},
      {"error envelope wins over the header", with(Reply::json(429, envelope), "Retry-After", "99"),
       VelqoV1QrApprovalError("rate_limited", "Too many", true, false, 12)},
  };
  for (const auto& c : cases) {
    setUpDevice();
    qr.enqueueBindReply(c.reply);
    const Result result = run(bindPayload());
    ASSERT_FALSE(result.ok()) << c.name;
    EXPECT_EQ(result.error(), c.expected) << c.name;
    EXPECT_EQ(deviceTrust->deviceCredentials("alice").has_value(), !c.expected.shouldClearRecord()) << c.name;
  }
}

TEST_F(QrApprovalTest, SuccessBodiesMustBeTheExpectedRecord) {
  struct Case {
    const char* name;
    bool bind;
    Reply reply;
    std::optional<VelqoV1QrApprovalOutcome> outcome;
    std::optional<VelqoV1QrApprovalError> error;
  };
  const std::string errorEnvelope = localservice::V1Peer::response(
      "s", localservice::V1Peer::errorPrompt("info_mismatch", "restart_flow", "Mismatch"));
  const Case cases[] = {
      {"bind, empty status", true, Reply::json(200, R"({"status":""})"), std::nullopt,
       VelqoV1QrApprovalError("response_decoding_failed", "Invalid QR bind response", false, false,
                              std::nullopt)},
      {"bind, no status", true, Reply::json(200, R"({"userid":"x"})"), std::nullopt,
       VelqoV1QrApprovalError("response_decoding_failed", "Invalid QR bind response", false, false,
                              std::nullopt)},
      {"bind, status without user", true, Reply::json(201, R"({"status":"ok"})"),
       VelqoV1QrApprovalOutcome::bound(std::nullopt), std::nullopt},
      {"bind, 2xx error envelope with a clear code", true, Reply::json(200, errorEnvelope), std::nullopt,
       VelqoV1QrApprovalError("info_mismatch", "Mismatch", false, true, std::nullopt)},
      {"approval, not a V1 response", false, Reply::json(200, "{}"), std::nullopt,
       VelqoV1QrApprovalError("response_decoding_failed", "Invalid QR auth approval response", false, false,
                              std::nullopt)},
      {"approval, 2xx error envelope", false, Reply::json(200, errorEnvelope), std::nullopt,
       VelqoV1QrApprovalError("info_mismatch", "Mismatch", false, true, std::nullopt)},
  };
  for (const auto& c : cases) {
    setUpDevice();
    if (c.bind) {
      qr.enqueueBindReply(c.reply);
    } else {
      v1.enqueue(c.reply);
    }
    const Result result = run(c.bind ? bindPayload() : authPayload());
    if (c.outcome) {
      ASSERT_TRUE(result.ok()) << c.name;
      EXPECT_EQ(result.value(), *c.outcome) << c.name;
    } else {
      ASSERT_FALSE(result.ok()) << c.name;
      EXPECT_EQ(result.error(), *c.error) << c.name;
    }
  }
}

TEST_F(QrApprovalTest, FailuresBeforeSendingCompleteOnTheCallersThreadAndSendNothing) {
  setUpDevice();
  VelqoV1QrPayload noToken = authPayload();
  noToken.phoneActionToken = "";
  struct Case {
    const char* name;
    VelqoV1QrPayload payload;
    std::string identifier;
    VelqoV1QrApprovalError expected;
  };
  const Case cases[] = {
      {"token checked before the identifier", noToken, " ",
       VelqoV1QrApprovalError("invalid_payload", "Missing phone_action_token in QR payload", false, false,
                              std::nullopt)},
      {"blank identifier (approval)", authPayload(), " \t",
       VelqoV1QrApprovalError("invalid_identifier", "Invalid user identifier", false, false, std::nullopt)},
      {"blank identifier (bind)", bindPayload(), "\n",
       VelqoV1QrApprovalError("invalid_identifier", "Invalid user identifier", false, false, std::nullopt)},
      {"no credential for the user", authPayload(), "bob",
       VelqoV1QrApprovalError("device_not_found", "Device record not found", false, true, std::nullopt)},
  };
  for (const auto& c : cases) {
    Catcher<Result> catcher(session);
    approvals()->approve(c.payload, c.identifier, true, catcher.callback());
    ASSERT_EQ(catcher.calls(), 1) << c.name;  // already reported when approve returns
    EXPECT_EQ(catcher.callerThread(), std::this_thread::get_id()) << c.name;
    EXPECT_EQ(catcher.wait(0ms)->error(), c.expected) << c.name;
  }
  EXPECT_EQ(service.requestCount(), 0u);
}

TEST_F(QrApprovalTest, NoHttpAnswerIsARetryableTransportError) {
  setUpDevice();
  Catcher<Result> catcher(session);
  auto approvalService = approvals("http://127.0.0.1:1/v1");
  approvalService->approve(authPayload(), "alice", true, catcher.callback());
  auto result = catcher.wait();
  ASSERT_TRUE(result.has_value() && !result->ok());
  EXPECT_EQ(result->error().code(), "transport_error");
  EXPECT_TRUE(result->error().retryable());
  EXPECT_FALSE(result->error().message().empty());
  EXPECT_TRUE(capture.hasPrefix("[V1][QR][WIRE][RESP_ERROR] error="));
}

TEST_F(QrApprovalTest, AReleasedServiceDropsItsPendingAnswer) {
  setUpDevice();
  qr.openAuthSession("sess-1", "n-1", "pat-1");
  Reply slow = localservice::V1Peer::answer("sess-1", R"({"type":"qr_approved"})");
  slow.delay = 300ms;
  v1.enqueue(slow);
  service.route("GET", "/probe", [](const localservice::RecordedRequest&) {
    Reply reply = Reply::json(200, "{}");
    reply.delay = 800ms;
    return reply;
  });

  Catcher<Result> catcher(session);
  auto approvalService = approvals();
  approvalService->approve(authPayload(), "alice", true, catcher.callback());
  ASSERT_TRUE(v1.waitForRequests(1, 5s));
  approvalService.reset();

  // The probe answers well after the approval's answer, on the same completion thread.
  Catcher<bool> probe;
  auto probeDone = probe.callback();
  session->dataTask(platform::HttpRequest{service.baseUrl() + "/probe", "GET", {}, {}, 5.0},
                    [probeDone](auto, auto, auto) { probeDone(true); });
  ASSERT_TRUE(probe.wait().has_value());
  EXPECT_EQ(catcher.calls(), 0);
}

}  // namespace
}  // namespace velqo::testing
