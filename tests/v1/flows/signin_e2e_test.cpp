// Whole V1 sign-ins through VelqoV1SDK over real HTTP against the loopback reference service:
// device set-up, returning devices proven by a challenge, approval polling, automatic choices,
// and the ways a stored credential is given up (service no longer knows it, record tampered).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/encoding.hpp"
#include "velqo/core/oauth_token_verifier.hpp"
#include "velqo/platform/clock.hpp"
#include "velqo/platform/http.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/secure_keys.hpp"
#include "velqo/v1/flows/oauth_exchange_service.hpp"
#include "velqo/v1/flows/qr_approval_service.hpp"
#include "velqo/v1/flows/qr_payload.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"
#include "velqo_localservice/local_service.hpp"
#include "velqo_localservice/v1_peer.hpp"
#include "velqo_localservice/v1_reference_flow.hpp"

namespace velqo::testing {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using Policy = VelqoV1PrimaryMethodSelectionPolicy;
using Update = VelqoV1FlowUpdate;
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

std::vector<std::string> describe(const std::vector<Update>& updates) {
  std::vector<std::string> out;
  for (const auto& u : updates) out.push_back(describe(u));
  return out;
}

bool ends(const Update& u) {
  return u.as<Update::Completed>() || u.as<Update::Error>();
}

/// Plays the user at one device: answers select_method with `method` and enter_code with the
/// code the service sent, and keeps every update. Updates arrive on the main queue, which only
/// the test thread drives, so no lock is needed.
class UserAtDevice {
 public:
  UserAtDevice(VelqoV1SDK& sdk, std::function<std::string(const std::string&)> codeFor,
               std::string method = "email_otp")
      : flow_(sdk.flow()), codeFor_(std::move(codeFor)), method_(std::move(method)) {
    sdk.flow()->setOnUpdate([this](const Update& update) { onUpdate(update); });
  }
  ~UserAtDevice() {
    if (auto flow = flow_.lock()) flow->setOnUpdate({});
  }
  UserAtDevice(const UserAtDevice&) = delete;
  UserAtDevice& operator=(const UserAtDevice&) = delete;

  /// Drives the main queue until an update satisfies `condition`.
  bool waitFor(const std::function<bool(const Update&)>& condition, platform::Duration timeout = 20s) {
    return platform::mainQueue().runUntil(
        [&] {
          for (; checked_ < updates.size(); ++checked_)
            if (condition(updates[checked_])) return ++checked_, true;
          return false;
        },
        timeout);
  }
  bool waitForEnd() { return waitFor(ends); }

  std::vector<Update> updates;

 private:
  void onUpdate(const Update& update) {
    updates.push_back(update);
    const auto* prompt = update.as<Update::Prompt>();
    auto flow = flow_.lock();
    if (!prompt || !flow) return;
    if (prompt->prompt.as<VelqoV1UserPrompt::SelectMethod>()) flow->selectMethod(method_);
    if (prompt->prompt.as<VelqoV1UserPrompt::EnterCode>())
      flow->submitCode(codeFor_(prompt->context.session()));
  }

  std::weak_ptr<VelqoV1FlowController> flow_;
  std::function<std::string(const std::string&)> codeFor_;
  std::string method_;
  std::size_t checked_ = 0;
};

class SigninE2E : public ::testing::Test {
 protected:
  void SetUp() override { platform::setItemStore(items); }
  void TearDown() override {
    platform::setClockOverride({});
    platform::keys::setHardwareKeyMode(HardwareKeyMode::available);
    platform::mainQueue().runUntil([] { return false; }, 50ms);  // let stray blocks run out
    platform::setItemStore(nullptr);
  }

  std::shared_ptr<VelqoV1SDK> makeSdk(const std::string& configId = "cfg-e2e",
                                      Policy policy = Policy::manual) {
    return VelqoV1SDK::create(configId, reference.baseURL(), std::string("9.9.9"), std::nullopt, true,
                              policy);
  }

