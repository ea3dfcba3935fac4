// Whole V1 sign-ins through VelqoV1SDK over real HTTP against the loopback reference service.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/crypto.hpp"
#include "platform/encoding.hpp"
#include "support/test_environment.hpp"
#include "v1/flows/qr_oauth_test_support.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/oauth_exchange_service.hpp"
#include "velqo/v1/flows/qr_approval_service.hpp"
#include "velqo/v1/flows/qr_payload.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

namespace velqo::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Update = VelqoV1FlowUpdate;
using Strings = std::vector<std::string>;
using platform::HardwareKeyMode;
namespace ls = localservice;

const std::string kUser = "Ada.Lovelace@example.com";

/// "prompt:enterCode", "completed", "error:device_not_found", ... for readable expectations.
std::string describe(const Update& update) {
  static const char* const prompts[] = {"selectMethod", "enterCode",     "setupTotp", "setupSms",
                                        "redirect",     "awaitApproval", "enterTotp"};
  if (const auto* p = update.as<Update::Prompt>())
    return std::string("prompt:") + prompts[p->prompt.payload().index()];
  if (update.as<Update::Completed>()) return "completed";
  if (const auto* e = update.as<Update::Error>()) return "error:" + e->code;
  return update.as<Update::Loading>() ? "loading" : "idle";
}
Strings describe(const std::vector<Update>& updates) {
  Strings out;
  for (const auto& u : updates) out.push_back(describe(u));
  return out;
}

/// Plays the user at one device: answers select_method with `method` and enter_code with the
/// code the service sent, and keeps every update. Updates arrive on the main queue, which only
/// the test thread drives, so no lock is needed.
class UserAtDevice {
 public:
  UserAtDevice(VelqoV1SDK& sdk, std::function<std::string(const std::string&)> codeFor, std::string method)
      : flow_(sdk.flow()), codeFor_(std::move(codeFor)), method_(std::move(method)) {
    sdk.flow()->setOnUpdate([this](const Update& update) {
      updates.push_back(update);
      const auto* prompt = update.as<Update::Prompt>();
      auto flow = flow_.lock();
      if (!prompt || !flow) return;
      if (prompt->prompt.as<VelqoV1UserPrompt::SelectMethod>()) flow->selectMethod(method_);
      if (prompt->prompt.as<VelqoV1UserPrompt::EnterCode>())
        flow->submitCode(codeFor_(prompt->context.session()));
    });
  }
  ~UserAtDevice() {
    if (auto flow = flow_.lock()) flow->setOnUpdate({});
  }
  UserAtDevice(const UserAtDevice&) = delete;
  UserAtDevice& operator=(const UserAtDevice&) = delete;

  /// Drives the main queue until an update (not looked at before) satisfies `condition`.
  bool waitFor(const std::function<bool(const Update&)>& condition) {
    return platform::mainQueue().runUntil(
        [&] {
          for (; checked_ < updates.size(); ++checked_)
            if (condition(updates[checked_])) return ++checked_, true;
          return false;
        },
        20s);
  }
  bool waitForEnd() {
    return waitFor([](const Update& u) { return u.as<Update::Completed>() || u.as<Update::Error>(); });
  }

  std::vector<Update> updates;

 private:
  std::weak_ptr<VelqoV1FlowController> flow_;
  std::function<std::string(const std::string&)> codeFor_;
  std::string method_;
  std::size_t checked_ = 0;
};

class SigninE2E : public ::testing::Test {
 protected:
  void SetUp() override { platform::setItemStore(items); }
  void TearDown() override {
    platform::keys::setHardwareKeyMode(HardwareKeyMode::available);
    platform::mainQueue().runUntil([] { return false; }, 50ms);  // let stray blocks run out
    platform::setItemStore(nullptr);
  }

