// QR approval over real HTTP; the loopback service verifies the proof with the keyset's key.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <tuple>

#include "platform/crypto.hpp"
#include "support/wait_bound.hpp"
#include "v1/flows/qr_oauth_test_support.hpp"
#include "v1/protocol/test_data.hpp"

namespace velqo::testing {
namespace {

using namespace std::chrono_literals;
using localservice::Reply;
using Result = VelqoV1QrApprovalService::ApprovalResult;
using Error = VelqoV1QrApprovalError;

Error err(std::string code, std::string message, bool retryable = false, bool clear = false,
          std::optional<std::int64_t> retryAfter = std::nullopt) {
  return Error(std::move(code), std::move(message), retryable, clear, retryAfter);
}

class QrApprovalTest : public QrApprovalFixture {
 protected:
  // `observe` runs inside the completion, before the result is caught.
  Result run(const VelqoV1QrPayload& payload, const std::string& identifier = " Alice ", bool remember = true,
             const std::function<void()>& observe = {}) {
    Catcher<Result> catcher(session);
    auto inner = catcher.callback();
    auto approvalService = approvals();  // held until the answer: a released service reports nothing
    approvalService->approve(payload, identifier, remember, [&](const Result& r) {
      if (observe) observe();
      inner(r);
    });
    auto result = catcher.wait();
    EXPECT_TRUE(result.has_value());
    EXPECT_TRUE(catcher.onCompletionThread());
    return result.value_or(Result::failure(err("no_result", "")));
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

TEST_F(QrApprovalTest, ApprovalAndBindAreVerifiedByTheServiceAndCarryTheV1Headers) {
  const std::string hindex = setUpDevice();
  qr.openAuthSession("sess-1", "n-1", "pat-1");

  const Result result = run(authPayload(), " Alice ", false);
  ASSERT_TRUE(result.ok()) << result.error().code() << ": " << result.error().message();
  EXPECT_EQ(result.value(), VelqoV1QrApprovalOutcome::approved());
  ASSERT_EQ(qr.decisions().size(), 1u);
  EXPECT_EQ(qr.decisions()[0].sessionId, "sess-1");
  EXPECT_EQ(qr.decisions()[0].h2index, hindex);
  EXPECT_FALSE(qr.decisions()[0].rememberDevice);

  const auto request = peer.exchanges().at(0).request;
  EXPECT_EQ(request.path, "/v1/auth");
  // The shared V1 headers (checked in full by the client's tests) with this approval's values.
  const std::vector<std::pair<const char*, std::string>> headers = {
      {"X-Config-Id", "cfg-1"},
      {"x-unique", platform::crypto::sha256Hex(platform::crypto::view(std::string_view("alice")))},
      {"X-Relying-Party", "rp.example"}};
  for (const auto& [name, value] : headers) EXPECT_EQ(request.header(name), value) << name;
  const auto envelope = nlohmann::json::parse(request.body);
  EXPECT_EQ(envelope["protocolVersion"], 2);
  EXPECT_EQ(envelope["session"], "sess-1");
  EXPECT_EQ(envelope["action"]["type"], "qr_auth_approve");
  EXPECT_EQ(envelope["action"]["phoneActionToken"], "pat-1");

  // Wire lines are written, without the proof's secrets; the credential stays.
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][REQ] method=POST url=" + peer.baseURL() + "/auth"));
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][RESP] status=200"));
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][REQ_HEADERS] [", true));
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][RESP_BODY]\n", true));
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.find(envelope["action"]["signature"].get<std::string>()), std::string::npos) << line;
    EXPECT_EQ(line.find(envelope["action"]["sk2"].get<std::string>()), std::string::npos) << line;
  }
  EXPECT_TRUE(deviceTrust->deviceCredentials("alice").has_value());

  // A bind names the normalised user.
  qr.openBindSession("bind-1", "n-2");
  const Result bound = run(bindPayload(), "  ALICE\n", true);
  ASSERT_TRUE(bound.ok()) << bound.error().code() << ": " << bound.error().message();
  EXPECT_EQ(bound.value(), VelqoV1QrApprovalOutcome::bound("alice"));
  ASSERT_EQ(qr.decisions().size(), 2u);
  EXPECT_EQ(qr.decisions()[1].userid, "alice");
  EXPECT_TRUE(qr.decisions()[1].rememberDevice);

  const auto bindRequest = service.requests().back();
  EXPECT_EQ(bindRequest.path, "/v1/auth/qr-bind");
  std::vector<std::string> keysInOrder;
  const auto body = nlohmann::ordered_json::parse(bindRequest.body);
  for (const auto& item : body.items()) keysInOrder.push_back(item.key());
  EXPECT_EQ(keysInOrder, (std::vector<std::string>{"session_id", "nonce", "userid", "h2index", "signature",
                                                   "sk2", "remember_device"}));
}