  std::string sentCode(const std::string& session) {
    std::lock_guard lock(codesMutex);
    return codes[session];
  }

  /// The user at `sdk`'s device, typing the codes this service sent.
  UserAtDevice userAt(VelqoV1SDK& sdk, std::string method = "email_otp") {
    return UserAtDevice(
        sdk, [this](const std::string& s) { return sentCode(s); }, std::move(method));
  }

  /// One whole sign-in of `identifier`; returns its updates (the last ends the flow).
  std::vector<Update> signIn(VelqoV1SDK& sdk, const std::string& identifier = kUser,
                             const std::string& method = "email_otp") {
    UserAtDevice user = userAt(sdk, method);
    sdk.start(VelqoV1FlowType::signin, identifier);
    EXPECT_TRUE(user.waitForEnd()) << ::testing::PrintToString(describe(user.updates));
    return user.updates;
  }

  /// Service-side action types received from request number `from` on.
  std::vector<std::string> actionsSince(std::size_t from) {
    std::vector<std::string> out;
    const auto exchanges = reference.peer().exchanges();
    for (std::size_t i = from; i < exchanges.size(); ++i) out.push_back(exchanges[i].actionType);
    return out;
  }

  /// Redeems a completed sign-in's code with its PKCE verifier and checks the ID token; returns
  /// its subject.
  std::string redeem(const Update& update, const std::string& configId = "cfg-e2e") {
    const auto* done = update.as<Update::Completed>();
    if (!done) {
      ADD_FAILURE() << "not completed: " << describe(update);
      return "";
    }
    EXPECT_TRUE(done->codeVerifier && !done->codeVerifier->empty());
    const VelqoOAuthConfig config{reference.tokenEndpointURL(), configId, reference.idTokenPublicKeyPem()};
    auto exchange = VelqoV1OAuthExchangeService::create(config, platform::HttpSession::shared());
    const auto result = std::make_shared<std::optional<VelqoV1OAuthExchangeService::ExchangeResult>>();
    exchange->exchange(done->authCode, done->codeVerifier, [result](const auto& r) {
      platform::mainQueue().async([result, r] { *result = r; });
    });
    EXPECT_TRUE(platform::mainQueue().runUntil([&] { return result->has_value(); }, 10s));
    const auto& answer = *result;
    if (!answer || !answer->ok()) {
      ADD_FAILURE() << "code not redeemed: " << (answer ? answer->error().text() : "no answer");
      return "";
    }
    const std::string& idToken = answer->value().idToken;
    EXPECT_NO_THROW((OAuthTokenVerifier{reference.idTokenPublicKeyPem(), configId}.verify(idToken)));
    const auto dot = idToken.find('.');
    const auto claims = platform::base64UrlDecode(idToken.substr(dot + 1, idToken.rfind('.') - dot - 1));
    return claims ? Json::parse(claims->begin(), claims->end()).value("sub", "") : "";
  }