  std::shared_ptr<VelqoV1SDK> makeSdk(const std::string& configId = "cfg-e2e") {
    return VelqoV1SDK::create(configId, reference.baseURL(), std::string("9.9.9"));
  }
  /// The user at `sdk`'s device, typing the codes this service sent.
  std::unique_ptr<UserAtDevice> userAt(VelqoV1SDK& sdk, std::string method = "email_otp") {
    return std::make_unique<UserAtDevice>(
        sdk,
        [this](const std::string& s) {
          std::lock_guard lock(codesMutex);
          return codes[s];
        },
        std::move(method));
  }
  /// One whole sign-in of `identifier`; returns its updates (the last ends the flow).
  std::vector<Update> signIn(VelqoV1SDK& sdk, const std::string& identifier = kUser) {
    auto user = userAt(sdk);
    sdk.start(VelqoV1FlowType::signin, identifier);
    EXPECT_TRUE(user->waitForEnd()) << ::testing::PrintToString(describe(user->updates));
    return user->updates;
  }
  /// Action types the service received from request number `from` on.
  Strings actionsSince(std::size_t from) {
    Strings out;
    const auto exchanges = reference.peer().exchanges();
    for (std::size_t i = from; i < exchanges.size(); ++i) out.push_back(exchanges[i].actionType);
    return out;
  }
  Json actionAt(std::size_t index) {
    return Json::parse(reference.peer().exchanges().at(index).request.body).at("action");
  }
  /// Redeems a completed sign-in's code with its PKCE verifier at the service's token endpoint,
  /// checks the ID token independently, and returns its subject.
  std::string redeem(const Update& update, const std::string& configId = "cfg-e2e") {
    const auto* done = update.as<Update::Completed>();
    if (!done) {
      ADD_FAILURE() << "not completed: " << describe(update);
      return "";
    }
    EXPECT_TRUE(done->codeVerifier && !done->codeVerifier->empty());
    auto exchange = VelqoV1OAuthExchangeService::create(
        {reference.tokenEndpointURL(), configId, reference.idTokenPublicKeyPem()}, session);
    Catcher<VelqoV1OAuthExchangeService::ExchangeResult> catcher;
    exchange->exchange(done->authCode, done->codeVerifier, catcher.callback());
    const auto answer = catcher.wait();
    if (!answer || !answer->ok()) {
      ADD_FAILURE() << "not redeemed: " << (answer ? answer->error().text() : "no answer");
      return "";
    }
    const std::string& idToken = answer->value().idToken;
    EXPECT_NO_THROW((OAuthTokenVerifier{reference.idTokenPublicKeyPem(), configId}.verify(idToken)));
    const auto dot = idToken.find('.');
    const auto claims = platform::base64UrlDecode(idToken.substr(dot + 1, idToken.rfind('.') - dot - 1));
    return claims ? Json::parse(claims->begin(), claims->end()).value("sub", "") : "";
  }
  std::optional<VelqoV1DeviceCryptoRecord> record(VelqoV1SDK& sdk) {
    return sdk.crypto()->store()->load(kUser, sdk.projectId());
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
  std::shared_ptr<platform::HttpSession> session = platform::HttpSession::create();
  std::mutex codesMutex;
  std::map<std::string, std::string> codes;  ///< session -> last code sent
  ls::LocalService service;
  ls::V1ReferenceFlow reference{service, [this] {
                                  ls::V1ReferenceOptions o;
                                  o.onCodeSent = [this](const ls::SentCode& c) {
                                    std::lock_guard lock(codesMutex);
                                    codes[c.session] = c.code;
                                  };
                                  return o;
                                }()};
};

class SigninE2EHardware : public SigninE2E, public ::testing::WithParamInterface<HardwareKeyMode> {};

TEST_P(SigninE2EHardware, FirstSigninSetsTheDeviceUpAndTheNextIsProvenByChallenge) {
  platform::keys::setHardwareKeyMode(GetParam());
  const bool hardware = GetParam() == HardwareKeyMode::available;

  auto sdk = makeSdk();
  const auto first = signIn(*sdk);
  EXPECT_EQ(describe(first), (Strings{"prompt:selectMethod", "prompt:enterCode", "completed"}));
  EXPECT_EQ(actionsSince(0),
            (Strings{"start", "select_method", "submit_code", "request_challenge", "submit_signature"}));
  const auto stored = record(*sdk);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->userIdentifier(), "ada.lovelace@example.com");
  EXPECT_EQ(stored->wrapMetadata().kind(),
            hardware ? VelqoV1WrapMetadata::Kind::secureEnclave : VelqoV1WrapMetadata::Kind::fallback);
  EXPECT_EQ(items->itemCount(), hardware ? 2u : 1u) << "a hardware key exists only when the store offers one";
  EXPECT_EQ(reference.registeredDeviceCount(), 1u);
  const std::string subject = redeem(first.back());
  EXPECT_FALSE(subject.empty());

  // The same user again, from a fresh entry object (as after an application restart).
  sdk = makeSdk();
  const std::size_t before = reference.peer().requestCount();
  const auto second = signIn(*sdk, "  ada.lovelace@EXAMPLE.com ");
  EXPECT_EQ(describe(second), Strings{"completed"}) << "no prompt for a returning device";
  EXPECT_EQ(actionsSince(before), (Strings{"start", "submit_signature"}));
  EXPECT_EQ(actionAt(before).at("deviceCredentials").at("hindex"), stored->hindex());
  EXPECT_EQ(actionAt(before).at("deviceCredentials").at("keyset"), stored->keyset());
  EXPECT_EQ(reference.returningDeviceCount(), 1u);
  EXPECT_EQ(reference.registeredDeviceCount(), 1u);
  EXPECT_EQ(record(*sdk), stored) << "a challenge leaves the record as it was";
  EXPECT_EQ(redeem(second.back()), subject);
}

INSTANTIATE_TEST_SUITE_P(KeyStore, SigninE2EHardware,
                         ::testing::Values(HardwareKeyMode::available, HardwareKeyMode::notAvailable),
                         [](const auto& param) {
                           return param.param == HardwareKeyMode::available ? "Hardware" : "Fallback";
                         });