TEST_F(QrApprovalTest, RefusedProofsClearTheCredentialBeforeTheCompletionReportsIt) {
  struct Case {
    const char* name;
    bool bind;
    bool forgetDevice;  // the service no longer knows the device
    std::string scanned;
    Error expected;
  };
  const Case cases[] = {
      {"proof for another nonce", false, false, "sess-1:forged-nonce:pat-1",
       err("invalid_signature", "Invalid signature", false, true)},
      {"approval: V1 error envelope", false, true, "sess-1:n-1:pat-1",
       err("device_not_found", "Device not found", false, true)},
      {"bind: plain error body", true, true, "", err("http_error", "Device not found", false, true)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string hindex = setUpDevice();
    if (c.forgetDevice) keys->remove(hindex);
    qr.openAuthSession("sess-1", "n-1", "pat-1");
    qr.openBindSession("bind-1", "n-2");
    std::optional<bool> recordPresentInCompletion;
    const Result result = run(c.bind ? bindPayload() : authPayload(c.scanned), "alice", true, [&] {
      recordPresentInCompletion = deviceTrust->deviceCredentials("alice").has_value();
    });
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), c.expected);
    EXPECT_EQ(recordPresentInCompletion, false);
  }
  EXPECT_TRUE(qr.decisions().empty());
}

TEST_F(QrApprovalTest, ErrorAndUnexpectedAnswersBecomeErrorRecords) {
  for (const auto& c : testData("qr_error_answers.json")) {
    SCOPED_TRACE(c["name"].get<std::string>());
    const auto& body = c["body"];
    const int status = c["status"];
    Reply reply = body.is_null()
                      ? Reply::empty(status)
                      : Reply::json(status, body.is_string() ? body.get<std::string>() : body.dump());
    if (c["retryAfterHeader"].is_string()) {
      reply.headers.emplace_back("Retry-After", c["retryAfterHeader"].get<std::string>());
    }
    const auto& e = c["expected"];
    const Result expected =
        e.contains("bound")
            ? Result::success(VelqoV1QrApprovalOutcome::bound(std::nullopt))
            : Result::failure(err(e["code"].get<std::string>(), e["message"].get<std::string>(),
                                  e["retryable"].get<bool>(), e["clear"].get<bool>(),
                                  e["retryAfter"].is_null()
                                      ? std::nullopt
                                      : std::optional(e["retryAfter"].get<std::int64_t>())));
    setUpDevice();
    if (c["bind"].get<bool>()) {
      qr.enqueueBindReply(reply);
    } else {
      peer.enqueue(reply);
    }
    const Result result = run(c["bind"].get<bool>() ? bindPayload() : authPayload());
    ASSERT_EQ(result.ok(), expected.ok());
    if (result.ok()) {
      EXPECT_EQ(result.value(), expected.value());
    } else {
      EXPECT_EQ(result.error(), expected.error());
      EXPECT_EQ(deviceTrust->deviceCredentials("alice").has_value(), !result.error().shouldClearRecord());
    }
  }
}