  std::optional<VelqoV1DeviceCryptoRecord> record(VelqoV1SDK& sdk, const std::string& identifier = kUser) {
    return sdk.crypto()->store()->load(identifier, sdk.projectId());
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
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

// ---- first and returning sign-in, with and without the hardware key store ----

class SigninE2EHardware : public SigninE2E, public ::testing::WithParamInterface<HardwareKeyMode> {};

TEST_P(SigninE2EHardware, FirstSigninSetsTheDeviceUpAndTheNextIsProvenByChallenge) {
  platform::keys::setHardwareKeyMode(GetParam());
  const bool hardware = GetParam() == HardwareKeyMode::available;

  auto sdk = makeSdk();
  const auto first = signIn(*sdk);
  EXPECT_EQ(describe(first),
            (std::vector<std::string>{"prompt:selectMethod", "prompt:enterCode", "completed"}));
  EXPECT_EQ(actionsSince(0), (std::vector<std::string>{"start", "select_method", "submit_code",
                                                       "request_challenge", "submit_signature"}));
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
  EXPECT_EQ(describe(second), std::vector<std::string>{"completed"}) << "no prompt for a returning device";
  EXPECT_EQ(actionsSince(before), (std::vector<std::string>{"start", "submit_signature"}));
  const Json start = Json::parse(reference.peer().exchanges()[before].request.body).at("action");
  EXPECT_EQ(start.at("deviceCredentials").at("hindex"), stored->hindex());
  EXPECT_EQ(start.at("deviceCredentials").at("keyset"), stored->keyset());
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

// ---- approval on another device ----

TEST_F(SigninE2E, ApprovalIsPolledUntilAnotherDeviceOfTheUserApproves) {
  // Device A (its own configuration, so its credential is separate) is set up first.
  auto deviceA = makeSdk("cfg-a");
  signIn(*deviceA);
  ASSERT_TRUE(record(*deviceA));

  auto deviceB = makeSdk("cfg-b");
  UserAtDevice user = userAt(*deviceB, "qr_approval");
  deviceB->start(VelqoV1FlowType::signin, kUser);
  ASSERT_TRUE(user.waitFor([](const Update& u) { return describe(u) == "prompt:awaitApproval"; }));
  const auto* waiting =
      user.updates.back().as<Update::Prompt>()->prompt.as<VelqoV1UserPrompt::AwaitApproval>();
  ASSERT_TRUE(waiting && waiting->qrData);
  const auto payload = VelqoV1QrPayloadParser::parse(std::string(*waiting->qrData));
  ASSERT_TRUE(payload && payload->type == VelqoV1QrPayloadType::qrAuth);

  // Let at least one poll come back unapproved before device A approves.
  auto polls = [this] {
    const auto a = actionsSince(0);
    return std::count(a.begin(), a.end(), "poll");
  };
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return polls() >= 1; }, 5s));
  auto approval = VelqoV1QrApprovalService::create(deviceA->client()->config(), deviceA->crypto(),
                                                   platform::HttpSession::shared());
  const auto approved = std::make_shared<std::optional<VelqoV1QrApprovalService::ApprovalResult>>();
  approval->approveQrAuth(*payload, kUser, true, [approved](const auto& r) {
    platform::mainQueue().async([approved, r] { *approved = r; });
  });
  ASSERT_TRUE(platform::mainQueue().runUntil([&] { return approved->has_value(); }, 10s));
  ASSERT_TRUE((*approved)->ok()) << (*approved)->error().code();

  ASSERT_TRUE(user.waitForEnd());
  EXPECT_EQ(describe(user.updates),
            (std::vector<std::string>{"prompt:selectMethod", "prompt:awaitApproval", "completed"}))
      << "unchanged poll answers emit nothing";
  EXPECT_GE(polls(), 2);
  ASSERT_TRUE(record(*deviceB)) << "the approved device is set up too";
  EXPECT_EQ(reference.registeredDeviceCount(), 2u);
  redeem(user.updates.back(), "cfg-b");
}

TEST_F(SigninE2E, ApprovalExpiresLocallyAndPollingStops) {
  auto sdk = makeSdk();
  UserAtDevice user = userAt(*sdk, "qr_approval");
  sdk->start(VelqoV1FlowType::signin, kUser);
  ASSERT_TRUE(user.waitFor([](const Update& u) { return describe(u) == "prompt:awaitApproval"; }));
  ASSERT_TRUE(reference.peer().waitForRequests(3, 5s)) << "a first poll";

  // The service's session lives 300 seconds; move the library's clock past it.
  const auto later = platform::WallClock::now() + 10min;
  platform::setClockOverride([later] { return later; });
  ASSERT_TRUE(user.waitForEnd());
  const auto* error = user.updates.back().as<Update::Error>();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, "session_expired");
  EXPECT_EQ(error->message, "Approval expired");
  EXPECT_FALSE(error->retryable);