TEST_F(SigninE2E, ApprovalIsPolledUntilAnotherDeviceOfTheUserApproves) {
  // Device A (its own configuration, so its credential is separate) is set up first.
  auto deviceA = makeSdk("cfg-a");
  signIn(*deviceA);
  ASSERT_TRUE(record(*deviceA));

  auto deviceB = makeSdk("cfg-b");
  auto user = userAt(*deviceB, "qr_approval");
  deviceB->start(VelqoV1FlowType::signin, kUser);
  ASSERT_TRUE(user->waitFor([](const Update& u) { return describe(u) == "prompt:awaitApproval"; }));
  const auto* waiting =
      user->updates.back().as<Update::Prompt>()->prompt.as<VelqoV1UserPrompt::AwaitApproval>();
  ASSERT_TRUE(waiting && waiting->qrData);
  const auto payload = VelqoV1QrPayloadParser::parse(*waiting->qrData);
  ASSERT_TRUE(payload && payload->type == VelqoV1QrPayloadType::qrAuth);

  // Let at least one poll come back unapproved before device A approves.
  const auto polls = [this] {
    const auto a = actionsSince(0);
    return std::count(a.begin(), a.end(), "poll");
  };
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return polls() >= 1; }, 30s));
  auto approval = VelqoV1QrApprovalService::create(deviceA->client()->config(), deviceA->crypto(), session);
  Catcher<VelqoV1QrApprovalService::ApprovalResult> approved;
  approval->approveQrAuth(*payload, kUser, true, approved.callback());
  const auto result = approved.wait();
  ASSERT_TRUE(result && result->ok()) << (result ? result->error().code() : "no answer");

  ASSERT_TRUE(user->waitForEnd());
  EXPECT_EQ(describe(user->updates), (Strings{"prompt:selectMethod", "prompt:awaitApproval", "completed"}))
      << "unchanged poll answers emit nothing";
  EXPECT_GE(polls(), 2);
  ASSERT_TRUE(record(*deviceB)) << "the approved device is set up too";
  EXPECT_EQ(reference.registeredDeviceCount(), 2u);
  redeem(user->updates.back(), "cfg-b");
}

TEST_F(SigninE2E, DeviceNotFoundInvalidatesTheCredentialAndTheNextSigninSetsUpAgain) {
  auto sdk = makeSdk();
  signIn(*sdk);
  const auto stored = record(*sdk);
  ASSERT_TRUE(stored);

  // The service has lost the device: it refuses a start naming that hindex.
  reference.peer().enqueue([hindex = stored->hindex()](const ls::V1Exchange& ex) {
    const Json action = Json::parse(ex.request.body).at("action");
    const bool named =
        action.contains("deviceCredentials") && action["deviceCredentials"].value("hindex", "") == hindex;
    return ls::V1Peer::answer("",
                              ls::V1Peer::errorPrompt(named ? "device_not_found" : "unexpected_start",
                                                      "restart_flow", "Device not found"),
                              404);
  });
  const auto refused = signIn(*sdk);
  ASSERT_EQ(describe(refused), Strings{"error:device_not_found"});
  EXPECT_EQ(refused.back().as<Update::Error>()->action, VelqoV1ErrorAction::restartFlow());
  EXPECT_FALSE(record(*sdk)) << "the credential is invalidated";
  EXPECT_EQ(items->itemCount(), 0u) << "its hardware key too";

  const std::size_t before = reference.peer().requestCount();
  const auto again = signIn(*sdk);
  EXPECT_EQ(describe(again), (Strings{"prompt:selectMethod", "prompt:enterCode", "completed"}));
  EXPECT_FALSE(actionAt(before).contains("deviceCredentials"));
  ASSERT_TRUE(record(*sdk));
  EXPECT_NE(record(*sdk)->hindex(), stored->hindex());
  EXPECT_EQ(reference.registeredDeviceCount(), 2u);
  redeem(again.back());
}

TEST(ReferenceFlowState, DevicesReadFromTheStateFileWhoseKeysetsDoNotOpenAreForgotten) {
  const Bytes key(32, 7), nonce(12, 1), plain(40, 9);  // public key, then the salt
  const auto sealed = platform::crypto::aesGcmSeal(key, nonce, plain);
  ASSERT_TRUE(sealed);
  Bytes keyset = nonce;
  keyset.insert(keyset.end(), sealed->ciphertext.begin(), sealed->ciphertext.end());
  keyset.insert(keyset.end(), sealed->tag.begin(), sealed->tag.end());
  const Json good = {{"identifier", "a@example.com"},
                     {"keyset", platform::base64Encode(keyset)},
                     {"sk2", platform::base64Encode(key)}};
  Json bad = good;
  bad["sk2"] = platform::base64Encode(Bytes(32, 8));
  const auto file = makeTempDirectory("reference-state") / "state.json";
  std::ofstream(file) << Json{{"version", 1}, {"devices", {{"good", good}, {"bad", bad}}}}.dump();
  ls::LocalService service;
  ls::V1ReferenceOptions options;
  options.stateFile = file;
  ls::V1ReferenceFlow flow(service, options);
  EXPECT_EQ(flow.registeredDeviceCount(), 1u);
}

}  // namespace
}  // namespace velqo::testing
