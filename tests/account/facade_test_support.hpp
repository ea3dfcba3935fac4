#pragma once

// The account facade against the loopback reference service: a fresh item store and user
// defaults per test, the service's push, web-login and device-list peers, and recording
// callbacks. Callbacks arrive on the main queue, which only the test thread drives.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_environment.hpp"
#include "velqo/account/velqo_sdk.hpp"
#include "velqo/platform/item_store.hpp"
#include "velqo/platform/queue.hpp"
#include "velqo/platform/user_defaults.hpp"
#include "velqo_localservice/device_list_peer.hpp"
#include "velqo_localservice/push_peer.hpp"
#include "velqo_localservice/v5_peer.hpp"
#include "velqo_localservice/web_login_peer.hpp"

namespace velqo::testing {

using namespace std::chrono_literals;

/// Drives the main queue until the condition holds (generous bound for busy machines).
inline bool runUntil(const std::function<bool()>& condition) {
  return platform::mainQueue().runUntil(condition, 30s);
}

struct RecordingDelegate : VelqoPushAuthDelegate {
  std::vector<std::pair<std::string, PushLoginRequestDetails>> received;
  std::vector<platform::PlatformError> failures;
  void didReceiveLoginRequest(const std::string& id, const PushLoginRequestDetails& details) override {
    received.emplace_back(id, details);
  }
  void failedToFetchLoginRequestDetails(const platform::PlatformError& error) override {
    failures.push_back(error);
  }
  std::size_t calls() const { return received.size() + failures.size(); }
};

/// One web-login or device-list outcome: "success" or the error's raw code.
struct RecordingOutcome : WebLoginCallback, DevSessionCallback {
  std::optional<std::string> result;
  std::string message;
  int calls = 0;
  void showError(WebLoginErrorCode code, const std::string& text) override {
    result = std::string(code.rawValue());
    message = text;
    ++calls;
  }
  void onSuccess() override {
    result = "success";
    ++calls;
  }
  void showError() override {
    result = "error";
    ++calls;
  }
  bool await() {
    return runUntil([this] { return calls > 0; });
  }
};

struct V5Outcome : AuthV5Callback {
  bool otpRequired = false;
  std::optional<std::string> result;
  void onOtpRequired() override { otpRequired = true; }
  void onAuthSuccess(const std::optional<std::string>&, const std::optional<std::string>&, bool) override {
    result = "success";
  }
  void onError(AuthV5ErrorCode code, const std::string& message) override {
    result = std::string(code.rawValue()) + ": " + message;
  }
  void onAuthorizationCode(const std::string&, std::optional<std::int64_t>) override { result = "code"; }
  void onAdditionalVerificationRequired(const std::string&, const std::optional<std::string>&) override {
    result = "additional";
  }
};

class FacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setItemStore(items);
    v5.grantTokensTo(tokens);
    platform::UserDefaults::setStandard(
        platform::UserDefaults::open(makeTempDirectory("defaults") / "defaults.json"));
    defaults = platform::UserDefaults::standard();
    sdk = VelqoSDK::create("proj-key-123456", service.baseUrl());
  }
  void TearDown() override {
    sdk.reset();
    platform::mainQueue().drain();
    platform::UserDefaults::setStandard(nullptr);
    platform::setItemStore(nullptr);
  }

  /// Signs `user` in with V5 through the facade (registration with the service's code, which
  /// ends with the first tokens), then gives the sign-in notice.
  void signIn(const std::string& user) {
    auto callback = std::make_shared<V5Outcome>();
    sdk->authenticateV5(user, callback);
    ASSERT_TRUE(runUntil([&] { return callback->otpRequired; }));
    sdk->submitOtpV5("123456");
    ASSERT_TRUE(runUntil([&] { return callback->result.has_value(); }));
    ASSERT_EQ(callback->result, "success");
    ASSERT_EQ(sdk->getLastLoggedInUser(), user);
    sdk->userDidAuthenticate();
  }
  /// Signs `user` in the way a host with its own back end does: a token the service accepts,
  /// stored through the facade, then the sign-in notice.
  void signInThroughBackend(const std::string& user) {
    ASSERT_TRUE(sdk->storeBackendOAuthTokens(tokens->issue(user), std::nullopt, user));
    sdk->userDidAuthenticate();
  }

  std::shared_ptr<platform::InMemoryItemStore> items = platform::InMemoryItemStore::create();
  std::shared_ptr<platform::UserDefaults> defaults;
  localservice::LocalService service;
  std::shared_ptr<localservice::AccessTokens> tokens = std::make_shared<localservice::AccessTokens>();
  localservice::V5Peer v5{service, {}};
  localservice::PushPeer push{service, tokens};
  localservice::WebLoginPeer web{service, tokens};
  localservice::DeviceListPeer devices{service, tokens};
  std::shared_ptr<VelqoSDK> sdk;
};

}  // namespace velqo::testing