  const std::size_t requests = reference.peer().requestCount();
  platform::mainQueue().runUntil([] { return false; }, 1500ms);
  EXPECT_EQ(reference.peer().requestCount(), requests) << "no poll after the expiry";
  EXPECT_EQ(user.updates.size(), 3u);
}

// ---- automatic choices ----

TEST_F(SigninE2E, AutomaticPolicySelectsTheEmailMethodWithoutShowingTheChoice) {
  auto sdk = makeSdk("cfg-e2e", Policy::automaticFromIdentifier);
  const auto updates = signIn(*sdk, kUser, "none-offered");
  EXPECT_EQ(describe(updates), (std::vector<std::string>{"prompt:enterCode", "completed"}));
  const auto exchanges = reference.peer().exchanges();
  ASSERT_GE(exchanges.size(), 2u);
  EXPECT_EQ(Json::parse(exchanges[1].request.body).at("action").at("methodId"), "email_otp");
  redeem(updates.back());
}

TEST_F(SigninE2E, AutomaticSmsSubmissionSendsThePhoneIdentifierOncePerSession) {
  // The reference flow has no SMS set-up step: a scripted peer on its own path plays it,
  // checking every request it answers.
  ls::V1Peer sms(service, "/sms/v1");
  using Ex = ls::V1Exchange;
  auto expect = [](std::string type, std::string key, std::string value, std::string prompt) {
    return [=](const Ex& ex) {
      const Json action = Json::parse(ex.request.body).at("action");
      if (ex.actionType != type || (!key.empty() && action.value(key, "") != value))
        return ls::V1Peer::answer("sms-1", ls::V1Peer::errorPrompt("unexpected", "abort", ex.request.body));
      return ls::V1Peer::answer("sms-1", prompt);
    };
  };
  const std::string setupSms = R"({"type":"setup_sms"})";
  sms.enqueue(
      expect("start", "identifier", " +1 (555) 010-2030 ",
             R"({"type":"select_method","phase":"primary","methods":[{"id":"voice_phone","label":"Call"},)"
             R"({"id":"sms_otp","label":"Text"}]})"));
  sms.enqueue(expect("select_method", "methodId", "voice_phone", setupSms));
  sms.enqueue(expect("submit_phone", "phone", "+1 (555) 010-2030", setupSms));
  sms.enqueue(expect("submit_phone", "phone", "+15550102030", ls::V1Peer::completedPrompt("code-sms")));

  auto sdk = VelqoV1SDK::create("cfg-sms", sms.baseURL(), std::nullopt, std::nullopt, true,
                                Policy::automaticFromIdentifier);
  UserAtDevice user(*sdk, [](const std::string&) { return std::string(); });
  sdk->start(VelqoV1FlowType::signin, " +1 (555) 010-2030 ");
  ASSERT_TRUE(user.waitFor([](const Update& u) { return describe(u) == "prompt:setupSms" || ends(u); }));
  sdk->flow()->submitPhone("+15550102030");
  ASSERT_TRUE(user.waitForEnd());
  EXPECT_EQ(describe(user.updates), (std::vector<std::string>{"prompt:setupSms", "completed"}))
      << "the first set-up prompt is answered by itself, the second for the same session is shown";
  EXPECT_EQ(sms.requestCount(), 4u);
}