TEST_F(QrApprovalTest, FailuresBeforeSendingCompleteOnTheCallersThreadAndSendNothing) {
  setUpDevice();
  VelqoV1QrPayload noToken = authPayload();
  noToken.phoneActionToken = "";
  VelqoV1QrPayload unencodable = authPayload();
  unencodable.sessionId = "\xFF\xFE";
  struct Case {
    const char* name;
    VelqoV1QrPayload payload;
    std::string identifier;
    Error expected;
  };
  const Case cases[] = {
      {"token checked before the identifier", noToken, " ",
       err("invalid_payload", "Missing phone_action_token in QR payload")},
      {"blank identifier (approval)", authPayload(), " \t",
       err("invalid_identifier", "Invalid user identifier")},
      {"blank identifier (bind)", bindPayload(), "\n", err("invalid_identifier", "Invalid user identifier")},
      {"no credential for the user", authPayload(), "bob",
       err("device_not_found", "Device record not found", false, true)},
      {"unencodable request", unencodable, "alice",
       err("request_encoding_failed", "Failed to encode QR auth approval request")},
  };
  for (const auto& c : cases) {
    Catcher<Result> catcher(session);
    approvals()->approve(c.payload, c.identifier, true, catcher.callback());
    ASSERT_EQ(catcher.calls(), 1) << c.name;  // already reported when approve returns
    EXPECT_EQ(catcher.callerThread(), std::this_thread::get_id()) << c.name;
    EXPECT_EQ(catcher.wait(0ms)->error(), c.expected) << c.name;
  }
  // Signers that fail: their errors pass on, and clear the record only when they say so.
  struct FailingSigner : VelqoV1QrSigning {
    std::function<void()> thrower;
    std::vector<std::string> cleared;
    VelqoV1QrSignaturePayload signQrMessage(const std::string&, const std::string&) override {
      thrower();
      throw std::logic_error("the thrower returned");
    }
    void clearRecord(const std::string& identifier) override { cleared.push_back(identifier); }
  };
  const std::vector<std::tuple<std::function<void()>, Error, bool>> signers = {
      {[] { throw std::runtime_error("no key today"); }, err("signing_failed", "no key today"), false},
      {[] { throw VelqoV1DeviceCryptoError("decryption_failed", "QR signing failed", true); },
       err("decryption_failed", "QR signing failed", false, true), true},
      {[] { throw VelqoV1DeviceCryptoError("invalid_signature", "QR signing failed", false); },
       err("invalid_signature", "QR signing failed"), false},
  };
  for (const auto& [thrower, expected, clears] : signers) {
    for (const VelqoV1QrPayload& payload : {authPayload(), bindPayload()}) {
      auto signer = std::make_shared<FailingSigner>();
      signer->thrower = thrower;
      Catcher<Result> catcher(session);
      VelqoV1QrApprovalService::create(approvals()->config(), signer, session)
          ->approve(payload, "alice", true, catcher.callback());
      ASSERT_EQ(catcher.calls(), 1);
      EXPECT_EQ(catcher.wait(0ms)->error(), expected);
      EXPECT_EQ(signer->cleared, clears ? std::vector<std::string>{"alice"} : std::vector<std::string>{});
    }
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
  EXPECT_TRUE(capture.has("[V1][QR][WIRE][RESP_ERROR] error=", true));
}

TEST_F(QrApprovalTest, AReleasedServiceDropsItsPendingAnswer) {
  setUpDevice();
  qr.openAuthSession("sess-1", "n-1", "pat-1");
  Reply slow = localservice::V1Peer::answer("sess-1", R"({"type":"qr_approved"})");
  slow.delay = 300ms;
  peer.enqueue(slow);
  Catcher<Result> catcher(session);
  auto approvalService = approvals();
  approvalService->approve(authPayload(), "alice", true, catcher.callback());
  ASSERT_TRUE(peer.waitForRequests(1, kWaitBound));
  approvalService.reset();
  ASSERT_TRUE(probeAfterEarlierAnswers(service, *session));
  EXPECT_EQ(catcher.calls(), 0);
}

}  // namespace
}  // namespace velqo::testing
