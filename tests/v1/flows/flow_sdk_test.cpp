#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flow_test_support.hpp"
#include "support/wait_bound.hpp"
#include "v1/protocol/test_data.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/v1/flows/velqo_v1_sdk.hpp"

namespace velqo::testing {
namespace {

using Policy = VelqoV1PrimaryMethodSelectionPolicy;

TEST(FlowSdk, BaseUrlNormalisation) {
  for (const auto& row : testData("base_urls.json")) {
    EXPECT_EQ(VelqoV1SDK::normalizedV1BaseURL(row[0].get<std::string>()), row[1].get<std::string>()) << row;
  }
}

TEST(FlowSdk, InitialisersChooseTheConfigurationIdentifier) {
  const std::string base = "https://auth.example.com/api";
  const std::vector<std::pair<std::shared_ptr<VelqoV1SDK>, std::string>> rows = {
      {VelqoV1SDK::create(" cfg-1 ", base), " cfg-1 "},
      {VelqoV1SDK::createWithProjectId(" proj\n", std::string("  "), base), "proj"},
      {VelqoV1SDK::createWithProjectId(" proj ", std::nullopt, base), "proj"},
      {VelqoV1SDK::createWithProjectId("proj", std::string("\tkey-9 "), base), "key-9"},
      // No-break space, ideographic space, NEL and the line and paragraph separators are blanks too.
      {VelqoV1SDK::createWithProjectId("\xC2\xA0proj\xE2\x80\xA8", std::string("\xE3\x80\x80\xC2\x85"), base),
       "proj"},
      {VelqoV1SDK::createWithProjectId("proj", std::string("\xE2\x80\xA9key-9\xC2\xA0"), base), "key-9"},
  };
  for (const auto& [sdk, expected] : rows) {
    EXPECT_EQ(sdk->configId(), expected);
    EXPECT_EQ(sdk->client()->config().configId(), expected);
    EXPECT_EQ(sdk->client()->config().apiKey(), std::nullopt);
    EXPECT_EQ(sdk->crypto()->projectId(), expected);
  }
}

TEST(FlowSdk, AssemblesTheGraphWithItsSettingsAndOwnsItAlone) {
  auto sdk = VelqoV1SDK::create("cfg", "https://auth.example.com/api/", std::string(""), std::string("rp"),
                                false, Policy::automaticFromIdentifier);
  const VelqoV1ClientConfig& config = sdk->client()->config();
  EXPECT_EQ(config.baseURL(), "https://auth.example.com/api/v1");
  EXPECT_EQ(config.sdkVersion(), "") << "an empty given version stays";
  EXPECT_EQ(config.protocolVersion(), 2);
  EXPECT_EQ(config.timeoutSeconds(), 15.0);
  EXPECT_EQ(config.retryMaxAttempts(), 2);
  EXPECT_EQ(config.retryBaseDelaySeconds(), 0.5);
  EXPECT_FALSE(config.autoRetryWait());
  EXPECT_EQ(config.deviceCredentialClearCodes(), VelqoV1ClientConfig::defaultDeviceCredentialClearCodes());
  EXPECT_EQ(config.deviceCryptoHandler().get(), sdk->crypto().get());
  ASSERT_TRUE(config.deviceCredentialsProvider() && config.deviceCredentialsInvalidator());
  EXPECT_EQ(sdk->flow()->client(), sdk->client());
  EXPECT_FALSE(sdk->flow()->autoPollApprovals());
  EXPECT_EQ(sdk->flow()->primaryMethodSelectionPolicy(), Policy::automaticFromIdentifier);
  EXPECT_EQ(sdk->flow()->callbackQueue(), platform::mainQueueHandle());

  std::weak_ptr<VelqoV1DeviceCryptoService> crypto = sdk->crypto();
  std::weak_ptr<VelqoProtocolV1Client> client = sdk->client();
  std::weak_ptr<VelqoV1FlowController> flow = sdk->flow();
  sdk.reset();
  EXPECT_TRUE(crypto.expired() && client.expired() && flow.expired()) << "no cycle keeps the graph alive";
}

TEST_F(FlowTest, SdkStartSendsDeviceInformationAndResetEmitsIdle) {
  auto sdk =
      VelqoV1SDK::create("cfg-sdk", peer.baseURL() + "/", std::string("2.0"), std::string("rp.example"));
  sdk->flow()->setOnUpdate(recorder.handler());
  peer.enqueue(Peer::answer("s1", R"({"type":"enter_code","destination":"d"})"));
  peer.enqueue(Peer::answer("s2", R"({"type":"enter_code","destination":"d"})"));
  sdk->start(VelqoV1FlowType::signin, "user@example.com");
  ASSERT_TRUE(recorder.waitFor(1));
  sdk->start(VelqoV1FlowType::signup, "   ");
  ASSERT_TRUE(recorder.waitFor(2));
  sdk->reset();
  ASSERT_TRUE(recorder.waitFor(3));
  EXPECT_EQ(recorder.last(), VelqoV1FlowUpdate::idle());

  const auto exchanges = peer.exchanges();
  ASSERT_EQ(exchanges.size(), 2u);
  const auto& request = exchanges[0].request;
  EXPECT_EQ(request.path, "/v1/auth");
  EXPECT_EQ(request.header("X-Config-Id"), "cfg-sdk");
  EXPECT_EQ(request.header("X-Velqo-SDK"), "@velqo/ios");
  EXPECT_EQ(request.header("X-Velqo-Platform"), "ios");
  EXPECT_EQ(request.header("x-Velqo-iosSdk-Version"), "2.0");
  EXPECT_EQ(request.header("X-Relying-Party"), "rp.example");
  const Json device = actionOf(exchanges[0]).at("device");
  EXPECT_EQ(device.at("v"), 1);
  EXPECT_FALSE(device.at("fingerprint").get<std::string>().empty());
  EXPECT_EQ(device.at("signals").at("sdkVersion"), "2.0");
  const Json blank = actionOf(exchanges[1]);
  EXPECT_EQ(blank.at("identifier"), "   ");
  EXPECT_FALSE(blank.contains("device")) << "no device information for a blank identifier";
}

TEST_F(FlowTest, ReleasingTheSdkWhilePollingEndsEverything) {
  auto sdk = VelqoV1SDK::create("cfg-sdk", peer.baseURL());
  sdk->flow()->setOnUpdate(recorder.handler());
  peer.setFallback([](const auto&) {
    return Peer::answer("s1",
                        R"({"type":"await_approval","expiresAt":"2030-01-01T00:00:00Z","pollInterval":1})");
  });
  sdk->start(VelqoV1FlowType::signin, "poll@example.com");
  ASSERT_TRUE(recorder.waitFor(1));
  ASSERT_TRUE(peer.waitForRequests(2, kWaitBound)) << "polling runs";
  pump(300ms);  // let that poll's answer be handled, then release between two polls
  std::weak_ptr<VelqoV1FlowController> flow = sdk->flow();
  std::weak_ptr<VelqoProtocolV1Client> client = sdk->client();
  sdk.reset();
  EXPECT_TRUE(flow.expired() && client.expired()) << "nothing else holds the controller or its client";
  const std::size_t requests = peer.requestCount();
  pump(2200ms);
  EXPECT_EQ(peer.requestCount(), requests);
  EXPECT_EQ(recorder.count(), 1u) << "the awaited approval only";
}

TEST_F(FlowTest, EveryDefaultClearCodeForgetsTheStoredDeviceCredential) {
  // A service that can no longer open the device's credential names it in an error prompt: the
  // credential goes, and the next sign-in sets the device up again instead of failing the same way.
  settings.setItemStore(platform::InMemoryItemStore::create());
  auto sdk = VelqoV1SDK::create("cfg-sdk", peer.baseURL());
  sdk->flow()->setOnUpdate(recorder.handler());
  const std::string user = "kim@example.com";
  const std::vector<std::pair<std::string, bool>> rows = {
      {"device_not_found", true},     {"decryption_failed", true}, {"invalid_challenge", true},
      {"invalid_signature", true},    {"info_mismatch", true},     {"info_string_mismatch", true},
      {"device_crypto_error", false},  // the device-trust text, but the credential stays
  };
  for (const auto& [code, clears] : rows) {
    SCOPED_TRACE(code);
    (void)sdk->crypto()->handleSetupDevice("example.com", "ECDH P-256+Ed25519", "1", user);
    ASSERT_TRUE(sdk->crypto()->deviceCredentials(user).has_value());
    recorder.clear();
    peer.enqueue(Peer::answer("s1", Peer::errorPrompt(code, "restart_flow", "Device trust failed")));
    sdk->start(VelqoV1FlowType::signin, user);
    ASSERT_TRUE(recorder.waitFor(1));
    const VelqoV1FlowUpdate last = recorder.last();
    const auto* error = last.as<VelqoV1FlowUpdate::Error>();
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code, code);
    EXPECT_TRUE(actionOf(peer.exchanges().back()).contains("deviceCredentials"))
        << "sent with the credential";
    EXPECT_EQ(sdk->crypto()->deviceCredentials(user).has_value(), !clears);
  }
}

}  // namespace
}  // namespace velqo::testing