// ---- giving a credential up ----

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
  ASSERT_EQ(describe(refused), std::vector<std::string>{"error:device_not_found"});
  EXPECT_EQ(refused.back().as<Update::Error>()->action, VelqoV1ErrorAction::restartFlow());
  EXPECT_FALSE(record(*sdk)) << "the credential is invalidated";
  EXPECT_EQ(items->itemCount(), 0u) << "its hardware key too";

  const std::size_t before = reference.peer().requestCount();
  const auto again = signIn(*sdk);
  EXPECT_EQ(describe(again),
            (std::vector<std::string>{"prompt:selectMethod", "prompt:enterCode", "completed"}));
  EXPECT_FALSE(Json::parse(reference.peer().exchanges()[before].request.body)
                   .at("action")
                   .contains("deviceCredentials"));
  ASSERT_TRUE(record(*sdk));
  EXPECT_NE(record(*sdk)->hindex(), stored->hindex());
  EXPECT_EQ(reference.registeredDeviceCount(), 2u);
  redeem(again.back());
}

TEST_F(SigninE2E, ChallengeForATamperedRecordDeletesItAndTheNextSigninSetsUpAgain) {
  auto sdk = makeSdk();
  signIn(*sdk);
  ASSERT_TRUE(record(*sdk));

  // Flip bits of the sealed signing key in the stored item.
  const std::string itemService = sdk->crypto()->store()->serviceName();
  const std::string account =
      "velqo.v1.device." + VelqoV1DeviceCryptoStore::recordKey(kUser, sdk->projectId());
  Bytes raw;
  ASSERT_EQ(items->copyGenericPassword(itemService, account, raw), platform::status::success);
  auto item = nlohmann::ordered_json::parse(raw.begin(), raw.end());
  Bytes prs = *platform::base64Decode(item.at("combinedprs").get<std::string>());
  prs[0] ^= 0x5a;
  prs[20] ^= 0x01;
  item["combinedprs"] = platform::base64Encode(prs);
  const std::string text = item.dump();
  ASSERT_EQ(items->deleteGenericPassword(itemService, account), platform::status::success);
  ASSERT_EQ(items->addGenericPassword(itemService, account, Bytes(text.begin(), text.end()),
                                      platform::Accessibility::whenUnlockedThisDeviceOnly),
            platform::status::success);

  const std::size_t before = reference.peer().requestCount();
  const auto failed = signIn(*sdk);
  ASSERT_EQ(describe(failed), std::vector<std::string>{"error:decryption_failed"});
  EXPECT_EQ(actionsSince(before), std::vector<std::string>{"start"}) << "no signature is sent";
  EXPECT_FALSE(record(*sdk)) << "the tampered record is deleted";
  EXPECT_EQ(items->itemCount(), 0u);

  const auto again = signIn(*sdk);
  EXPECT_EQ(describe(again),
            (std::vector<std::string>{"prompt:selectMethod", "prompt:enterCode", "completed"}));
  EXPECT_TRUE(record(*sdk));
  EXPECT_EQ(reference.registeredDeviceCount(), 2u);
}

// ---- releasing the entry object ----

TEST_F(SigninE2E, ReleasingTheEntryObjectWhilePollingStopsEveryRequestAndUpdate) {
  auto sdk = makeSdk();
  UserAtDevice user = userAt(*sdk, "qr_approval");
  sdk->start(VelqoV1FlowType::signin, kUser);
  ASSERT_TRUE(user.waitFor([](const Update& u) { return describe(u) == "prompt:awaitApproval"; }));
  ASSERT_TRUE(reference.peer().waitForRequests(3, 5s)) << "polling runs";
  // Release between two polls (one a second), once the first poll's answer has been handled.
  platform::mainQueue().runUntil([] { return false; }, 300ms);

  std::weak_ptr<VelqoV1FlowController> flow = sdk->flow();
  sdk.reset();
  EXPECT_TRUE(flow.expired()) << "nothing else holds the controller";
  const std::size_t requests = reference.peer().requestCount();
  const std::size_t updates = user.updates.size();
  platform::mainQueue().runUntil([] { return false; }, 2500ms);
  EXPECT_EQ(reference.peer().requestCount(), requests);
  EXPECT_EQ(user.updates.size(), updates);
  EXPECT_EQ(updates, 2u) << "select method and the awaited approval only";
}

}  // namespace
}  // namespace velqo::testing
